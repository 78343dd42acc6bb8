// ChildHolder: a forked child that takes a lock, reports over a pipe and on
// command releases it or dies holding it. A failed pipe or fork leaves the
// holder not Started(), its reports 0.
#include "core/tests/support/child_holder.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

ChildHolder::ChildHolder(const std::function<Release()>& take, bool dieHolding) {
    int up[2], down[2];
    if (pipe2(up, O_CLOEXEC) != 0)
        return;
    if (pipe2(down, O_CLOEXEC) != 0) {
        close(up[0]);
        close(up[1]);
        return;
    }
    m_Pid = fork();
    if (m_Pid == 0) {
        close(up[0]);
        close(down[1]);
        char rc = 'n';
        try {
            Release release = take();
            rc = release ? 'y' : 'n';
            (void)!write(up[1], &rc, 1);
            char cmd;
            if (read(down[0], &cmd, 1) != 1)
                _exit(3);
            if (dieHolding || !release)
                _exit(0);
            rc = 'n';
            if (release())
                rc = 'r';
        } catch (...) {
        }
        (void)!write(up[1], &rc, 1);
        _exit(0);
    }
    close(up[1]);
    close(down[0]);
    m_Up = up[0];
    m_Down = down[1];
}

ChildHolder::~ChildHolder() {
    if (m_Up >= 0)
        close(m_Up);
    if (m_Down >= 0)
        close(m_Down);
    if (m_Pid > 0)
        waitpid(m_Pid, nullptr, 0);
}

char ChildHolder::Report() {
    char c = 0;
    return m_Up >= 0 && read(m_Up, &c, 1) == 1 ? c : 0;
}

void ChildHolder::Command() {
    if (m_Down >= 0)
        (void)!write(m_Down, "x", 1);
}

bool ChildHolder::Reap() {
    int status = 0;
    bool ok = m_Pid > 0 && waitpid(m_Pid, &status, 0) == m_Pid && WIFEXITED(status);
    m_Pid = -1;
    return ok;
}

}  // namespace testsupport
