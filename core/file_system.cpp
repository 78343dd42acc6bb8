// The library's file-system helpers.
//
//   FileExists        whether a path exists
//   RemoveFile        unlink, retried once after making the file writable
//   RenameFile        rename that refuses an existing target
//   MakeDir/RemoveDir one directory
//   ListDir           the names in a directory
//   EmptyDir          remove every file of a directory
//   JoinPath          directory + "/" + name
//   GetFileExtension  the text after the last dot of the last component
//   PathToLockName    the name of a path's lock
//
// Bad input: a null path fails as a path that does not exist would (EINVAL
// in the message); failures are reported once (messages 107 to 114) and give
// false. With the lock flag the path lock's CVornException passes through,
// and no lock stays held when it does.
#include "core/file_system.h"

#include <errno.h>

#include <string>
#include <vector>

#include "core/event_log.h"
#include "core/splitter.h"
#include "core/vorn_file.h"
#include "core/vorn_mutex.h"
#include "platform/file_ops.h"

namespace {

const int kError = 1;
const int kMaxLockName = 255;

const char* orEmpty(const char* text) {
    return text ? text : "";
}

// The path lock of one path, taken on request. Release gives it back and
// passes on the mutex's exception; the destructor releases quietly, for the
// paths that leave by an exception.
class PathLock {
public:
    PathLock(const char* path, bool take) {
        if (!take || !path || !*path)
            return;
        CVornString name(path, CVornString::kUnlocked);
        PathToLockName(name);
        m_Mutex.Lock(name.CStr());
        m_Held = true;
    }
    ~PathLock() {
        if (m_Held) {
            try {
                m_Mutex.Unlock();
            } catch (...) {
            }
        }
    }
    PathLock(const PathLock&) = delete;
    PathLock& operator=(const PathLock&) = delete;

    void Release() {
        if (!m_Held)
            return;
        m_Held = false;
        m_Mutex.Unlock();
    }

private:
    CVornMutex m_Mutex;
    bool m_Held = false;
};

}  // namespace

bool FileExists(const char* path, bool withLock) {
    PathLock lock(path, withLock);
    bool exists = path && platform::PathExists(path);
    lock.Release();
    return exists;
}

bool RemoveFile(const char* path, bool withLock) {
    PathLock lock(path, withLock);
    bool removed = platform::RemovePath(path);
    int error = errno;
    // A read-only file on a system that protects such files from removal.
    if (!removed && error == EACCES && platform::AddWritePermission(path)) {
        removed = platform::RemovePath(path);
        error = errno;
    }
    lock.Release();
    if (!removed)
        LogEventStrInt(kMsgFileRemoveFailed, kError, orEmpty(path), error);
    return removed;
}

bool RenameFile(const char* from, const char* to, bool withLock) {
    PathLock source(from, withLock);
    PathLock target(to, withLock);
    bool renamed = platform::RenamePath(from, to, false);
    int error = errno;
    source.Release();
    target.Release();
    if (!renamed)
        LogEventStrStrInt(kMsgFileRenameFailed, kError, orEmpty(from), orEmpty(to), error);
    return renamed;
}

bool MakeDir(const char* path) {
    if (platform::MakeDirectory(path, 0755))
        return true;
    LogEventStrInt(kMsgDirCreateFailed, kError, orEmpty(path), errno);
    return false;
}

bool RemoveDir(const char* path) {
    if (platform::RemoveDirectory(path))
        return true;
    LogEventStrInt(kMsgDirRemoveFailed, kError, orEmpty(path), errno);
    return false;
}

bool ListDir(CVornStringList& out, const char* directory) {
    std::vector<std::string> names;
    if (!platform::ListDirectory(directory, &names)) {
        LogEventStrInt(kMsgDirListFailed, kError, orEmpty(directory), errno);
        return false;
    }
    CVornLockGuard hold(out.m_Lock);
    out.RemoveAll();
    for (const std::string& name : names) {
        if (name == "." || name == "..")
            continue;
        out.AddTail(
            CVornString(name.data(), static_cast<int>(name.size()), CVornString::kUnlocked));
    }
    return true;
}

bool EmptyDir(const char* directory) {
    if (!FileExists(directory, false))
        return false;
    CVornStringList names;
    if (!ListDir(names, directory))
        return false;
    CVornString path(CVornString::kUnlocked);
    CVornLockGuard hold(names.m_Lock);
    for (auto* node = names.m_Head; node; node = node->m_Next) {
        JoinPath(path, directory, node->m_Element.CStr());
        RemoveFile(path.CStr(), false);
    }
    return true;
}

void JoinPath(CVornString& out, const char* directory, const char* name) {
    CVornString joined(orEmpty(directory), CVornString::kUnlocked);
    if (!joined.EndsWith('/'))
        joined.Append('/');
    joined.Append(orEmpty(name));
    out.Assign(joined);
}

void GetFileExtension(const char* path, CVornString& out) {
    if (!path)
        return;
    // Only the last component: a dot in a directory name is no extension.
    const char* last = path;
    for (const char* p = path; *p; ++p) {
        if (*p == '/')
            last = p + 1;
    }
    CVornSplitter items;
    items.Split(CVornString(last, CVornString::kUnlocked), '.', 0);
    int count = items.Count();
    if (count > 1)
        items.GetAt(count - 1, out);
}

void PathToLockName(CVornString& path) {
    path.ReplaceChar('/', ',');
    path.ReplaceChar('\\', ',');
    path.KeepRight(kMaxLockName);
}
