// Preloaded (LD_PRELOAD) into a test run to give it the receive-buffer limit
// of a stock Linux machine, net.core.rmem_max 212992, whatever the limit of
// the machine it runs on: SO_RCVBUF requests above that value are lowered to
// it before the kernel sees them, as the kernel itself would lower them
// there. SO_RCVBUFFORCE passes unchanged; run as an ordinary user, the kernel
// refuses it as it would on any machine.
#include <dlfcn.h>
#include <sys/socket.h>

namespace {

constexpr int STOCK_RMEM_MAX = 212992;

using SetSockOpt = int (*)(int, int, int, const void*, socklen_t);

SetSockOpt real_setsockopt() {
    static const SetSockOpt real = reinterpret_cast<SetSockOpt>(dlsym(RTLD_NEXT, "setsockopt"));
    return real;
}

}  // namespace

extern "C" int setsockopt(int socket, int level, int name, const void* value, socklen_t length) {
    if (level == SOL_SOCKET && name == SO_RCVBUF && value != nullptr && length == sizeof(int)) {
        const int asked = *static_cast<const int*>(value);
        if (asked > STOCK_RMEM_MAX) {
            const int capped = STOCK_RMEM_MAX;
            return real_setsockopt()(socket, level, name, &capped, sizeof(capped));
        }
    }
    return real_setsockopt()(socket, level, name, value, length);
}
