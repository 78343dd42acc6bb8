// Mail users of the local mail store: the registry of their mailbox sets and
// the operations that start-up, shutdown, the object commands, local
// delivery and the web-mail and diagnostics pages call (see mail_users.h).
#include "gateway/mail_users.h"

#include <climits>
#include <cstring>
#include <memory>

#include "config/config_store.h"
#include "core/clock.h"
#include "core/file_system.h"
#include "core/vorn_exception.h"
#include "gateway/mailbox.h"
#include "gateway/service_startup.h"

CVornMap<MailUserEntry>& MailUserRegistry = *new CVornMap<MailUserEntry>(1024, 1);
CVornLock& g_MailStoreLock = *new CVornLock(true);

namespace {

// The root of the users' folders; guarded by g_MailStoreLock. Never
// destroyed, like the registry.
CVornString& g_MailRoot = *new CVornString(kDefaultDataDirectory, CVornString::kUnlocked);

constexpr int kSettingBufferSize = 32;

bool isEmptyName(const char* user) {
    return user == nullptr || *user == '\0';
}

// A user whose name can stand as one folder below the mail root; anything
// else would let a name reach files outside the user's own folder.
bool isFolderName(const char* user) {
    if (isEmptyName(user) || std::strchr(user, '/') != nullptr)
        return false;
    return std::strcmp(user, ".") != 0 && std::strcmp(user, "..") != 0;
}

// folder := <mail root>/<user>; false (folder empty) for a name that is not
// one folder. REQUIRES: g_MailStoreLock.
bool userFolder(const char* user, CVornString& folder) {
    folder.Assign("");
    if (!isFolderName(user))
        return false;
    JoinPath(folder, g_MailRoot.CStr(), user);
    return true;
}

MailUserEntry* findEntry(const char* user) {
    MailUserEntry* entry = nullptr;
    if (isEmptyName(user) || !MailUserRegistry.Get(user, &entry))
        return nullptr;
    return entry;
}

int setMark(const char* user, const char* value) {
    return CVornConfigStore::SetAttribute('U', user, kMailUserSetting,
                                          CVornString(value, CVornString::kUnlocked), 0);
}

// The user's own "ZELORMUser" as DeleteMailUser found it, so that a failed
// deletion can put it back instead of leaving the user marked a mail user.
class MarkUndo {
public:
    // Reads the user's value and marks the user.
    explicit MarkUndo(const char* user) : m_User(user) {
        m_HadValue = CVornConfigStore::GetObjectSetting('U', user, kMailUserSetting, m_Value) == 0;
        m_Active = MarkMailUser(user) == 0;
    }
    MarkUndo(const MarkUndo&) = delete;
    MarkUndo& operator=(const MarkUndo&) = delete;

    // Puts the value back when this object marked the user.
    void Restore() {
        if (!m_Active)
            return;
        m_Active = false;
        if (m_HadValue)
            (void)CVornConfigStore::SetAttribute('U', m_User, kMailUserSetting, m_Value, 0);
        else
            (void)CVornConfigStore::DeleteAttribute('U', m_User, kMailUserSetting, 0);
    }

private:
    const char* m_User;
    CVornString m_Value{CVornString::kUnlocked};
    bool m_HadValue = false;
    bool m_Active = false;
};

// The set of a mail user with one reference taken, or null: not a mail
// user, or no set.
CMailboxSet* lendSet(const char* user) {
    if (isEmptyName(user))
        return nullptr;
    CVornLockGuard guard(g_MailStoreLock);
    if (!IsMailUser(user))
        return nullptr;
    return FindMailboxSet(user);
}

// Gives back references to the user's set.
void giveBack(const char* user, int references = 1) {
    CVornLockGuard guard(g_MailStoreLock);
    for (int i = 0; i < references; ++i) ReleaseMailUser(user);
}

// Runs operation on the mail user's lent set and gives the reference back,
// also when the set throws: the operation's result, or 1 when the user is
// not a mail user or has no set. g_MailStoreLock is not held meanwhile.
template <typename Operation>
int withSet(const char* user, Operation operation) {
    CMailboxSet* set = lendSet(user);
    if (set == nullptr)
        return 1;
    int result = 1;
    try {
        result = operation(*set);
    } catch (...) {
        giveBack(user);
        throw;
    }
    giveBack(user);
    return result;
}

}  // namespace

