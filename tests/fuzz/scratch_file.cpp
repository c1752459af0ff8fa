#include "tests/fuzz/scratch_file.hpp"

#include "tests/fuzz/fuzz_support.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace fuzz {

const std::string& scratch_file(const uint8_t* data, size_t size) {
    static std::string path;
    static int fd = -1;
    if (fd < 0) {
        // Memory-backed where there is /dev/shm.
        const char* folder = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string name = std::string(folder) + "/visiondemo-fuzz-XXXXXX";
        fd = mkstemp(&name[0]);
        require(fd >= 0, "cannot create the scratch file");
        path = name;
        // Gone when the process ends; the path stays usable meanwhile.
        static struct Remove {
            ~Remove() { unlink(path.c_str()); }
        } remove;
    }
    require(ftruncate(fd, 0) == 0, "cannot empty the scratch file");
    size_t written = 0;
    while (written < size) {
        const ssize_t n = pwrite(fd, data + written, size - written, static_cast<off_t>(written));
        require(n > 0, "cannot write the scratch file");
        written += static_cast<size_t>(n);
    }
    return path;
}

}  // namespace fuzz
