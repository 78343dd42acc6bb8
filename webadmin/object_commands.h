// The object commands of the web administration: creating and deleting
// configuration objects (clients, dictionaries, groups, mailing lists,
// users) from the administration pages.
//
//   AddObj     create the object named by "objname" of the type "objtype";
//              users are enrolled for the system accounts in "realusert" /
//              "realuser" and made mail users with their four mailboxes
//   DeleteObj  delete the objects named (0x1C-separated) in "objname"; users
//              lose their address book and mail store, and with "wipeout"
//              also their object
//
// Both need a logged-in session (without one: "action" := the command and a
// login page) and the permission "A" or "D" + the type letter; they hold
// PageLock while they change objects and write one activity record (class
// 3) per object: event 9 added, 10 deleted, 16 refused permission; status 1
// done, 2 failed.
//
// Bad input: a missing or unsupported "objtype" (77), a missing, bad or
// over-long name (78; every 0x1C-separated item must be shorter than
// kMaxObjectListItem characters, and an over-long item stops the command
// before anything is changed), an existing object (80), an object that the
// store refuses (82), a refused permission (84), a client name without an
// address (118), no "objname" for DeleteObj (151) each get the error page
// with that base-catalogue text. Users that cannot be added and objects
// that cannot be deleted are listed together on one error page; their
// names, which come from the request, are HTML-escaped there. A failed save
// of the configuration reloads it (so memory and files agree) and shows
// product text 2000000.
//
// Threads: the web server's connection workers; PageLock serialises the
// commands (the name resolution of a client runs under it, bounded by the
// resolver's time-outs). The configuration store, the mail store and the
// address books have their own locks.
#pragma once

class CVornHTTPRequest;

// Catalogue numbers of the object commands (base catalogue, except the
// product text kMsgConfigNotSaved).
enum : int {
    kMsgObjectBadType = 77,         // missing or unsupported "objtype"
    kMsgObjectBadName = 78,         // missing, bad or over-long name
    kMsgObjectExists = 80,          // exists (users: already enrolled)
    kMsgObjectNotCreated = 82,      // the store refused it
    kMsgUsersNotAdded = 83,         // heading of the users not added
    kMsgObjectNoPermission = 84,    // the permission is refused
    kMsgObjectsNotDeleted = 88,     // heading of the objects not deleted
    kMsgClientNotResolved = 118,    // a client name without an address
    kMsgObjectNoName = 151,         // DeleteObj without "objname"
    kMsgAddObjectRefused = 407,     // record text of a refused AddObj
    kMsgUserAdded = 409,            // record text of an enrolled user
    kMsgDeleteObjectRefused = 411,  // record text of a refused DeleteObj
    kMsgConfigNotSaved = 2000000,   // product: the configuration was not saved
};

// Items of a 0x1C-separated list must be shorter than this.
constexpr int kMaxObjectListItem = 4095;

// The mailboxes made for a new mail user, in this order.
constexpr const char* kNewUserMailboxes[] = {"Inbox", "Sent-Mail", "Drafts", "Trash"};

void AddObj(CVornHTTPRequest* request);
void DeleteObj(CVornHTTPRequest* request);
