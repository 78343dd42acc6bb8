// Threads on POSIX threads. See threads.h.
#include "platform/threads.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <new>

namespace platform {

namespace {

struct ThreadStart {
    ThreadFunction fn;
    void* arg;
    int priority;
};

void* threadMain(void* p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    if (start.priority != 0) {
        // A nice value of -1 or 1 relative to normal; lowering the nice
        // value needs privileges, and a refusal is not an error here.
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), start.priority > 0 ? -1 : 1);
    }
    start.fn(start.arg);
    return nullptr;
}

}  // namespace

void IgnoreSigpipe() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa = {};
        sa.sa_handler = SIG_IGN;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGPIPE, &sa, nullptr);
    });
}

bool StartDetachedThread(ThreadFunction fn, void* arg, int priority) {
    if (fn == nullptr)
        return false;
    IgnoreSigpipe();
    auto* start = new (std::nothrow) ThreadStart{fn, arg, priority};
    if (start == nullptr)
        return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete start;
        return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, threadMain, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        return false;
    }
    return true;
}

void SleepMilliseconds(long ms) {
    if (ms <= 0) {
        sched_yield();
        return;
    }
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

unsigned long CurrentThreadId() {
    return static_cast<unsigned long>(gettid());
}

}  // namespace platform
