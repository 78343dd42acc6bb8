// The stop requests a process receives from outside: SIGINT (Ctrl-C at a
// console) and SIGTERM (the service manager's stop). They are never handled
// asynchronously: the process blocks them in every thread and one thread
// takes them with sigwait.
//
//   BlockStopSignals     block SIGINT and SIGTERM in the calling thread
//   UnblockStopSignals   take them back in the calling thread (default action)
//   WaitForStopSignal    wait for one of them; its number
//   RaiseStopSignal      send one to this process (for tests)
//
// BlockStopSignals must run in the main thread before any other thread
// starts: threads inherit the mask, so no thread ever receives the signals
// asynchronously. Programs this process starts must reset the mask (see
// platform/service_manager.cpp for the controller).
#pragma once

namespace platform {

// Adds SIGINT and SIGTERM to the calling thread's signal mask. True on
// success.
bool BlockStopSignals();

// Removes SIGINT and SIGTERM from the calling thread's mask, so they act
// on it as usual (a console command ends on Ctrl-C). True on success.
bool UnblockStopSignals();

// Waits without limit until SIGINT or SIGTERM is pending for the process
// and takes it; returns its number. REQUIRES: the signals are blocked in
// every thread (BlockStopSignals before any thread started).
int WaitForStopSignal();

// Sends signal to this process. True when it was sent.
bool RaiseStopSignal(int signal);

}  // namespace platform
