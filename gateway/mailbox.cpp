// CMailbox: opening and closing a mailbox, delivery into it, its listings
// and counts, the sort order and the content filter's re-check; the free
// functions of the mailbox module (lock name, path, root, file removal).
// The index file handling is in gateway/mailbox_index.cpp.
//
// Bad input: see gateway/mailbox.h. Every operation checks the open flag
// and the state first and gives its failure result before touching a file.
#include "gateway/mailbox.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <openssl/evp.h>

#include <new>
#include <string>
#include <utility>

#include "config/config_store.h"
#include "core/clock.h"
#include "core/debug_log.h"
#include "core/event_log.h"
#include "core/file_system.h"
#include "core/hash_table.h"
#include "core/splitter.h"
#include "core/vorn_date.h"
#include "core/vorn_exception.h"
#include "core/vorn_file.h"
#include "core/vorn_mutex.h"
#include "gateway/content_filter.h"
#include "gateway/service_startup.h"
#include "net/mail_message.h"
#include "platform/file_ops.h"

namespace {

enum : int {
    kMsgIndexRebuilt = 454,  // warning: owner, mailbox path
};
constexpr int kEventError = 1;
constexpr int kEventWarning = 2;
// CVornMutex: the wait ended because the last holder died holding it.
constexpr int kMutexAbandoned = 44;

// Deliver copies the source in reads of this size.
constexpr int kCopyChunk = 4096;
// The content filter's re-check runs at most this often.
constexpr time_t kRecheckSeconds = 60;
// Paths of a mailbox's files (the longest: the index's ".new" copy) stay
// below this.
constexpr size_t kMaxPath = 4096;
constexpr size_t kLongestSuffix = sizeof ".toc.new" - 1;

// The root directory; never destroyed, so a thread may still read it at
// exit. Its own lock guards it.
CVornString& MailboxRoot() {
    static CVornString* root = new CVornString(kDefaultDataDirectory);
    return *root;
}

// A user or mailbox name that names one file in one directory.
bool IsUsableName(const char* name) {
    if (!name || !*name || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '/' || c < 0x20 || c == 0x7F)
            return false;
    }
    return true;
}

// The mailbox's path, or empty when a name or the path is unusable.
std::string UsablePath(const char* user, const char* mailbox) {
    if (!IsUsableName(user) || !IsUsableName(mailbox))
        return std::string();
    CVornString path(CVornString::kUnlocked);
    MailboxPath(user, mailbox, path);
    if (static_cast<size_t>(path.Length()) + kLongestSuffix >= kMaxPath)
        return std::string();
    return std::string(path.CStr(), static_cast<size_t>(path.Length()));
}

// Takes mutex, also when its last holder died holding it (the first wait
// then ends with 44 and leaves it free). Passes on any other exception.
void LockTakingOver(CVornMutex& mutex) {
    try {
        mutex.Lock();
    } catch (const CVornException& e) {
        if (e.m_Code != kMutexAbandoned)
            throw;
        mutex.Lock();
    }
}

std::string Text(CVornString& s) {
    return std::string(s.CStr(), static_cast<size_t>(s.Length()));
}

// The value of a header field of message, bounded for the index.
std::string HeaderText(CVornMailMessage& message, const char* name) {
    CVornString value(CVornString::kUnlocked);
    message.GetHeader(name, value);
    std::string text = Text(value);
    BoundIndexText(text);
    return text;
}

// The "To" text of an entry: the first address and " ..." when the field
// holds more than one.
std::string ShortTo(CVornMailMessage& message) {
    CVornString value(CVornString::kUnlocked);
    message.GetHeader("To", value);
    CVornSplitter splitter;
    if (splitter.SplitQuoted(value, ',', 0, false) && splitter.Count() > 1) {
        CVornString first(CVornString::kUnlocked);
        splitter.GetAt(0, first);
        first.Append(" ...");
        value.Assign(first);
    }
    std::string text = Text(value);
    BoundIndexText(text);
    return text;
}

