// This machine's address by the system's resolver, and its kernel's name.
//
//   SystemHostIPv4      getaddrinfo (AF_INET), the first address
//   KernelNameRelease   uname
//
// Bad input: a null or empty name fails; nothing throws.
#include "platform/host_facts.h"

#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/utsname.h>

namespace platform {

bool SystemHostIPv4(const char* name, uint32_t* address) {
    if (!name || !*name || !address)
        return false;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0 || !list)
        return false;
    bool found = false;
    for (struct addrinfo* a = list; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr) {
            *address = reinterpret_cast<const struct sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            found = true;
            break;
        }
    }
    freeaddrinfo(list);
    return found;
}

void KernelNameRelease(std::string* name, std::string* release) {
    struct utsname facts;
    if (uname(&facts) != 0) {
        if (name)
            name->clear();
        if (release)
            release->clear();
        return;
    }
    if (name)
        *name = facts.sysname;
    if (release)
        *release = facts.release;
}

}  // namespace platform
