// The web administration's own page tags: the PageTagCallback that
// ShowPage hands to the template processor.
//
//   HandlePageTag   answers a tag of the administration's pages
//
// The administration's tags are not built yet: HandlePageTag knows no tag
// and answers kTagNotMine, so every tag goes on to the common tags.
#pragma once

#include "templates/template_types.h"

int HandlePageTag(CVornHTTPRequest* request, const CVornString& name, CVornStringMap& attributes,
                  const CVornString& user, const CVornString& client);