int CompareText(const std::string& a, const std::string& b) {
    CVornString left(a.data(), static_cast<int>(a.size()), CVornString::kUnlocked);
    CVornString right(b.data(), static_cast<int>(b.size()), CVornString::kUnlocked);
    return left.Compare(right, 0);
}

std::string WithoutQuotes(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '"')
            out += c;
    }
    return out;
}

template <typename T>
int CompareNumbers(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

}  // namespace

// ---------------------------------------------------------------- life

CMailbox::CMailbox(const char* user, const char* mailbox, int filterFlag) {
    CVornString lockName(CVornString::kUnlocked);
    MailboxLockName(user, mailbox, lockName);
    m_LockName = Text(lockName);
    if (!user || !mailbox)
        return;
    m_Owner = user;
    m_Path = UsablePath(user, mailbox);
    if (!m_Path.empty())
        m_IndexPath = m_Path + ".toc";
    Open(filterFlag);
}

CMailbox::~CMailbox() {
    Close();
}

bool CMailbox::takeMutex() {
    try {
        m_Mutex = std::make_unique<CVornMutex>(m_LockName.c_str());
        LockTakingOver(*m_Mutex);
        return true;
    } catch (const CVornException&) {
    } catch (const std::bad_alloc&) {
    }
    m_Mutex.reset();
    return false;
}

void CMailbox::Open(int filterFlag) {
    if (m_Path.empty()) {
        m_State = kBoxNoIndex;
        return;
    }
    m_MailboxLock.Lock();
    if (IsOpen()) {
        // Only the holder passes the mailbox lock while the mailbox is open:
        // it is opening again. One level of the locks is enough, so that
        // one Close gives the mailbox back.
        m_MailboxLock.Unlock();
    } else {
        // The wait for another holder happens outside the open flag's lock,
        // so IsOpen never waits for it.
        if (!takeMutex()) {
            m_State = kBoxFailed;
            m_MailboxLock.Unlock();
            return;
        }
        CVornLockGuard guard(m_OpenLock);
        m_Open = true;
        m_Holder = std::this_thread::get_id();
    }
    try {
        int state = m_IndexTime != 0 ? reloadIfChanged() : loadIndex();
        if (state == kBoxNoIndex) {
            createIndex();
            state = loadIndex();
        }
        if (state == kBoxCorrupt) {
            LogEventStrStrInt(kMsgIndexRebuilt, kEventWarning, m_Owner.c_str(), m_Path.c_str(), 0);
            rebuildIndex();
            state = loadIndex();
        }
        if (state == kBoxLoaded && checkConsistency())
            state = loadIndex();
        m_State = state;
        if (filterFlag)
            recheckFilter();
    } catch (const std::bad_alloc&) {
        m_State = kBoxFailed;
    } catch (const CVornException&) {
        m_State = kBoxFailed;
    }
}

void CMailbox::Close() {
    CVornLockGuard guard(m_OpenLock);
    if (!m_Open)
        return;
    if (m_Holder != std::this_thread::get_id()) {
        // The mailbox lock can only be released by the thread that took it.
        LogText(kLogError, "A mailbox was closed by a thread that did not open it; it stays open.");
        return;
    }
    try {
        m_Mutex->Unlock();
    } catch (const CVornException&) {
        // Reported by the exception; the mutex object goes all the same.
    }
    m_Mutex.reset();
    m_Open = false;
    m_Holder = std::thread::id();
    m_MailboxLock.Unlock();
}

bool CMailbox::IsOpen() {
    CVornLockGuard guard(m_OpenLock);
    return m_Open;
}

bool CMailbox::ready() {
    return IsOpen() && m_State == kBoxLoaded;
}

// ---------------------------------------------------------------- delivery

