#include "NetNamespace.hh"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace yvk::test {

namespace {
bool gPrivate = false;

bool bringLoopbackUp() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}
} // namespace

bool enterPrivateNetNamespace() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    gPrivate = bringLoopbackUp();
    return gPrivate;
}

bool inPrivateNetNamespace() {
    return gPrivate;
}

} // namespace yvk::test
