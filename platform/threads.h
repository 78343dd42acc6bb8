// Threads of the process.
//
// Every thread of the system is started detached and is never joined: a
// thread ends by returning from its function. (pthread_exit is never used: it
// unwinds through catch (...) handlers, which the server frameworks have.)
//
//   StartDetachedThread  run fn(arg) on a new detached thread
//   SleepMilliseconds    suspend the calling thread
//   CurrentThreadId      the kernel's id of the calling thread
//   IgnoreSigpipe        make a write to a closed socket an error, not death
#pragma once

namespace platform {

using ThreadFunction = unsigned (*)(void*);

// Starts fn(arg) on a new detached thread with the default stack size. A
// priority above 0 asks for a slightly higher scheduling priority, below 0 a
// lower one; a priority that cannot be set is ignored silently. Returns true
// when the thread runs; on false no thread exists and the caller still owns
// arg. Every new thread has SIGPIPE ignored (see IgnoreSigpipe).
bool StartDetachedThread(ThreadFunction fn, void* arg, int priority);

// Sleeps at least ms milliseconds (restarted after signals); ms <= 0 yields.
void SleepMilliseconds(long ms);

// The kernel thread id of the calling thread (as ps -L shows it).
unsigned long CurrentThreadId();

// Ignores SIGPIPE process-wide. Called once by StartDetachedThread and by
// the programs' main functions; calling it again is harmless.
void IgnoreSigpipe();

}  // namespace platform