void CMailbox::fillEntry(MailboxIndexEntry& entry, CVornMailMessage& stored, int flags) {
    entry.m_Flags =
        stored.HasAttachment() ? (flags | kMailboxAttachment) : (flags & ~kMailboxAttachment);
    entry.m_From = HeaderText(stored, "From");
    entry.m_Subject = HeaderText(stored, "Subject");
    CVornString dateText(CVornString::kUnlocked);
    stored.GetHeader("Date", dateText);
    CVornDate date;
    date.Parse(dateText);
    entry.m_Date = date.GetTime();
    entry.m_DateText = Text(dateText);
    BoundIndexText(entry.m_DateText);
    entry.m_To = ShortTo(stored);
    CVornString uid(CVornString::kUnlocked);
    stored.GetUniqueKey(uid);
    entry.m_Uid = Text(uid);
    BoundIndexText(entry.m_Uid);
    entry.m_Offset = stored.GetStartOffset();
    entry.m_Length = stored.GetSize();
    entry.m_Hidden = 0;
}

int CMailbox::Deliver(int filterFlag, int flags, const char* sender, CVornMailMessage* source,
                      CVornString& uid, char** filterResult) {
    if (filterResult)
        *filterResult = nullptr;
    if (!ready() || !source)
        return -1;
    bool stored = false;
    try {
        if (filterFlag &&
            FilterMessage(sender, m_Owner.c_str(), nullptr, source, 1, filterResult) != 0)
            return 1;
        // Mail is private: a new mailbox file is made for the owner alone
        // before the message appends to it.
        int fd = platform::OpenFile(m_Path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd < 0) {
            LogEventStrInt(kMsgFileOpenFailed, kEventError, m_Path.c_str(), errno);
            return -1;
        }
        platform::CloseFile(fd);

        CVornMailMessage message(m_Path.c_str(), 0, 0, CVornMailMessage::kSeparator,
                                 CVornMailMessage::kModeWrite);
        if (source->RewindToStart() != 0 || message.Open(sender, nullptr) != 0)
            return -1;
        char buffer[kCopyChunk];
        for (;;) {
            int n = source->Read(buffer, sizeof buffer);
            if (n == 0)
                break;
            if (n < 0 || message.Write(buffer, n) != 0) {
                message.Discard();
                message.Close();
                return -1;
            }
        }
        if (message.Close() != 0)
            return -1;
        stored = true;

        MailboxIndexEntry entry;
        fillEntry(entry, message, flags);
        if (entry.m_Length <= 0)
            return -1;
        entry.m_Sender = sender ? sender : "";
        BoundIndexText(entry.m_Sender);
        uid.Assign(entry.m_Uid.c_str());
        insertSorted(std::move(entry));
    } catch (const std::bad_alloc&) {
        // A message already in the file counts as delivered: the next Open
        // finds the index short of it and rebuilds.
        return stored ? 0 : -1;
    }
    // The message is stored whatever the index: when the rewrite fails the
    // index on disk no longer adds up to the file, and the next Open
    // rebuilds it.
    writeIndex();
    return 0;
}

void CMailbox::insertSorted(MailboxIndexEntry&& entry) {
    if (m_Entries.empty() || compareEntries(entry, m_Entries.back()) >= 0) {
        m_Entries.push_back(std::move(entry));
        return;
    }
    // Before the first entry that it does not sort after.
    auto it = m_Entries.begin();
    while (compareEntries(entry, *it) > 0) ++it;
    m_Entries.insert(it, std::move(entry));
}

