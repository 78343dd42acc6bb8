// Child processes: see child_process.h.
//
//   RunChildProcess      posix_spawn, then a poll loop over the child's
//                        standard error and its state
//   BoundedEnvironment   a chosen part of our environment
//   RunProgramAndWait    posix_spawnp, then a blocking wait
#include "platform/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

extern char** environ;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLookMilliseconds = 100;

long long millisecondsLeft(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

// Reaps pid when it has ended: true and its status.
bool reaped(pid_t pid, int& status) {
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno == EINTR)
            continue;
        // r == 0: still running. Any other error means the child is not
        // ours to wait for any more (cannot happen for our own child).
        return r < 0;
    }
}

// Ends the child's group: SIGTERM, then SIGKILL once the grace has passed,
// and reaps the child.
void endChild(pid_t pid, int& status) {
    kill(-pid, SIGTERM);
    const Clock::time_point grace =
        Clock::now() + std::chrono::milliseconds(kChildGraceMilliseconds);
    while (Clock::now() < grace) {
        if (reaped(pid, status))
            return;
        poll(nullptr, 0, 20);
    }
    kill(-pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

ChildResult RunChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& environment, int limitSeconds,
                            const std::function<bool()>& stopRequested) {
    ChildResult result;
    if (program.empty() || program[0] != '/') {
        result.errorNumber = EINVAL;
        return result;
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        result.errorNumber = errno;
        return result;
    }

    std::vector<std::string> argCopies;
    argCopies.push_back(program);
    argCopies.insert(argCopies.end(), arguments.begin(), arguments.end());
    std::vector<std::string> envCopies(environment);
    std::vector<char*> argv, envp;
    for (std::string& a : argCopies) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : envCopies) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    // A group of its own: ending the child ends what it started, and a
    // Ctrl-C at the service's terminal is not the child's.
    posix_spawnattr_setpgroup(&attr, 0);
    SpawnWithOrdinarySignals(&attr, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        result.errorNumber = spawned;
        return result;
    }

    const bool limited = limitSeconds > 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::seconds(limited ? limitSeconds : 0);
    int errorsFd = pipeFds[0];
    int status = 0;
    ChildOutcome ending = kChildExited;
    for (;;) {
        if (reaped(pid, status))
            break;
        if (limited && millisecondsLeft(deadline) <= 0) {
            ending = kChildTimedOut;
        } else if (stopRequested && stopRequested()) {
            ending = kChildStopped;
        }
        if (ending != kChildExited) {
            endChild(pid, status);
            break;
        }
        long long wait = kLookMilliseconds;
        if (limited)
            wait = std::max(0LL, std::min(wait, millisecondsLeft(deadline)));
        if (errorsFd < 0) {
            poll(nullptr, 0, static_cast<int>(wait));
            continue;
        }
        struct pollfd p = {errorsFd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(wait));
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(errorsFd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            // Closed: the child is ending (or closed it); its state decides.
            close(errorsFd);
            errorsFd = -1;
            continue;
        }
        const size_t room = kChildErrorBound - result.errors.size();
        result.errors.append(buffer, std::min(room, static_cast<size_t>(n)));
    }
    if (errorsFd >= 0) {
        // What the child wrote just before it ended, without waiting for a
        // descendant that may still hold the pipe.
        fcntl(errorsFd, F_SETFL, O_NONBLOCK);
        char buffer[4096];
        ssize_t n;
        while ((n = read(errorsFd, buffer, sizeof buffer)) > 0) {
            const size_t room = kChildErrorBound - result.errors.size();
            result.errors.append(buffer, std::min(room, static_cast<size_t>(n)));
        }
        close(errorsFd);
    }

    if (ending != kChildExited) {
        result.outcome = ending;
    } else if (WIFEXITED(status)) {
        result.outcome = kChildExited;
        result.exitCode = WEXITSTATUS(status);
    } else {
        result.outcome = kChildSignalled;
    }
    return result;
}

std::vector<std::string> BoundedEnvironment(const std::vector<std::string>& names,
                                            size_t valueBound) {
    std::vector<std::string> out;
    for (const std::string& name : names) {
        const char* value = getenv(name.c_str());
        if (value == nullptr)
            continue;
        std::string text(value);
        if (text.size() > valueBound)
            continue;
        out.push_back(name + "=" + text);
    }
    return out;
}

ChildResult RunProgramAndWait(const std::string& program, const std::vector<std::string>& arguments,
                              bool quiet) {
    ChildResult result;
    if (program.empty() || program.find('\0') != std::string::npos) {
        result.errorNumber = EINVAL;
        return result;
    }
    std::vector<std::string> argCopies;
    argCopies.push_back(program);
    argCopies.insert(argCopies.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : argCopies) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    if (quiet) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    SpawnWithOrdinarySignals(&attr, 0);
    pid_t pid = -1;
    // posix_spawnp searches $PATH only for a name without '/'.
    const int spawned = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0) {
        result.errorNumber = spawned;
        return result;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            // Cannot happen for our own child; it is not ours to wait for.
            result.outcome = kChildSignalled;
            return result;
        }
    }
    if (WIFEXITED(status)) {
        result.outcome = kChildExited;
        result.exitCode = WEXITSTATUS(status);
    } else {
        result.outcome = kChildSignalled;
        result.exitCode = 128 + WTERMSIG(status);
    }
    return result;
}

void SpawnWithOrdinarySignals(posix_spawnattr_t* attr, short extraFlags) {
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setsigdefault(attr, &defaults);
    posix_spawnattr_setflags(
        attr, static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extraFlags));
}

}  // namespace platform
