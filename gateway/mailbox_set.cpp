// CMailboxSet: a mail user's mailboxes, their entries and the set file
// "mailboxes.mbs" (see gateway/mailbox_set.h).
//
// Bad input: names are checked (IsMailboxName) before an entry is made or a
// file is touched. Every file step that fails is logged with the file
// events of core/vorn_file.h and gives 1.
#include "gateway/mailbox_set.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>

#include "config/config_store.h"
#include "core/clock.h"
#include "core/event_log.h"
#include "core/vorn_exception.h"
#include "core/vorn_file.h"
#include "gateway/address_book.h"
#include "gateway/mail_users.h"
#include "gateway/spool_files.h"

namespace {

constexpr int kEventError = 1;

// Endings of the companion files of a mailbox (its index and the copies
// of a rewrite): a mailbox of such a name would be another's companion.
constexpr const char* kCompanionEndings[] = {".toc", ".new", ".old"};
// Files of the user's folder that are not mailboxes, with their rewrite
// copies ("_new", "_old" appended).
constexpr const char* kFolderFiles[] = {kMailboxSetFileName, kAddressBookFileName};

bool StartsWithNoCase(const char* text, const char* prefix) {
    CVornString head(CVornString::kUnlocked);
    head.Assign(text);
    return head.StartsWith(prefix, 0);
}

bool EndsWithNoCase(const char* text, const char* ending) {
    const size_t length = strlen(text);
    const size_t endingLength = strlen(ending);
    if (length < endingLength)
        return false;
    CVornString tail(text + length - endingLength, CVornString::kUnlocked);
    return tail.Equals(ending, 0);
}

// Keeps a sum of counts within the range of its type.
int ClampInt(long long value) {
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

}  // namespace

MailboxSetEntry::~MailboxSetEntry() = default;

void MailboxSetEntry::Assign(const MailboxSetEntry& other) {
    m_Name.Assign(other.m_Name);
    m_OpenCount = other.m_OpenCount;
    m_Messages = other.m_Messages;
    m_Unread = other.m_Unread;
    m_Bytes = other.m_Bytes;
}

int CompareMailboxNames(const MailboxSetEntry* a, const MailboxSetEntry* b) {
    return a->m_Name.Compare(b->m_Name, 0);
}

bool IsMailboxName(const char* name) {
    // The object name rule keeps CR, LF, "," and 0x1C out, so a name is
    // always one field of one line of the set file.
    if (CVornConfigStore::IsBadObjectName(name))
        return false;
    if (strchr(name, '/') != nullptr || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    for (const char* file : kFolderFiles) {
        if (StartsWithNoCase(name, file))
            return false;
    }
    for (const char* ending : kCompanionEndings) {
        if (EndsWithNoCase(name, ending))
            return false;
    }
    return true;
}

// ---------------------------------------------------------------- life

CMailboxSet::CMailboxSet(const char* user, CompareFunction compare)
    : m_User(user ? user : ""), m_Entries(compare) {
    CVornString path(CVornString::kUnlocked);
    {
        CVornLockGuard guard(g_MailStoreLock);
        GetMailboxSetPath(m_User.c_str(), path);
    }
    m_SetPath.assign(path.Data() ? path.Data() : "", static_cast<size_t>(path.Length()));
}

CMailboxSet::~CMailboxSet() = default;

// ---------------------------------------------------------------- entries

int CMailboxSet::addEntry(const char* mailbox, int messages, int unread, long bytes) {
    if (mailbox == nullptr || *mailbox == '\0' || indexOf(mailbox) >= 0)
        return 1;
    MailboxSetEntry entry;
    entry.m_Name.Assign(mailbox);
    entry.m_Messages = messages;
    entry.m_Unread = unread;
    entry.m_Bytes = bytes;
    m_Entries.Insert(entry);
    return 0;
}

int CMailboxSet::removeEntry(const char* mailbox) {
    int position = indexOf(mailbox);
    if (position < 0 || entryAt(position)->m_OpenCount > 0)
        return 1;
    m_Entries.m_List.RemoveAt(static_cast<unsigned>(position));
    return 0;
}

int CMailboxSet::indexOf(const char* mailbox) {
    if (mailbox == nullptr)
        return -1;
    CVornLockGuard guard(m_Entries.m_List.m_Lock);
    int position = 0;
    for (auto* node = m_Entries.m_List.m_Head; node; node = node->m_Next, ++position) {
        if (node->m_Element.m_Name.Equals(mailbox, 0))
            return position;
    }
    return -1;
}

MailboxSetEntry* CMailboxSet::entryAt(int position) {
    return m_Entries.m_List.GetAt(position);
}

// ---------------------------------------------------------------- set file

int CMailboxSet::Save() {
    if (m_SetPath.empty())
        return 1;
    std::string text;
    {
        CVornLockGuard guard(m_Entries.m_List.m_Lock);
        char line[96];
        snprintf(line, sizeof line, "# 1 %d 0 %lld\r\n", m_Entries.m_List.m_Count,
                 static_cast<long long>(RefreshNow()));
        text = line;
        for (auto* node = m_Entries.m_List.m_Head; node; node = node->m_Next) {
            const MailboxSetEntry& entry = node->m_Element;
            text += 'B';
            text.append(entry.m_Name.Data() ? entry.m_Name.Data() : "",
                        static_cast<size_t>(entry.m_Name.Length()));
            snprintf(line, sizeof line, ",%d,%d,%ld\r\n", entry.m_Messages, entry.m_Unread,
                     entry.m_Bytes);
            text += line;
        }
    }

    // The set file keeps its name throughout: a reader (or a crash) never
    // finds it missing. The first save makes it.
    if (!ReplaceFileKeepingOld(m_SetPath, text, "_new", "_old"))
        return 1;
    return 0;
}

// ---------------------------------------------------------------- changes

int CMailboxSet::CreateMailbox(const char* mailbox) {
    if (!IsMailboxName(mailbox))
        return 1;
    {
        CVornWriteGuard guard(m_SetLock);
        if (addEntry(mailbox, 0, 0, 0) != 0)
            return 0;  // the set has it already
        // A set file that cannot record the mailbox leaves no entry behind
        // either: a later create would take it for made.
        if (Save() != 0) {
            (void)removeEntry(mailbox);
            return 1;
        }
    }
    // Opening makes the mailbox's files and loads its index.
    CMailbox* box = OpenMailbox(mailbox, 0);
    const bool loaded = box != nullptr && box->GetState() == kBoxLoaded;
    if (box != nullptr)
        CloseMailbox(mailbox);
    if (loaded)
        return 0;
    CVornWriteGuard guard(m_SetLock);
    (void)removeEntry(mailbox);
    (void)Save();
    return 1;
}

int CMailboxSet::DeleteMailbox(const char* mailbox) {
    CVornWriteGuard guard(m_SetLock);
    int position = indexOf(mailbox);
    if (position < 0)
        return 1;
    // The files bear the name the entry was made with.
    MailboxSetEntry kept;
    kept.Assign(*entryAt(position));
    if (removeEntry(mailbox) != 0)
        return 1;
    if (Save() != 0) {
        // The set file still lists the mailbox, and its files stay: so does
        // the entry.
        (void)addEntry(kept.m_Name.CStr(), kept.m_Messages, kept.m_Unread, kept.m_Bytes);
        return 1;
    }
    // Removed under the set's lock, so no one reopens the mailbox (and
    // makes its files again) between the rewrite and the removal.
    return DeleteMailboxFiles(m_User.c_str(), kept.m_Name.CStr()) == 0 ? 0 : 1;
}

int CMailboxSet::DeleteAllMailboxes() {
    for (;;) {
        CVornString first(CVornString::kUnlocked);
        {
            CVornReadGuard guard(m_SetLock);
            CVornLockGuard listGuard(m_Entries.m_List.m_Lock);
            if (m_Entries.m_List.m_Head == nullptr)
                return 0;
            first.Assign(m_Entries.m_List.m_Head->m_Element.m_Name);
        }
        if (DeleteMailbox(first.CStr()) != 0)
            return 1;
    }
}

// ---------------------------------------------------------------- counts

int CMailboxSet::GetMailboxCounts(const char* mailbox, int& messages, int& unread, long& bytes) {
    CVornReadGuard guard(m_SetLock);
    int position = indexOf(mailbox);
    if (position < 0)
        return 1;
    const MailboxSetEntry* entry = entryAt(position);
    messages = entry->m_Messages;
    unread = entry->m_Unread;
    bytes = entry->m_Bytes;
    return 0;
}

void CMailboxSet::GetTotals(int& messages, int& unread, long& bytes) {
    long long sumMessages = 0;
    long long sumUnread = 0;
    long sumBytes = 0;
    {
        CVornReadGuard guard(m_SetLock);
        CVornLockGuard listGuard(m_Entries.m_List.m_Lock);
        for (auto* node = m_Entries.m_List.m_Head; node; node = node->m_Next) {
            sumMessages += node->m_Element.m_Messages;
            sumUnread += node->m_Element.m_Unread;
            sumBytes += node->m_Element.m_Bytes;
        }
    }
    messages = ClampInt(sumMessages);
    unread = ClampInt(sumUnread);
    bytes = sumBytes;
}

void CMailboxSet::CountCachedMessages(int& messages, int& unread, long& bytes) {
    long long sumMessages = 0;
    long long sumUnread = 0;
    long sumBytes = 0;
    {
        CVornReadGuard guard(m_SetLock);
        CVornLockGuard listGuard(m_Entries.m_List.m_Lock);
        for (auto* node = m_Entries.m_List.m_Head; node; node = node->m_Next) {
            if (!node->m_Element.m_Mailbox)
                continue;
            sumMessages += node->m_Element.m_Messages;
            sumUnread += node->m_Element.m_Unread;
            sumBytes += node->m_Element.m_Bytes;
        }
    }
    messages = ClampInt(sumMessages);
    unread = ClampInt(sumUnread);
    bytes = sumBytes;
}

void CMailboxSet::ListInto(CVornSortedList<MailboxSetEntry>& list) {
    {
        CVornLockGuard guard(list.m_InsertLock);
        if (!list.m_Compare)
            ThrowVornListError(62);
    }
    CVornReadGuard guard(m_SetLock);
    CVornLockGuard listGuard(m_Entries.m_List.m_Lock);
    for (auto* node = m_Entries.m_List.m_Head; node; node = node->m_Next)
        list.Insert(node->m_Element);
}

// ---------------------------------------------------------------- open and close

CMailbox* CMailboxSet::OpenMailbox(const char* mailbox, int filterFlag) {
    if (!IsMailboxName(mailbox))
        return nullptr;
    CMailbox* box = nullptr;
    {
        CVornWriteGuard guard(m_SetLock);
        int position = indexOf(mailbox);
        if (position < 0) {
            (void)addEntry(mailbox, 0, 0, 0);
            position = indexOf(mailbox);
            if (position < 0)
                return nullptr;
        }
        MailboxSetEntry* entry = entryAt(position);
        ++entry->m_OpenCount;
        if (!entry->m_Mailbox) {
            // The first open makes the mailbox, which opens at once; its
            // files bear the entry's name whatever case the caller wrote.
            try {
                entry->m_Mailbox =
                    std::make_unique<CMailbox>(m_User.c_str(), entry->m_Name.CStr(), filterFlag);
            } catch (const std::bad_alloc&) {
                --entry->m_OpenCount;
                return nullptr;
            }
            return entry->m_Mailbox.get();
        }
        box = entry->m_Mailbox.get();
    }
    // Reopened outside the set's lock: waiting for the mailbox's holder
    // must not block the set. The entry stays while the count is above 0.
    box->Open(filterFlag);
    return box;
}

void CMailboxSet::CloseMailbox(const char* mailbox) {
    CVornWriteGuard guard(m_SetLock);
    int position = indexOf(mailbox);
    if (position < 0)
        return;
    MailboxSetEntry* entry = entryAt(position);
    if (entry->m_OpenCount != 0 && entry->m_Mailbox) {
        int messages = 0;
        int unread = 0;
        long bytes = 0;
        if (entry->m_Mailbox->GetCounts(messages, unread, bytes) == 0) {
            entry->m_Messages = messages;
            entry->m_Unread = unread;
            entry->m_Bytes = bytes;
        }
        entry->m_Mailbox->Close();
        if (--entry->m_OpenCount < 0) {
            std::string text = m_User + ":" + entry->m_Name.CStr();
            throw CVornException(kMsgMailboxOverClosed, text.c_str());
        }
    }
    (void)Save();
}

void CMailboxSet::GetDeliveryMailbox(CVornMailMessage* /*message*/, CVornString& name) {
    name.Assign(kInboxName);
}
