// Ports for servers under test, TCP or UDP.
#pragma once

namespace testsupport {

// A port that was free a moment ago on every address, for TCP and for UDP
// alike, from below the range the system draws outgoing connections from,
// and reserved for this process by a lock file held until it ends, so that
// tests running side by side never choose the same one. 0 when none is left.
//
// Why not the system's own choice (bind to port 0): that port comes from the
// ephemeral range, which every outgoing connection of the tests running side
// by side draws from too, so a client's local end could take it before the
// server under test listens; and a port a test has let go (a server it
// stopped, to see the client fail) could be handed to another test's server
// while the client still sends to it.
int FreePort();

}  // namespace testsupport
