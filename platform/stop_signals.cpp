// Stop signals taken by one thread: SIGINT and SIGTERM are blocked in every
// thread and taken with sigwait, so nothing runs in a signal handler.
//
//   BlockStopSignals    pthread_sigmask(SIG_BLOCK) of the two signals
//   UnblockStopSignals  pthread_sigmask(SIG_UNBLOCK) of the two signals
//   WaitForStopSignal   sigwait on them, resumed when interrupted
//   RaiseStopSignal     kill(getpid(), signal)
//
// Bad input: a failing pthread_sigmask gives false; sigwait cannot fail for
// a valid set.
#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

namespace platform {

namespace {

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

bool BlockStopSignals() {
    sigset_t set = stopSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

bool UnblockStopSignals() {
    sigset_t set = stopSet();
    return pthread_sigmask(SIG_UNBLOCK, &set, nullptr) == 0;
}

int WaitForStopSignal() {
    sigset_t set = stopSet();
    for (;;) {
        int taken = 0;
        if (sigwait(&set, &taken) == 0)
            return taken;
    }
}

bool RaiseStopSignal(int signal) { return kill(getpid(), signal) == 0; }

}  // namespace platform
