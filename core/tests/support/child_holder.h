// A forked child process that holds a lock while a test looks on.
#pragma once

#include <sys/types.h>

#include <functional>

namespace testsupport {

// Forks a child that calls take() and reports over a pipe 'y' when it
// returned a release function, 'n' when it returned none or threw. The child
// then waits for Command(): with dieHolding it exits at once, still holding
// what it took; otherwise it calls release and reports 'r' (or 'n' when that
// returned false or threw) before it exits. take runs in the child only.
// Started() is false when the pipes or the fork failed. The destructor
// closes the pipes (a waiting child then exits) and reaps the child.
// Not copyable; use it from one thread.
class ChildHolder {
public:
    using Release = std::function<bool()>;
    ChildHolder(const std::function<Release()>& take, bool dieHolding);
    ~ChildHolder();
    ChildHolder(const ChildHolder&) = delete;
    ChildHolder& operator=(const ChildHolder&) = delete;

    bool Started() const { return m_Pid > 0; }
    // The next byte the child reports ('y' holding, 'r' released); 0 when
    // the child ended without one.
    char Report();
    // Tells the child to go on (release or die holding).
    void Command();
    // Waits until the child has ended; true when it ended normally.
    bool Reap();

private:
    pid_t m_Pid = -1;
    int m_Up = -1, m_Down = -1;
};

}  // namespace testsupport
