// The local mail store's users and mailbox sets (see mail_users.h).
#include "gateway/mail_users.h"

// No mailbox set is ever opened in this system, so none holds a message.
int CountCachedMessages() {
    return 0;
}
