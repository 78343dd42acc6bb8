// The local mail store's users and mailbox sets.
//
//   CountCachedMessages   the number of messages held by the open mailbox sets
//
// Threads: any thread.
#pragma once

// The number of messages held by the open mailbox sets.
int CountCachedMessages();
