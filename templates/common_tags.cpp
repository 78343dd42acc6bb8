// The common page tags; see templates/common_tags.h.
#include "templates/common_tags.h"

int DispatchCommonTag(CVornHTTPRequest*, const CVornString&, CVornStringMap&, const CVornString&,
                      const CVornString&, TemplateErrorCallback) {
    // The common tags come with the next step of the engine; until then no
    // tag is known here.
    return kTagNotMine;
}
