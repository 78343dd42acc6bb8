// The thread start shared by the TCP and UDP server frameworks: each keeps,
// under its server lock, a count of started threads per kind and a running
// thread number, and hands every thread a record {server, shared state, kind,
// number} that the thread deletes when it ends.
#pragma once

#include <memory>

#include "core/event_log.h"
#include "core/threads.h"

// Starts threads of the kind until n of them count, each on a new Record
// running threadMain. False when a thread cannot start: the record goes and
// event msgStartFailed (an error) gives the count reached and n - 1.
// REQUIRES: the server lock (shared->m_Lock) held.
template <class Record, class Server, class Shared>
bool StartServerThreads(Server* server, const std::shared_ptr<Shared>& shared, int kind, int n,
                        VornThreadFunction threadMain, int msgStartFailed) {
    constexpr int kEventError = 1;
    while (shared->m_Count[kind] < n) {
        auto* record = new Record{server, shared, kind, shared->m_NextThreadNumber};
        ++shared->m_NextThreadNumber;
        if (StartThread(threadMain, record, 0) != 0) {
            delete record;
            LogEventIntInt(msgStartFailed, kEventError, shared->m_Count[kind], n - 1);
            return false;
        }
        ++shared->m_Count[kind];
    }
    return true;
}
