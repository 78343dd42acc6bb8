// DispatchCommonTag: the template engine's own page tags, offered every tag
// that is neither If, Else nor Fi and that the page's own callback did not
// take.
//
// The common tags are not built yet: the dispatcher knows no tag and answers
// kTagNotMine, so an unknown tag writes nothing and the page goes on.
#pragma once

#include "templates/template_types.h"

// request, name (compared without regard to case), the tag's attribute
// table, the user's permission list, the user and the error callback (may be
// null). Answers kTagNotMine, kTagHandled or kTagStopPage.
int DispatchCommonTag(CVornHTTPRequest* request, const CVornString& name,
                      CVornStringMap& attributes, const CVornString& userPerms,
                      const CVornString& user, TemplateErrorCallback onError);
