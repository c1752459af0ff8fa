// Preloaded (LD_PRELOAD) into a test run to give it the receive-buffer limit
// of a stock Linux machine run by an ordinary user, net.core.rmem_max 212992
// and no CAP_NET_ADMIN, whatever the machine and the user it runs as:
// SO_RCVBUF requests above that value are lowered to it before the kernel
// sees them, as the kernel itself would lower them there, and SO_RCVBUFFORCE
// fails with EPERM as it does for an ordinary user. Send buffers get the same
// treatment (net.core.wmem_max is 212992 there too).
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>

namespace {

constexpr int STOCK_RMEM_MAX = 212992;
constexpr int STOCK_WMEM_MAX = 212992;

using SetSockOpt = int (*)(int, int, int, const void*, socklen_t);

SetSockOpt real_setsockopt() {
    static const SetSockOpt real = reinterpret_cast<SetSockOpt>(dlsym(RTLD_NEXT, "setsockopt"));
    return real;
}

}  // namespace

// Tests look this up to tell that the limit is in force.
extern "C" const int visiondemo_stock_rmem_max = STOCK_RMEM_MAX;

extern "C" int setsockopt(int socket, int level, int name, const void* value, socklen_t length) {
    if (level == SOL_SOCKET && (name == SO_RCVBUFFORCE || name == SO_SNDBUFFORCE)) {
        errno = EPERM;
        return -1;
    }
    if (level == SOL_SOCKET && (name == SO_RCVBUF || name == SO_SNDBUF) && value != nullptr &&
        length == sizeof(int)) {
        const int cap = name == SO_RCVBUF ? STOCK_RMEM_MAX : STOCK_WMEM_MAX;
        if (*static_cast<const int*>(value) > cap) return real_setsockopt()(socket, level, name, &cap, sizeof(cap));
    }
    return real_setsockopt()(socket, level, name, value, length);
}