int CMailbox::compareEntries(const MailboxIndexEntry& a, const MailboxIndexEntry& b) const {
    // Orders go in pairs over one key, odd ascending and even descending:
    // subject (1, 2), flags (3, 4), sender (5, 6), date (7, 8), length
    // (9, 10), recipient (11, 12). Any other order is 7.
    const int order = m_SortOrder >= 1 && m_SortOrder <= 12 ? m_SortOrder : 7;
    const MailboxIndexEntry& first = order % 2 != 0 ? a : b;
    const MailboxIndexEntry& second = order % 2 != 0 ? b : a;
    switch ((order + 1) / 2) {
        case 1:
            return CompareText(first.m_Subject, second.m_Subject);
        case 2:
            return CompareNumbers(first.m_Flags, second.m_Flags);
        case 3:
            return CompareText(WithoutQuotes(first.m_From), WithoutQuotes(second.m_From));
        case 5:
            return CompareNumbers(first.m_Length, second.m_Length);
        case 6:
            return CompareText(WithoutQuotes(first.m_To), WithoutQuotes(second.m_To));
        default:
            return CompareNumbers(first.m_Date, second.m_Date);
    }
}

void CMailbox::recheckFilter() {
    time_t now = Now();
    if (now - m_LastRecheck < kRecheckSeconds)
        return;
    if (!m_Entries.empty()) {
        CVornStringMap settings;
        bool haveSettings =
            CVornConfigStore::GetEffectiveSettings(nullptr, m_Owner.c_str(), 0, settings) == 0;
        for (MailboxIndexEntry& entry : m_Entries) {
            bool hide = false;
            if (haveSettings) {
                const std::string& address = entry.m_Sender.empty() || entry.m_Sender == "??@??"
                                                 ? entry.m_From
                                                 : entry.m_Sender;
                hide = RecheckFilter(address.c_str(), nullptr, settings, nullptr) != 0;
            }
            entry.m_Hidden =
                hide ? (entry.m_Hidden | kMailboxHidden) : (entry.m_Hidden & ~kMailboxHidden);
        }
    }
    m_LastRecheck = now;
}

// ---------------------------------------------------------------- listings

MailboxIndexEntry* CMailbox::findVisible(int number) {
    if (number < 1)
        return nullptr;
    for (MailboxIndexEntry& entry : m_Entries) {
        if ((entry.m_Hidden & kMailboxHidden) == 0 && --number == 0)
            return &entry;
    }
    return nullptr;
}

int CMailbox::GetCounts(int& messages, int& unread, long& bytes) {
    if (!ready())
        return 1;
    messages = 0;
    unread = 0;
    bytes = 0;
    for (const MailboxIndexEntry& entry : m_Entries) {
        ++messages;
        if (entry.m_Flags & kMailboxUnread)
            ++unread;
        bytes += entry.m_Length;
    }
    return 0;
}

int CMailbox::GetVisibleCounts(int& messages, int& unread, long& bytes) {
    if (!ready())
        return 1;
    messages = 0;
    unread = 0;
    bytes = 0;
    for (const MailboxIndexEntry& entry : m_Entries) {
        if (entry.m_Hidden & kMailboxHidden)
            continue;
        ++messages;
        if (entry.m_Flags & kMailboxUnread)
            ++unread;
        bytes += entry.m_Length;
    }
    return 0;
}

int CMailbox::GetSortOrder() {
    return ready() ? m_SortOrder : 0;
}

int CMailbox::OpenMessage(int number, CVornMailMessage*& message) {
    message = nullptr;
    MailboxIndexEntry* entry = ready() ? findVisible(number) : nullptr;
    if (!entry)
        return 1;
    CVornMailMessage* opened = new (std::nothrow) CVornMailMessage(
        m_Path.c_str(), static_cast<int>(entry->m_Offset), static_cast<int>(entry->m_Length),
        CVornMailMessage::kParseOnOpen, CVornMailMessage::kModeRead);
    if (!opened)
        return -1;
    if (opened->Open() != 0) {
        delete opened;
        return -1;
    }
    message = opened;
    return 0;
}

int CMailbox::ClearFlags(int number, int bits) {
    MailboxIndexEntry* entry = ready() ? findVisible(number) : nullptr;
    if (!entry)
        return 1;
    entry->m_Flags &= ~bits;
    return writeIndex();
}