MailUserEntry::~MailUserEntry() {
    delete m_Set;
}

void SetMailRoot(const char* directory) {
    if (isEmptyName(directory))
        return;
    {
        CVornLockGuard guard(g_MailStoreLock);
        g_MailRoot.Assign(directory);
    }
    SetMailboxRoot(directory);
}

bool IsMailUser(const char* user) {
    if (isEmptyName(user))
        return false;
    char value[kSettingBufferSize] = {};
    if (CVornConfigStore::GetSettingBuffer(nullptr, user, kMailUserSetting, value,
                                           kSettingBufferSize) != 0)
        return false;
    return value[0] == '1';
}

int ActivateMailUser(const char* user) {
    if (isEmptyName(user))
        return 1;
    CVornLockGuard guard(g_MailStoreLock);
    if (IsMailUser(user))
        return 0;
    if (MarkMailUser(user) != 0)
        return 1;
    if (FindMailboxSet(user) == nullptr) {
        (void)UnmarkMailUser(user);
        return 1;
    }
    ReleaseMailUser(user);
    return 0;
}

int CreateMailbox(const char* user, const char* mailbox) {
    return withSet(user, [mailbox](CMailboxSet& set) { return set.CreateMailbox(mailbox); });
}

int GetMailboxCounts(const char* user, const char* mailbox, int& messages, int& unread,
                     long& bytes) {
    return withSet(user, [&](CMailboxSet& set) {
        // A mailbox the set does not hold is no failure here.
        (void)set.GetMailboxCounts(mailbox, messages, unread, bytes);
        return 0;
    });
}

int GetUserMailTotals(const char* user, int& messages, int& unread, long& bytes) {
    return withSet(user, [&](CMailboxSet& set) {
        set.GetTotals(messages, unread, bytes);
        return 0;
    });
}

int ListMailboxes(const char* user, CVornSortedList<MailboxSetEntry>& list) {
    return withSet(user, [&list](CMailboxSet& set) {
        set.ListInto(list);
        return 0;
    });
}

CMailbox* OpenMailbox(const char* user, const char* mailbox, int filterFlag) {
    CMailboxSet* set = lendSet(user);
    if (set == nullptr)
        return nullptr;
    CMailbox* box = nullptr;
    try {
        box = set->OpenMailbox(mailbox, filterFlag);
    } catch (...) {
        giveBack(user);
        throw;
    }
    // A lent mailbox keeps the reference until CloseMailbox.
    if (box == nullptr)
        giveBack(user);
    return box;
}

void CloseMailbox(const char* user, const char* mailbox) {
    CMailboxSet* set = nullptr;
    if (!isEmptyName(user)) {
        CVornLockGuard guard(g_MailStoreLock);
        set = FindMailboxSet(user);
    }
    if (set == nullptr)
        throw CVornException(kMsgMailUserNotRegistered, user);
    // This call's reference and the open's.
    try {
        set->CloseMailbox(mailbox);
    } catch (...) {
        giveBack(user, 2);
        throw;
    }
    giveBack(user, 2);
}

void GetDeliveryMailbox(const char* user, CVornMailMessage* message, CVornString& name) {
    name.Assign(kInboxName);
    (void)withSet(user, [&](CMailboxSet& set) {
        set.GetDeliveryMailbox(message, name);
        return 0;
    });
}

bool IsSpecialMailbox(const char* name) {
    if (name == nullptr)
        return false;
    CVornString text(name, CVornString::kUnlocked);
    for (const char* special : kSpecialMailboxes) {
        if (text.Equals(special, 0))
            return true;
    }
    return false;
}

