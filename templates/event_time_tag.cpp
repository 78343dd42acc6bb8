// The tag ParseEventTime; see templates/event_time_tag.h.
#include "templates/event_time_tag.h"

#include "config/config_store.h"
#include "config/time_event.h"
#include "core/clock.h"
#include "core/message_catalog.h"
#include "net/http_request.h"
#include "templates/conditions.h"
#include "templates/tag_support.h"

namespace {

// The separator of a form variable sent more than once.
constexpr char kValueSeparator = 0x1C;

// What a When text may hold: 'D', 'E' and weekday digits in practice.
constexpr const char* kWhenChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

int IntVariable(CVornHTTPRequest* request, const char* name) {
    return FormVariable(request, name).ToInt();
}

// One time of day from the fields prefix, prefix-hr/-min/-mer or
// prefix-24hr/-min: true when the form supplied it.
bool ReadTimeFields(CVornHTTPRequest* request, const char* prefix, int* out) {
    CVornString field(prefix, CVornString::kUnlocked);
    if (HasFormVariable(request, field.CStr())) {
        *out = IntVariable(request, field.CStr());
        return true;
    }
    CVornString hour(prefix, CVornString::kUnlocked), minute(prefix, CVornString::kUnlocked),
        meridiem(prefix, CVornString::kUnlocked), hour24(prefix, CVornString::kUnlocked);
    hour.Append("-hr");
    minute.Append("-min");
    meridiem.Append("-mer");
    hour24.Append("-24hr");
    if (HasFormVariable(request, hour.CStr())) {
        if (!HasFormVariable(request, minute.CStr()) || !HasFormVariable(request, meridiem.CStr()))
            return false;
        int packed = 0;
        PackDate(IntVariable(request, hour.CStr()), IntVariable(request, minute.CStr()), 0,
                 &packed);
        To24Hour(packed, FormVariable(request, meridiem.CStr()), out);
        return true;
    }
    if (HasFormVariable(request, hour24.CStr()) && HasFormVariable(request, minute.CStr())) {
        PackDate(IntVariable(request, hour24.CStr()), IntVariable(request, minute.CStr()), 0, out);
        return true;
    }
    return false;
}

void ShowError(CVornHTTPRequest* request, TemplateErrorCallback onError, const CVornString& text) {
    if (onError)
        onError(request, text);
}

}  // namespace

int ReadEventFields(CVornHTTPRequest* request, CVornString& id, CVornString& when, int* start,
                    int* end, int* date, int* repeat) {
    const bool hasEvent = request->m_FormVariables.Get("Event", id);
    const bool hasWhen = request->m_FormVariables.Get("When", when);
    if (hasWhen)
        when.RemoveChar(kValueSeparator);

    const bool gotStart = ReadTimeFields(request, "Start", start);
    const bool gotEnd = ReadTimeFields(request, "End", end);

    bool gotDate = false;
    CVornString text(CVornString::kUnlocked);
    if (request->m_FormVariables.Get("Date", text)) {
        if (!text.IsEmpty()) {
            ParseSlashDate(text, date);
            gotDate = true;
        }
    } else if (HasFormVariable(request, "Date-day") && HasFormVariable(request, "Date-mon") &&
               HasFormVariable(request, "Date-year")) {
        text.Format("%d/%d/%d", IntVariable(request, "Date-mon"), IntVariable(request, "Date-day"),
                    IntVariable(request, "Date-year"));
        ParseSlashDate(text, date);
        gotDate = true;
    }

    bool gotRepeat = false;
    if (HasFormVariable(request, "Repeat")) {
        *repeat = IntVariable(request, "Repeat");
        gotRepeat = true;
    }

    if (hasWhen)
        return gotStart && gotEnd && gotDate && gotRepeat ? 0 : 1;
    if (gotStart || gotEnd || gotDate || gotRepeat)
        return 1;
    if (!hasEvent) {
        id.Assign(kDefaultEventId);
        when.Assign("D");
        *start = 0;
        *end = 0;
        *date = 0;
        *repeat = 1;
    }
    return 0;
}

int ParseEventTime(CVornHTTPRequest* request, CVornStringMap& attributes,
                   TemplateErrorCallback onError) {
    CVornString when("D", CVornString::kUnlocked);
    CVornString id(CVornString::kUnlocked);
    int start = 0, end = 0, repeat = 1, date = 0;
    const int incomplete = ReadEventFields(request, id, when, &start, &end, &date, &repeat);
    // When goes into newsettings as it stands, so a comma or '=' in it would
    // add settings of the sender's choosing: only letters and digits pass.
    const bool badWhen = !when.ContainsOnly(kWhenChars);
    if (incomplete != 0 || badWhen || start > end || repeat < 1 ||
        (when.StartsWith('E', 1) && date == 0)) {
        ShowError(request, onError, AttributeValue(attributes, "message"));
        return kTagStopPage;
    }
    if (IsEventExpired(date, repeat, end, when.CStr())) {
        ShowError(request, onError,
                  CVornString(GetCatalogText(kMsgEventExpired), CVornString::kUnlocked));
        return kTagStopPage;
    }
    if (when.StartsWith('D', 1)) {
        request->m_FormVariables.Set("Event", CVornString(kDefaultEventId, CVornString::kUnlocked));
    } else {
        CVornString objectName = FormVariable(request, "objname");
        if (CVornConfigStore::FindOverlappingEvent(
                FormVariable(request, "objtype").CharAt(0),
                objectName.IsEmpty() ? nullptr : objectName.CStr(), id.CStr(), date, repeat, start,
                end, when.CStr())) {
            ShowError(request, onError,
                      CVornString(GetCatalogText(kMsgEventOverlaps), CVornString::kUnlocked));
            return kTagStopPage;
        }
    }
    CVornString settings("When=", CVornString::kUnlocked);
    settings.Append(when);
    const struct {
        const char* name;
        int value;
    } numbers[] = {{",Date=", date}, {",Repeat=", repeat}, {",Start=", start}, {",End=", end}};
    for (const auto& number : numbers) {
        settings.Append(number.name);
        settings.AppendInt(number.value);
    }
    request->m_FormVariables.Set("newsettings", settings);
    return kTagHandled;
}
