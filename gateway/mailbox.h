// Mailboxes of the local mail store: where a user's mailbox files lie.
//
//   SetMailboxRoot   the directory that holds the users' mailbox folders
//   MailboxPath      <root>/<user>/<mailbox>
//
// Only the root lives here so far: the mailbox itself (its file, its index
// and their locks) is not built, and no mailbox is ever opened in this
// system (no user has a mailbox set; see gateway/mail_users.h).
//
// The root starts as the service's private data directory
// (kDefaultDataDirectory) and is meant to be set once, at start-up.
//
// Threads: any thread; the root has its own lock.
#pragma once

#include "core/vorn_string.h"

// Sets the root; a null or empty directory is ignored.
void SetMailboxRoot(const char* directory);

// out := root + "/" + user + "/" + mailbox (null texts count as empty).
void MailboxPath(const char* user, const char* mailbox, CVornString& out);
