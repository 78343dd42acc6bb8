// The tag ParseEventTime: turns the time-event fields of a form into the
// description "When=..,Date=..,Repeat=..,Start=..,End=.." in the form
// variable newsettings, refusing fields that are incomplete, reversed,
// expired or that overlap another event of the page's object.
//
//   ReadEventFields  the event fields of the form (text boxes or selects)
//   ParseEventTime   the tag: checks the fields and sets newsettings
//
// The tag changes no configuration. Runs on the connection worker that
// serves the request.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"
#include "templates/template_types.h"

// Catalogue numbers of ParseEventTime's refusals.
enum : int {
    kMsgEventExpired = 169,   // the dated event lies wholly in the past
    kMsgEventOverlaps = 170,  // it overlaps another event of the object
};

// Reads the form variables Event, When (0x1C removed), Start / Start-hr,
// -min, -mer / Start-24hr, the same for End, Date / Date-day, -mon, -year,
// and Repeat into the outputs; an output whose fields are absent keeps its
// value. 0 when complete, 1 when incomplete (see the rules in the source).
// With no event field at all the outputs become the default event.
int ReadEventFields(CVornHTTPRequest* request, CVornString& id, CVornString& when, int* start,
                    int* end, int* date, int* repeat);

// kTagHandled with Event and newsettings set; kTagStopPage after the error
// callback (may be null) received the attribute message or catalogue text
// 169 or 170.
int ParseEventTime(CVornHTTPRequest* request, CVornStringMap& attributes,
                   TemplateErrorCallback onError);
