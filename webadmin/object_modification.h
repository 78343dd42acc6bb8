// The command ModifyObj: writes the fields of an administration form into one
// configuration object (the system object, a user, a group, a client, a list
// or a dictionary), then makes the running servers and the scanner take the
// system object's new values.
//
//   ModifyObj   the command (a WebCommandHandler of the command table)
//
// A form names each attribute it edits with a marker, the form variable
// "ATTR-" + attribute; the plain variable named like the attribute, when
// present, holds the value and wins over the marker's own value. A few
// fields are prepared before the attributes are written: the quota
// ("UseQuota", "QuotaVal"), a user's new password ("Newpass", "Newpass2"),
// a user's permissions ("NewObjectPerms", "NewMethodPerms"), the text areas
// (lines joined by 0x1C), the notice subjects (no double quotes), the web
// server's port ("HTTPPort", kept in the registry, never as an attribute)
// and the relay-route buttons ("AddRoute", "EditRoute", "DeleteRoute").
// The value "--delete--" removes an attribute.
//
// Bad input: a missing "objtype" (77) or "objname" (151), a missing
// permission (84, record (3, 16, 0)), an unknown object (89), a bad quota
// (119), differing passwords (2000006), a password the store refuses
// (2000008), a port outside 1 to 65535 (159), a quarantine server address
// without port (2000014) or port without address (2000015), a failing SMTP
// or POP3 reconfiguration (its own number), a write or save that fails (90) and a
// port the web server cannot move to (161) each show the error page and
// write no record (3, 12, 1). A refusal after the first attribute was
// written reads the configuration files again, so nothing of the refused
// form stays in memory, and a port already written to the registry is put
// back. Request text shown on an error page is HTML-escaped.
//
// Threads: the web server's connection workers. PageLock is held from the
// permission checks until the work is done, so no two object commands run
// at once; the success page is rendered after it is released. The servers,
// the scanner holder and the configuration store lock their own state; no
// store lock is held while they run.
#pragma once

class CVornHTTPRequest;

// Catalogue numbers of the command (base catalogue below 2000000, product
// catalogue from there up).
enum : int {
    kMsgModifyNoType = 77,
    kMsgModifyRefused = 84,
    kMsgModifyNoObject = 89,    // format: the object's name
    kMsgModifyNotWritten = 90,  // the registry, an attribute or the files
    kMsgModifyBadQuota = 119,
    kMsgModifyNoName = 151,
    kMsgModifyBadPort = 159,
    kMsgModifyPortNotMoved = 161,
    kMsgModifyRefusalText = 412,  // field 100 of the refusal record
    kMsgModifyPasswordsDiffer = 2000006,
    kMsgModifyPasswordNotSet = 2000008,  // format: the store's reason
    kMsgModifyQuarantineNoPort = 2000014,
    kMsgModifyQuarantineNoAddress = 2000015,
};

// The marker prefix and the value that removes an attribute.
constexpr const char* kAttributeMarkerPrefix = "ATTR-";
constexpr const char* kDeleteAttributeValue = "--delete--";

// The result pages.
constexpr const char* kModifySuccessPage = "ormadmin_success.mhtml";
constexpr const char* kPortChangeSuccessPage = "portchange_success.mhtml";
constexpr const char* kRouteEditPage = "configrelay2_a_l.mhtml";
constexpr const char* kRouteListPage = "configrelay_a_l.mhtml";

// The login-session timeout in minutes is kept within 1 to this.
constexpr int kMaxAuthTimeout = 86400;

void ModifyObj(CVornHTTPRequest* request);
