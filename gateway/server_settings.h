// Settings of the gateway's own listeners (SMTP, POP3) held by the system
// object: a worker count and a listening port, and the move of a running
// listener to the port its setting names after a change.
//
//   ReadServerCount    a count setting as read, a default when missing
//   ReadServerPort     the port a start listens on
//   WriteServerPort    puts a port back into its setting (in memory only)
//   CheckServerPort    refuses a port setting outside 1-65535
//   ChangeServerPort   moves a listener to its changed port setting
//
// Bad input: a port setting is read as a whole number (a value that does not
// fit an int is out of range rather than wrapped); outside 1-65535 a start
// takes the server's default port and a change is refused, with the port in
// use written back so that the settings page shows it again.
//
// Threads: any thread; the configuration store has its own locks. The
// caller serialises changes of one server's port.
#pragma once

#include <functional>

#include "net/host_address.h"

// The lowest and highest port a listener may take.
inline constexpr int kLowestServerPort = 1;
inline constexpr int kHighestServerPort = 65535;

// The system object's setting name as an int; def when it is missing.
// Values are handed back as read (0 and negative ones included).
int ReadServerCount(const char* name, int def);

// The port a start listens on: the setting name when present, else
// current; then a port outside 1-65535 gives def.
int ReadServerPort(const char* name, int current, int def);

// Writes port into the system object's setting name without saving the
// configuration files.
void WriteServerPort(const char* name, int port);

// False when the setting name is present and outside 1-65535; the setting
// then gets current back. True when it is missing or a valid port.
bool CheckServerPort(const char* name, int current);

// What ChangeServerPort did.
enum class ServerPortChange : int {
    kDone = 0,      // the listener is on the port the setting names (moved or not)
    kRefused = 1,   // the setting is outside 1-65535; nothing moved
    kNotBound = 2,  // the new port could not be listened on; nothing moved
};

// Moves a running listener to the port the setting name names (def when
// the setting is missing; refused as CheckServerPort says): a port equal to
// current is done at once; otherwise listen is asked to listen on 0.0.0.0
// with the new port and, when it does, current becomes the new port.
// Refused and not bound write current back into the setting. listen must
// not throw.
ServerPortChange ChangeServerPort(const char* name, int def, int& current,
                                  const std::function<bool(const CVornHostAddress&)>& listen);
