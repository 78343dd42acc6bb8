// Named mutexes on lock files and flock. See named_mutex.h.
//
//   NamedMutex::Open / Close      refer to the mutex of a name, or stop referring
//   NamedMutex::Acquire / TryAcquire / Release   own it, or give it back
//   LockDirectory / LockFileName  where a name's lock file lives
//
// flock is held per open file, not per thread, so the threads of this process
// are told apart by a process-wide table: one entry per lock file, with the
// thread that owns the mutex, its recursion depth and one descriptor that
// holds the flock for the whole process. A thread first waits in the table
// until no other thread of the process owns or is acquiring the mutex, then
// for the flock (held by another process at most).
//
// The first byte of the lock file says whether the mutex is held: "1" while
// it is owned. When the last handle of this process closes and no process
// holds the mutex, the file is removed (a new owner re-creates it), so the
// lock directory holds only files of mutexes open, in use or abandoned. A process that dies loses its
// flock but leaves the "1", so the next owner learns that the mutex was abandoned; a thread that
// ends while owning a mutex gives up the flock the same way.
//
// Bad input: an empty name is refused (EINVAL); a release by a thread that
// does not own the mutex is refused (EPERM); lock files that cannot be made
// or locked give false or kMutexFailed with errno set. Nothing throws.
#include "platform/named_mutex.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/threads.h"

namespace platform {

namespace detail {

struct NamedMutexEntry {
    std::string path;
    int fd = -1;                    // holds the flock while a thread of ours owns the mutex
    unsigned long holder = 0;       // thread that owns or is acquiring the mutex, 0 none
    bool acquiring = false;         // the holder still waits for the flock
    int count = 0;                  // recursion depth of the owner
    int handles = 0;                // open NamedMutex handles
    pid_t pid = 0;                  // the process that opened fd
    std::condition_variable freed;  // signalled when holder becomes 0
};

}  // namespace detail

namespace {

using Entry = detail::NamedMutexEntry;
using Clock = std::chrono::steady_clock;

struct Table {
    std::mutex lock;  // guards the map and every field of every entry
    std::unordered_map<std::string, std::shared_ptr<Entry>> byPath;
};

// Never destroyed: detached threads may still release mutexes at exit.
Table& table() {
    static Table* t = new Table;
    return *t;
}

const char kHeldMark = '1';
const char kFreeMark = '0';

void writeMark(int fd, char mark) {
    // The mark only tells a later owner about abandonment; a failed write
    // costs that information, never the lock.
    (void)!pwrite(fd, &mark, 1, 0);
}

bool lockFileStillInPlace(const Entry& e);

// Drops an entry that no handle refers to and no thread owns, and removes
// its lock file when no process holds the mutex and it was not abandoned
// (so the lock directory does not grow with every name ever locked; a
// process that opened the file meanwhile finds it gone once it has the
// flock, and moves on to a new one). Requires the table lock.
void eraseIfUnused(Table& t, const std::shared_ptr<Entry>& e) {
    if (e->handles > 0 || e->holder != 0)
        return;
    auto it = t.byPath.find(e->path);
    if (it != t.byPath.end() && it->second == e)
        t.byPath.erase(it);
    if (e->fd >= 0) {
        // A child made by fork shares the parent's descriptor and its flock:
        // only the process that opened it may judge the file free.
        if (e->pid == getpid() && flock(e->fd, LOCK_EX | LOCK_NB) == 0) {
            char mark = kFreeMark;
            if (pread(e->fd, &mark, 1, 0) != 1 || mark != kHeldMark) {
                if (lockFileStillInPlace(*e))
                    (void)unlink(e->path.c_str());
            }
            (void)flock(e->fd, LOCK_UN);
        }
        close(e->fd);
    }
    e->fd = -1;
}

// The mutexes the calling thread owns. When the thread ends still owning
// some, they are abandoned: the flock goes, the held mark stays.
struct OwnedByThread {
    std::vector<std::shared_ptr<Entry>> entries;

    void forget(const std::shared_ptr<Entry>& e) {
        auto it = std::find(entries.begin(), entries.end(), e);
        if (it != entries.end())
            entries.erase(it);
    }

