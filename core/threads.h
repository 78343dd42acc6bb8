// The one way the system starts threads and sleeps.
//
//   StartThread    start fn(arg) detached; 0 when it runs, 1 when it could not start
//   SleepSeconds   suspend the calling thread for whole seconds
//
// Threads are never joined: a thread ends by returning from its function.
// Whoever stops a thread sets a flag or an event the thread polls, and waits
// for the thread to say it has ended.
#pragma once

typedef unsigned (*VornThreadFunction)(void* argument);

// priority > 0: above normal (only the clock thread asks for it), < 0: below
// normal, 0: untouched. A priority that cannot be set is not reported. On 1
// the caller keeps ownership of the argument.
int StartThread(VornThreadFunction fn, void* argument, int priority);

// seconds <= 0 only yields the processor.
void SleepSeconds(int seconds);
