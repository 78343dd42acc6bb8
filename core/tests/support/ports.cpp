// Ports for servers under test (see ports.h).
#include "core/tests/support/ports.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace testsupport {

namespace {

// Whether the port can be bound on every address now with a socket of the
// type (a TCP port a connection left in TIME_WAIT is not offered either).
bool CanBind(int port, int type) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// The first port of the system's range for outgoing connections.
int FirstEphemeralPort() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int low = 0;
    return range >> low ? low : 32768;
}

}  // namespace

int FreePort() {
    constexpr int kFirst = 10000;
    const int end = FirstEphemeralPort();
    if (end - kFirst < 1000)
        return 0;
    static const std::string directory = [] {
        std::string d = "/tmp/zelorm-test-ports-" + std::to_string(getuid());
        mkdir(d.c_str(), 0700);
        return d;
    }();
    static unsigned next =
        static_cast<unsigned>(getpid()) * 7919u + static_cast<unsigned>(time(nullptr));
    const int span = end - kFirst;
    for (int tries = 0; tries < span; ++tries) {
        int port = kFirst + static_cast<int>(next++ % static_cast<unsigned>(span));
        std::string lock = directory + "/" + std::to_string(port);
        int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            continue;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0 || !CanBind(port, SOCK_STREAM) ||
            !CanBind(port, SOCK_DGRAM)) {
            close(fd);
            continue;
        }
        return port;  // the descriptor stays open, holding the lock
    }
    return 0;
}

}  // namespace testsupport
