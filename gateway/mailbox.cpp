// Mailboxes of the local mail store: the root of the mailbox folders (see
// mailbox.h).
#include "gateway/mailbox.h"

#include "core/file_system.h"
#include "core/vorn_lock.h"
#include "gateway/service_startup.h"

namespace {

// Never destroyed: delivery workers may still read it while the process
// ends.
CVornString& g_MailboxRoot = *new CVornString(kDefaultDataDirectory, CVornString::kUnlocked);
CVornLock& g_MailboxRootLock = *new CVornLock(true);

}  // namespace

void SetMailboxRoot(const char* directory) {
    if (directory == nullptr || *directory == '\0')
        return;
    CVornLockGuard guard(g_MailboxRootLock);
    g_MailboxRoot.Assign(directory);
}

void MailboxPath(const char* user, const char* mailbox, CVornString& out) {
    CVornString root(CVornString::kUnlocked);
    {
        CVornLockGuard guard(g_MailboxRootLock);
        root.Assign(g_MailboxRoot);
    }
    CVornString folder(CVornString::kUnlocked);
    JoinPath(folder, root.CStr(), user);
    JoinPath(out, folder.CStr(), mailbox);
}
