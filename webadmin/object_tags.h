// The page tags of the administration's object pages: the object named by
// the form variables "objtype" (its first letter) and "objname", and one of
// its time events ("Event").
//
//   EventTable        the object's time events in three sections, with inputs
//   WritePermSummary  the short summary of one event's permissions
//   AppendPermSummary the same summary appended to a text
//   ObjBar            the title-bar image of the object type
//   OtherMIME         blocked MIME types beyond the four standard ones
//
// Bad input: a missing object, event or variable gives an empty table or
// nothing; an unknown object type letter writes no image. What comes from
// the request or the configuration (event ids, MIME types) is written
// HTML-escaped; catalogue texts, event descriptions (made of catalogue
// texts and numbers) and the tag's own attributes are written as they
// stand.
//
// Threads: any connection worker; the configuration is read through the
// store's own locks, and no state is kept.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

class CVornHTTPRequest;

// Catalogue numbers of the object tags' texts.
enum : int {
    kMsgEventSectionDefault = 266,  // the default event's section
    kMsgEventSectionWeekly = 280,   // events on weekdays
    kMsgEventSectionDated = 281,    // events on dates
    kMsgEventSectionEmpty = 279,    // a section without events
    kMsgFilterOff = 271,            // "FilterMode" beginning with "U"
    kMsgFilterOn = 272,             // "F"
    kMsgFilterAll = 273,            // "A"
    kMsgFilterOther = 253,          // any other or no "FilterMode"
    kMsgPermMail = 277,             // "AllowSMTP"
    kMsgPermCategory2 = 278,        // "AllowPOP"
    kMsgPermWebAccess = 268,        // "AllowZELORMUI"
};

// The standard MIME types that pages offer as check boxes; OtherMIME lists
// every blocked type that is not part of this text.
constexpr const char* kStandardMimeTypes = "application/* image/* video/* audio/*";

// A table of the object's time events: sections for the default event,
// events on weekdays and events on dates, each row an input (a radio button
// with the attribute "radio", else a check box; named by the attribute
// "name", "Event" by default; its value the event id), the event's
// description and its permission summary. With "radio" the first input of
// the table is checked. With "skipSysDefault" the system object's default
// event has no input. A section without events says so in one row.
void EventTable(CVornHTTPRequest* request, CVornStringMap& attributes);

// Writes the summary that AppendPermSummary makes.
void WritePermSummary(CVornHTTPRequest* request, const CVornStringMap& event);

// Appends the event's filter text (by the first letter of "FilterMode"),
// "," and a blank; then for "AllowSMTP", "AllowPOP" and "AllowZELORMUI"
// each: its text and "," when the event's own value begins with "1", and
// one blank in any case.
void AppendPermSummary(CVornString& out, const CVornStringMap& event);

// The image of the title bar of the object type "objtype" (C, D, G, L, S,
// U); nothing for any other type.
void ObjBar(CVornHTTPRequest* request);

// The blocked MIME types, each followed by a blank, that do not occur in
// kStandardMimeTypes: from the form variable "BlockedMIMETypes" when there is
// one, else from the event "Event" of the object, else from the system
// object's default event. Items are separated by blanks and 0x1C.
void OtherMIME(CVornHTTPRequest* request);