    ~OwnedByThread() {
        Table& t = table();
        unsigned long self = CurrentThreadId();
        std::lock_guard<std::mutex> lk(t.lock);
        for (auto& e : entries) {
            if (e->holder != self || e->acquiring)
                continue;
            (void)flock(e->fd, LOCK_UN);
            e->holder = 0;
            e->count = 0;
            e->freed.notify_all();
            eraseIfUnused(t, e);
        }
    }
};

thread_local OwnedByThread t_Owned;

// Makes every missing directory of path with mode 0755.
bool makeDirectories(const std::string& path) {
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos < path.size() && path[pos] != '/')
            continue;
        std::string prefix = path.substr(0, pos);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Takes the flock of fd: without limit for timeoutMs < 0, else until the
// deadline. flock has no time limit of its own, so a limited wait polls.
int lockFile(int fd, long timeoutMs, Clock::time_point deadline) {
    if (timeoutMs < 0) {
        while (flock(fd, LOCK_EX) != 0) {
            if (errno != EINTR)
                return kMutexFailed;
        }
        return kMutexAcquired;
    }
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return kMutexAcquired;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return kMutexFailed;
        auto now = Clock::now();
        if (now >= deadline)
            return kMutexTimedOut;
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

// True when the descriptor still refers to the file at the entry's path.
bool lockFileStillInPlace(const Entry& e) {
    struct stat held, current;
    if (fstat(e.fd, &held) != 0 || stat(e.path.c_str(), &current) != 0)
        return false;
    return held.st_dev == current.st_dev && held.st_ino == current.st_ino;
}

}  // namespace

std::string LockDirectory() {
    const char* dir = getenv("ZELORM_LOCK_DIR");
    if (dir != nullptr && *dir != '\0')
        return dir;
    return "/run/zelorm/locks";
}

std::string LockFileName(std::string_view name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '-' || (c == '.' && i > 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    if (out.size() <= 255)
        return out;

    // Too long for a file name: a readable prefix and a hash of the whole
    // name. "~" never occurs in an escaped name, so these cannot meet one.
    size_t cut = 200;
    while ((out[cut - 1] == '%') || (out[cut - 2] == '%')) --cut;
    uint64_t hash = 0xcbf29ce484222325ull;
    for (char c : name) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    static const char kLowerHex[] = "0123456789abcdef";
    out.resize(cut);
    out += '~';
    for (int shift = 60; shift >= 0; shift -= 4) out += kLowerHex[(hash >> shift) & 15];
    return out;
}

NamedMutex::~NamedMutex() {
    Close();
}

bool NamedMutex::Open(std::string_view name) {
    Close();
    if (name.empty()) {
        errno = EINVAL;
        return false;
    }
    std::string dir = LockDirectory();
    if (!makeDirectories(dir))
        return false;
    std::string path = dir + "/" + LockFileName(name);

    Table& t = table();
    std::lock_guard<std::mutex> lk(t.lock);
    auto it = t.byPath.find(path);
    if (it != t.byPath.end() && it->second->pid == getpid()) {
        ++it->second->handles;
        m_Entry = it->second;
        return true;
    }
    // An entry inherited through fork holds the parent's descriptor, whose
    // flock the parent shares: this process opens the file anew.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return false;
    std::shared_ptr<Entry> e;
    try {
        e = std::make_shared<Entry>();
        e->path = path;
        e->pid = getpid();
        t.byPath[path] = e;
    } catch (const std::bad_alloc&) {
        close(fd);
        errno = ENOMEM;
        return false;
    }
    e->fd = fd;
    e->handles = 1;
    m_Entry = std::move(e);
    return true;
}

void NamedMutex::Close() {
    if (!m_Entry)
        return;
    Table& t = table();
    {
        std::lock_guard<std::mutex> lk(t.lock);
        --m_Entry->handles;
        eraseIfUnused(t, m_Entry);
    }
    m_Entry.reset();
}

int NamedMutex::Acquire(long timeoutMs) {
    if (!m_Entry) {
        errno = EBADF;
        return kMutexFailed;
    }
    Entry& e = *m_Entry;
    Table& t = table();
    unsigned long self = CurrentThreadId();
    // A limit beyond a year is as good as none, and keeps the deadline in range.
    long limitMs = std::clamp(timeoutMs, 0L, 365L * 24 * 3600 * 1000);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);

    std::unique_lock<std::mutex> lk(t.lock);
    if (e.holder == self) {
        ++e.count;
        return kMutexAcquired;
    }
    try {
        t_Owned.entries.push_back(m_Entry);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return kMutexFailed;
    }
    while (e.holder != 0) {
        if (timeoutMs < 0) {
            e.freed.wait(lk);
        } else if (e.freed.wait_until(lk, deadline) == std::cv_status::timeout && e.holder != 0) {
            t_Owned.forget(m_Entry);
            return kMutexTimedOut;
        }
    }
    // Claim the mutex inside the process, then wait for the other processes
    // without the table lock.
    e.holder = self;
    e.acquiring = true;
    lk.unlock();

    int rc = lockFile(e.fd, timeoutMs, deadline);
    // The last owner removes the lock file when it releases (so the lock
    // directory does not grow with every path ever locked). A flock taken on a
    // removed file guards nothing: lock the file that now stands at the path.
    while (rc == kMutexAcquired && !lockFileStillInPlace(e)) {
        int fd = open(e.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            (void)flock(e.fd, LOCK_UN);
            rc = kMutexFailed;
            break;
        }
        int old;
        {
            std::lock_guard<std::mutex> swap(t.lock);
            old = e.fd;
            e.fd = fd;
        }
        close(old);
        rc = lockFile(e.fd, timeoutMs, deadline);
    }
    int savedErrno = errno;
    char mark = kFreeMark;
    if (rc == kMutexAcquired) {
        if (pread(e.fd, &mark, 1, 0) != 1)
            mark = kFreeMark;
        writeMark(e.fd, kHeldMark);
    }

    lk.lock();
    e.acquiring = false;
    if (rc != kMutexAcquired) {
        e.holder = 0;
        e.freed.notify_all();
        t_Owned.forget(m_Entry);
        errno = savedErrno;
        return rc;
    }
    e.count = 1;
    return mark == kHeldMark ? kMutexAbandoned : kMutexAcquired;
}

bool NamedMutex::Release() {
    if (!m_Entry) {
        errno = EBADF;
        return false;
    }
    Entry& e = *m_Entry;
    std::lock_guard<std::mutex> lk(table().lock);
    if (e.holder != CurrentThreadId() || e.acquiring || e.count == 0) {
        errno = EPERM;
        return false;
    }
    if (--e.count > 0)
        return true;
    writeMark(e.fd, kFreeMark);
    // The lock file stays while a handle of this process refers to the
    // mutex (it is removed when the last handle closes): a mutex taken
    // again and again, such as a queue's, costs no new file each time.
    // Unlocking a flock held on an open descriptor cannot fail.
    (void)flock(e.fd, LOCK_UN);
    e.holder = 0;
    e.freed.notify_all();
    t_Owned.forget(m_Entry);
    return true;
}

}  // namespace platform
