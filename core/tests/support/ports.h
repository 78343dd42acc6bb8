// TCP ports for servers under test.
#pragma once

namespace testsupport {

// A TCP port that was free a moment ago on every address, from below the
// range the system draws outgoing connections from, and reserved for this
// process by a lock file held until it ends, so that tests running side by
// side never choose the same one. 0 when none is left.
//
// Why not the system's own choice (bind to port 0): that port comes from the
// ephemeral range, which every outgoing connection of the tests running side
// by side draws from too, so a client's local end could take it before the
// server under test listens.
int FreePort();

}  // namespace testsupport
