// Facts about this machine that quarantine packages carry, from the
// system's own services.
//
//   SystemHostIPv4      the first IPv4 address the system's resolver gives a name
//   KernelNameRelease   the kernel's name and release (uname)
//
// The address comes from getaddrinfo, so the system's name-service order
// applies (/etc/hosts first on Debian): a machine's own name resolves
// there even where no DNS server knows it. Any thread may call these.
#pragma once

#include <stdint.h>

#include <string>

namespace platform {

// True with *address (IPv4, network byte order) set to the first IPv4
// address of name; false when it has none or cannot be resolved (an empty
// or null name included).
bool SystemHostIPv4(const char* name, uint32_t* address);

// The kernel's name ("Linux") and release ("6.1.0-13-amd64"); both empty
// when uname fails.
void KernelNameRelease(std::string* name, std::string* release);

}  // namespace platform
