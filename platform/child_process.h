// Running a helper program as a child process and waiting for it, bounded.
//
//   RunChildProcess       start a program (no shell), wait for its end within a
//                         time limit or until the caller asks it to stop
//   BoundedEnvironment    the named variables of our own environment, and
//                         nothing else, each within a length bound
//   RunProgramAndWait     start a program (no shell) with our environment
//                         and standard streams, and wait for its end
//
// The child starts with the ordinary signal mask and dispositions (the
// service blocks its stop signals for its signal thread), standard input
// and output on /dev/null, standard error on a pipe whose first bytes are
// kept for the caller, and in a process group of its own, so that ending it
// also ends whatever it started. Only the descriptors 0-2 are inherited
// (every other descriptor of this process is close-on-exec).
//
// Bad input: an empty or relative program path is not started
// (kChildNotStarted); a child that outlives its limit, or is running when
// the caller asks to stop, gets SIGTERM, then SIGKILL after a short grace,
// and is always reaped: no wait here lasts for ever and no zombie is left.
#pragma once

#include <spawn.h>

#include <functional>
#include <string>
#include <vector>

namespace platform {

enum ChildOutcome : int {
    kChildExited = 0,      // ended by itself; exitCode holds its status
    kChildNotStarted = 1,  // could not be started (errorNumber says why)
    kChildSignalled = 2,   // ended by a signal it was not sent by us
    kChildTimedOut = 3,    // ended by us after its time limit
    kChildStopped = 4,     // ended by us because the caller asked to stop
};

struct ChildResult {
    ChildOutcome outcome = kChildNotStarted;
    int exitCode = -1;    // 0-255 when kChildExited
    int errorNumber = 0;  // errno value when kChildNotStarted
    std::string errors;   // the first bytes of its standard error
};

// Longest standard error kept; the rest is read and dropped.
inline constexpr size_t kChildErrorBound = 4096;
// Between SIGTERM and SIGKILL.
inline constexpr int kChildGraceMilliseconds = 3000;

// Runs program with arguments (argv[0] is the program path itself) and the
// environment ("NAME=value" entries, exactly these), waits at most
// limitSeconds of real time (0 or less: no time limit) for its end, and
// asks stopRequested (when set) about every 100 ms whether to give up.
// Blocks the calling thread for as long as that.
ChildResult RunChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& environment, int limitSeconds,
                            const std::function<bool()>& stopRequested);

// "NAME=value" for each of names set in this process whose value is at
// most valueBound bytes (a longer one is left out, never cut).
std::vector<std::string> BoundedEnvironment(const std::vector<std::string>& names,
                                            size_t valueBound);

// Runs program with arguments (argv[0] is the program path itself) and
// this process's environment, and waits, without a time limit, for its end:
// for an installer, whose programs may take as long as they need. A
// program without a '/' is looked up in $PATH (a path with one is used as
// it is). The child inherits standard input, output and error, unless quiet
// puts all three on /dev/null; it starts with the ordinary signal mask and
// dispositions, in this process's group (Ctrl-C reaches both). Outcomes:
// kChildExited (exitCode), kChildNotStarted (errorNumber; ENOENT for a
// program not found), kChildSignalled (exitCode 128 + the signal, as a shell
// reports it). Blocks the calling thread.
ChildResult RunProgramAndWait(const std::string& program, const std::vector<std::string>& arguments,
                              bool quiet);

// Makes a child start with the ordinary signal mask and dispositions (this
// process blocks its stop signals for its signal thread), plus extraFlags
// (e.g. POSIX_SPAWN_SETPGROUP) for what the caller set on attr itself.
void SpawnWithOrdinarySignals(posix_spawnattr_t* attr, short extraFlags);

}  // namespace platform
