// DispatchCommonTag: the template engine's own page tags, offered every tag
// that is neither If, Else nor Fi and that the page's own callback did not
// take.
//
//   DispatchCommonTag  finds the tag by name (letter case ignored) and runs it
//   RequiredPerms      stops the page unless every named pair is granted
//   RequiredVar        true when the page must stop for an empty variable
//
// The tags show form variables (ShowVar), configuration attributes
// (ShowAttr, ShowAttrEventChain and their SepToCRLF forms), settings
// (ShowSetting), the user, the object type, the host and a random number;
// they carry form variables as hidden inputs (PlaceHiddenVars, PlaceVars),
// set form variables (SetVar, SelectSysObj, SelectAdminObj), open a
// coloured cell (BlueBar), parse a form's event fields (ParseEventTime,
// templates/event_time_tag.h) and write the boxes of
// templates/select_boxes.h.
//
// Text of someone else (form variables, settings, attributes, header
// fields, names) is written HTML-escaped; ShowVar's noescape option alone
// writes a value raw, as its page asks. A missing object, attribute,
// setting, event or variable shows as the empty text. Runs on the
// connection worker that serves the request; no state is kept.
#pragma once

#include "templates/template_types.h"

// Catalogue number of the refused-permission activity record's text.
enum : int { kMsgTemplatePermsRefused = 423 };

// The account the tag SelectAdminObj selects.
constexpr const char* kAdminAccountName = "quendrial";

// request, name (compared without regard to case), the tag's attribute
// table, the user's permission list, the user and the error callback (may be
// null). Answers kTagNotMine (nothing written), kTagHandled or kTagStopPage.
int DispatchCommonTag(CVornHTTPRequest* request, const CVornString& name,
                      CVornStringMap& attributes, const CVornString& userPerms,
                      const CVornString& user, TemplateErrorCallback onError);

// Every attribute name but message is a required pair (MatchPerms against
// userPerms); the first refused one is recorded in the activity log (3, 16),
// reported with the attribute message and stops the page (kTagStopPage).
// kTagHandled when all are granted.
int RequiredPerms(CVornHTTPRequest* request, CVornStringMap& attributes,
                  const CVornString& userPerms, const CVornString& user,
                  TemplateErrorCallback onError);

// True (after reporting the attribute message) when the attribute var is
// present and the form variable it names is absent or empty.
bool RequiredVar(CVornHTTPRequest* request, CVornStringMap& attributes,
                 TemplateErrorCallback onError);
