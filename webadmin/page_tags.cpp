// The web administration's page tags (see page_tags.h).
#include "webadmin/page_tags.h"

int HandlePageTag(CVornHTTPRequest* request, const CVornString& name, CVornStringMap& attributes,
                  const CVornString& user, const CVornString& client) {
    // The administration's tags (versions, settings, lists, reports) come
    // with their own step; until then every tag is left to the common tags.
    (void)request;
    (void)name;
    (void)attributes;
    (void)user;
    (void)client;
    return kTagNotMine;
}