int DeleteMailUser(const char* user) {
    if (isEmptyName(user))
        return 1;
    CVornLockGuard guard(g_MailStoreLock);
    // A user who is not a mail user is marked one for the attempt, so that
    // a half-made store can be removed too; a failed attempt leaves the
    // user's value as it was.
    std::unique_ptr<MarkUndo> undo;
    if (!IsMailUser(user))
        undo = std::make_unique<MarkUndo>(user);
    auto fail = [&undo] {
        if (undo)
            undo->Restore();
        return 1;
    };
    if (IsMailUserInUse(user))
        return fail();
    CMailboxSet* set = FindMailboxSet(user);
    if (set == nullptr)
        return fail();
    if (UnmarkMailUser(user) != 0) {
        ReleaseMailUser(user);
        return fail();
    }
    int deleted = 1;
    try {
        deleted = set->DeleteAllMailboxes();
    } catch (...) {
        ReleaseMailUser(user);
        (void)fail();
        throw;
    }
    if (deleted != 0) {
        ReleaseMailUser(user);
        return fail();
    }
    ReleaseMailUser(user);
    if (UnregisterMailUser(user) != 0)
        return fail();
    DeleteMailUserFiles(user);
    return 0;
}

void CloseAllMailUsers() {
    CVornLockGuard guard(g_MailStoreLock);
    CVornStringList users;
    MailUserRegistry.GetKeys(users);
    CVornLockGuard usersGuard(users.m_Lock);
    for (auto* node = users.m_Head; node != nullptr; node = node->m_Next)
        (void)UnregisterMailUser(node->m_Element.CStr());
}

int CountCachedMessages() {
    CVornLockGuard guard(g_MailStoreLock);
    long long total = 0;
    CVornStringList users;
    MailUserRegistry.GetKeys(users);
    CVornLockGuard usersGuard(users.m_Lock);
    for (auto* node = users.m_Head; node != nullptr; node = node->m_Next) {
        MailUserEntry* entry = findEntry(node->m_Element.CStr());
        if (entry == nullptr || entry->m_Set == nullptr)
            continue;
        int messages = 0;
        int unread = 0;
        long bytes = 0;
        entry->m_Set->CountCachedMessages(messages, unread, bytes);
        total += messages;
    }
    return total > INT_MAX ? INT_MAX : static_cast<int>(total);
}

// ---- Registry operations

CMailboxSet* FindMailboxSet(const char* user) {
    MailUserEntry* entry = findEntry(user);
    if (entry == nullptr || entry->m_Set == nullptr)
        return nullptr;
    ++entry->m_References;
    return entry->m_Set;
}

void ReleaseMailUser(const char* user) {
    MailUserEntry* entry = findEntry(user);
    if (entry == nullptr)
        throw CVornException(kMsgMailUserNotRegistered, user);
    --entry->m_References;
    entry->m_LastRelease = Now();
    if (entry->m_References < 0)
        throw CVornException(kMsgMailUserOverReleased, user);
}

int UnregisterMailUser(const char* user) {
    MailUserEntry* entry = findEntry(user);
    if (entry == nullptr)
        throw CVornException(kMsgMailUserCannotUnregister, user);
    if (entry->m_References > 0)
        return 1;
    MailUserRegistry.Remove(user);
    return 0;
}

bool IsMailUserInUse(const char* user) {
    MailUserEntry* entry = findEntry(user);
    return entry != nullptr && entry->m_References > 0;
}

int MarkMailUser(const char* user) {
    return setMark(user, "1");
}

int UnmarkMailUser(const char* user) {
    return setMark(user, "0");
}

void GetMailboxSetPath(const char* user, CVornString& out) {
    CVornString folder(CVornString::kUnlocked);
    if (!userFolder(user, folder)) {
        out.Assign("");
        return;
    }
    JoinPath(out, folder.CStr(), kMailboxSetFileName);
}

void DeleteMailUserFiles(const char* user) {
    CVornString folder(CVornString::kUnlocked);
    if (!userFolder(user, folder))
        return;
    CVornString setFile(CVornString::kUnlocked);
    JoinPath(setFile, folder.CStr(), kMailboxSetFileName);
    for (const char* suffix : {"", "_new", "_old"}) {
        CVornString path(setFile, CVornString::kUnlocked);
        path.Append(suffix);
        if (FileExists(path.CStr(), false))
            (void)RemoveFile(path.CStr(), false);
    }
    if (FileExists(folder.CStr(), false))
        (void)RemoveDir(folder.CStr());
}