int CMailbox::GetEntry(int number, int& flags, CVornString& from, CVornString& sender,
                       CVornString& to, CVornString& dateText, long& length, CVornString& subject,
                       CVornString& uid) {
    MailboxIndexEntry* entry = ready() ? findVisible(number) : nullptr;
    if (!entry)
        return 1;
    flags = entry->m_Flags;
    from.Assign(entry->m_From.data(), static_cast<int>(entry->m_From.size()));
    sender.Assign(entry->m_Sender.data(), static_cast<int>(entry->m_Sender.size()));
    to.Assign(entry->m_To.data(), static_cast<int>(entry->m_To.size()));
    dateText.Assign(entry->m_DateText.data(), static_cast<int>(entry->m_DateText.size()));
    length = entry->m_Length;
    subject.Assign(entry->m_Subject.data(), static_cast<int>(entry->m_Subject.size()));
    uid.Assign(entry->m_Uid.data(), static_cast<int>(entry->m_Uid.size()));
    return 0;
}

int CMailbox::GetSizeAndUid(int number, long& length, CVornString& uid) {
    length = 0;
    MailboxIndexEntry* entry = ready() ? findVisible(number) : nullptr;
    if (!entry)
        return 1;
    length = entry->m_Length;
    uid.Assign(entry->m_Uid.data(), static_cast<int>(entry->m_Uid.size()));
    return 0;
}

int CMailbox::FindByUid(const char* uid) {
    if (!uid || !ready())
        return 0;
    int number = 0;
    for (const MailboxIndexEntry& entry : m_Entries) {
        if (entry.m_Hidden & kMailboxHidden)
            continue;
        ++number;
        if (entry.m_Uid == uid)
            return number;
    }
    return 0;
}

// ---------------------------------------------------------------- free functions

void MailboxLockName(const char* user, const char* mailbox, CVornString& out) {
    // The names themselves do not fit: joined they are ambiguous ("aB"+"x"
    // and "a"+"Bx") and may be too long for a lock name, and two mailboxes
    // sharing a lock deadlock the set (a first open waits for the mailbox
    // lock under the set's write lock, which the holder's close needs). A
    // digest of both, with a byte between that no name holds, is one name
    // per mailbox, of one length.
    std::string key(user ? user : "");
    key += '\0';
    key += mailbox ? mailbox : "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    out.Clear();
    if (EVP_Digest(key.data(), key.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return;
    static const char kHex[] = "0123456789abcdef";
    out.Assign("QVBOXU");
    for (unsigned int i = 0; i < length; ++i) {
        out.Append(kHex[digest[i] >> 4]);
        out.Append(kHex[digest[i] & 15]);
    }
}

void MailboxPath(const char* user, const char* mailbox, CVornString& out) {
    CVornString root(MailboxRoot(), CVornString::kUnlocked);
    CVornString directory(CVornString::kUnlocked);
    JoinPath(directory, root.CStr(), user ? user : "");
    JoinPath(out, directory.CStr(), mailbox ? mailbox : "");
}

void SetMailboxRoot(const char* directory) {
    if (directory && *directory)
        MailboxRoot().Assign(directory);
}

int DeleteMailboxFiles(const char* user, const char* mailbox) {
    std::string path = UsablePath(user, mailbox);
    if (path.empty())
        return 1;
    CVornString lockName(CVornString::kUnlocked);
    MailboxLockName(user, mailbox, lockName);
    CVornMutex mutex;
    try {
        mutex.SetName(lockName.CStr());
        LockTakingOver(mutex);
    } catch (const CVornException&) {
        return 1;
    }
    int result = 0;
    for (const char* suffix : {"", ".new", ".old", ".toc", ".toc.new", ".toc.old"}) {
        std::string file = path + suffix;
        if (FileExists(file.c_str(), false) && !RemoveFile(file.c_str(), false))
            result = 1;
    }
    try {
        mutex.Unlock();
    } catch (const CVornException&) {
    }
    return result;
}
