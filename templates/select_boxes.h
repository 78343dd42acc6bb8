// The form controls among the common page tags: select boxes of
// configuration objects, of form variables and of system accounts, and the
// date and time-of-day entries.
//
//   WriteSelectStart  opens a select element named by the tag (shared with
//                     the web administration's own tags)
//   ObjBox            options of configuration objects, optionally with a
//                     user search form
//   TBox              options from form variables of a name prefix
//   SystemUserBox     options of the system's user accounts
//   DateBox           a date as a text box or three selects
//   TimeBox           a time of day as selects (12- or 24-hour)
//
// The box name N is the tag's attribute "name" ("objname" when absent). No
// box reports an error: a missing setting, object, event or variable gives
// an empty text or the default. Every text that comes from the request, the
// configuration or the system is written HTML-escaped; catalogue texts and
// the tag's own attributes (the page author's markup) are written as they
// stand. No state is kept; configuration reads take the store's locks. Runs
// on the connection worker that serves the request.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

class CVornHTTPRequest;

// Catalogue numbers of the boxes' texts.
enum : int {
    kMsgObjTypeOther = 253,  // label of an object type without its own
    kMsgObjTypeGroup = 625,
    kMsgObjTypeClient = 626,
    kMsgObjTypeDictionary = 627,
    kMsgObjTypeList = 628,
    kMsgObjTypeUser = 629,
    kMsgObjTypeSystem = 630,  // ShowObjType only
};
// The catalogue text naming an object type letter (C, D, G, L, S, U);
// null for any other letter.
const char* ObjectTypeName(char type);

// Computed numbers: the hour names 0 to 23, month names 1 to 12 and years
// 1995 to 2099 (the number is the year minus kYearTextOffset).
constexpr int kFirstHourText = 661;
constexpr int kMonthTextBase = 698;
constexpr int kYearTextOffset = 1284;

// "<select name=\"N\" size=\"S\" [multiple]>" CR LF; S is the integer of the
// attribute size (1 when absent).
void WriteSelectStart(CVornHTTPRequest* request, CVornStringMap& attributes);

// user: the page's user (attribute excludeAuth leaves it out).
void ObjBox(CVornHTTPRequest* request, CVornStringMap& attributes, const CVornString& user);
void TBox(CVornHTTPRequest* request, CVornStringMap& attributes);
void SystemUserBox(CVornHTTPRequest* request, CVornStringMap& attributes);
void DateBox(CVornHTTPRequest* request, CVornStringMap& attributes);
void TimeBox(CVornHTTPRequest* request, CVornStringMap& attributes);
