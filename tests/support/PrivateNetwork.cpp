#include "tests/support/PrivateNetwork.h"

#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrane::test {

bool EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    // A new namespace has its loopback interface down.
    int control = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (control < 0) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(control, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = ioctl(control, SIOCSIFFLAGS, &request) == 0;
    }
    close(control);
    return up;
}

} // namespace kestrane::test
