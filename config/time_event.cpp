// Time events of configuration objects: validation, the overlap rule, the
// choice of the event that applies now, expiry, ids and descriptions.
//
//   CVornConfigObject::AddEvent / AddEventMap      validate and store an event
//   CVornConfigObject::FindOverlappingEvent        the overlap rule
//   CVornConfigObject::ChooseEvent                 the event that applies at a moment
//   CVornConfigObject::GetAttribute(Buffer)        a value as it applies now
//   CVornConfigObject::ListEvents, GetEventAttribute(s), RemoveEvent   by id
//   CVornConfigObject::WriteEvents                 event lines; drops expired events
//   IsEventExpired, IsEventMapExpired              whether a dated event is over
//   MakeEventKey, MakeDefaultEvent, DescribeEvent  ids, the default event, text
//
// Bad input: an event that lacks a field, has negative or reversed numbers,
// names an impossible date or time of day, is over the text bounds or
// overlaps another event is refused with 1 and stores nothing. A dated event
// with an impossible date used to count as starting and ending "now" and so
// applied for ever; it is refused here, and counts as expired (never
// applying) wherever one is met.
#include "config/time_event.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/config_object.h"
#include "core/clock.h"
#include "core/message_catalog.h"
#include "core/vorn_date.h"
#include "core/vorn_file.h"

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int kLastPackedDate = 99991231;

// Message numbers of the descriptions.
constexpr int kMsgDefaultEvent = 266;
constexpr int kMsgForDays = 267;
// Sunday first.
constexpr int kMsgWeekdays[7] = {697, 685, 687, 689, 691, 693, 695};

// The five fields that say when an event applies; missing numbers read as
// 0 and a missing When as empty.
struct EventTimes {
    CVornString when{CVornString::kUnlocked};
    int date = 0;
    int start = 0;
    int end = 0;
    int repeat = 0;
};

bool ReadNumber(const CVornStringMap& event, const char* name, int* out) {
    CVornString text(CVornString::kUnlocked);
    if (!event.Get(name, text))
        return false;
    *out = text.ToInt();
    return true;
}

// True when every field is present.
bool ReadTimes(const CVornStringMap& event, EventTimes& times) {
    bool whenFound = event.Get("When", times.when);
    bool dateFound = ReadNumber(event, "Date", &times.date);
    bool startFound = ReadNumber(event, "Start", &times.start);
    bool endFound = ReadNumber(event, "End", &times.end);
    bool repeatFound = ReadNumber(event, "Repeat", &times.repeat);
    return whenFound && dateFound && startFound && endFound && repeatFound;
}

bool IsDated(const CVornString& when) {
    return when.CharAt(0) == 'E';
}
bool IsDefault(const CVornString& when) {
    return when.CharAt(0) == 'D';
}

// Days from 1970-01-01 of a packed date, by the Gregorian calendar. Any
// number gives a result (an impossible month counts as the nearest real one,
// days simply run on), so windows of any two dates can be compared.
int64_t DayNumber(int packedDate) {
    int64_t year = packedDate / 10000;
    int month = packedDate / 100 % 100;
    int day = packedDate % 100;
    if (month < 1)
        month = 1;
    if (month > 12)
        month = 12;
    return DaysFromCivil(year, month, day);
}

// Dates that IsEventExpired calls past without looking further.
bool IsAncientDate(int date) {
    return date <= 9999 || date / 10000 < 1970;
}

// The local moment of a packed date and time; false when either is
// impossible.
bool MomentOf(int date, int time, time_t* out) {
    CVornDate moment;
    if (moment.SetPacked(date, time) != 0)
        return false;
    *out = moment.GetTime();
    return true;
}

// The window of a dated event: from Date at Start to the last day at End.
// False when a date or time is impossible.
bool DatedWindow(int date, int repeat, int start, int end, time_t* first, time_t* last) {
    if (!MomentOf(date, start, first) || !MomentOf(date, end, last))
        return false;
    if (repeat > 1)
        *last += static_cast<int64_t>(repeat - 1) * kSecondsPerDay;
    return true;
}

// A dated event must name real dates and times of day within the packed
// range, or it would never start or never end.
bool IsPossibleDatedEvent(const EventTimes& times) {
    time_t first;
    time_t last;
    if (!DatedWindow(times.date, 1, times.start, times.end, &first, &last))
        return false;
    return DayNumber(times.date) + times.repeat - 1 <= DayNumber(kLastPackedDate);
}

// Every name and value within its bound and the written text within
// kMaxObjectTextLength.
bool IsStorable(CVornStringMap& event) {
    if (event.Count() > kMaxAttributeCount)
        return false;
    CVornString name(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = event.First(name, &value); more; more = event.Next(name, &value)) {
        if (name.Length() > kMaxAttributeNameLength)
            return false;
        if (value && static_cast<CVornString*>(value)->Length() > kMaxAttributeValueLength)
            return false;
    }
    std::string text;
    return CVornConfigObject::BuildAttributeText(event, text);
}

void AppendCatalogText(CVornString& out, int number) {
    const char* text = GetCatalogText(number);
    if (text)
        out.Append(text);
}

// "h:mm AM" of a packed 24-hour time, then tail.
void AppendClockTime(CVornString& out, int packedTime, const char* tail) {
    CVornString marker(CVornString::kUnlocked);
    int twelve = 0;
    To12Hour(packedTime, marker, &twelve);
    char text[64];
    std::snprintf(text, sizeof text, "%d:%02d %s%s", twelve / 10000, twelve / 100 % 100,
                  marker.CStr(), tail);
    out.Append(text);
}

// Validates event (owned by the caller until it is stored) and stores it at
// the front of the object's events: the result of AddEvent / AddEventMap.
int AddValidated(CVornConfigObject& object, std::unique_ptr<CVornStringMap> event) {
    EventTimes times;
    if (!ReadTimes(*event, times) || times.when.IsEmpty())
        return 1;
    if (times.date < 0 || times.start < 0 || times.end < 0 || times.repeat < 1)
        return 1;
    if (times.end < times.start)
        return 1;
    if (IsDated(times.when) && !IsAncientDate(times.date) && !IsPossibleDatedEvent(times))
        return 1;
    if (!IsStorable(*event))
        return 1;

    // Held from the check to the insertion, so that two conflicting events
    // added at the same moment cannot both pass the check.
    CVornLockGuard guard(object.m_ObjectLock);
    if (object.FindOverlappingEvent("", times.date, times.repeat, times.start, times.end,
                                    times.when.CStr()))
        return 1;
    if (IsEventExpired(times.date, times.repeat, times.end, times.when.CStr()))
        return 0;
    object.m_Events.AddFront(event.release());
    return 0;
}

// The first event with that id. REQUIRES: the object's lock held.
CVornStringMap* FindEvent(CVornEventList& events, const char* id) {
    CVornLockGuard guard(events.m_Lock);
    CVornString key(CVornString::kUnlocked);
    for (auto* node = events.m_Head; node; node = node->m_Next) {
        MakeEventKey(*node->m_Element, key);
        if (key.Equals(id ? id : "", 3))
            return node->m_Element;
    }
    return nullptr;
}

}  // namespace

// ---- Helpers on one event

int IsEventExpired(int date, int repeat, int end, const char* when) {
    if (!when || when[0] != 'E')
        return 0;
    if (IsAncientDate(date))
        return 1;
    time_t last;
    if (!MomentOf(date, end, &last))
        return 1;
    if (repeat > 1)
        last += static_cast<int64_t>(repeat - 1) * kSecondsPerDay;
    return Now() > last ? 1 : 0;
}

int IsEventMapExpired(const CVornStringMap& event) {
    EventTimes times;
    ReadTimes(event, times);
    return IsEventExpired(times.date, times.repeat, times.end, times.when.CStr());
}

void MakeEventKey(const CVornStringMap& event, CVornString& out) {
    EventTimes times;
    ReadTimes(event, times);
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "%d%06d%06d", times.date, times.start, times.end);
    CVornString key(times.when, CVornString::kUnlocked);
    key.Append(numbers);
    out.Assign(key);
}

void MakeDefaultEvent(CVornStringMap& event) {
    event.Set("When", CVornString("D", CVornString::kUnlocked));
    event.Set("Start", CVornString("0", CVornString::kUnlocked));
    event.Set("End", CVornString("0", CVornString::kUnlocked));
    event.Set("Date", CVornString("0", CVornString::kUnlocked));
    event.Set("Repeat", CVornString("1", CVornString::kUnlocked));
}

int DescribeEvent(const CVornStringMap& event, CVornString& out) {
    EventTimes times;
    ReadTimes(event, times);
    char first = times.when.CharAt(0);
    int kind;
    CVornString text(CVornString::kUnlocked);
    if (first == 'D') {
        AppendCatalogText(text, kMsgDefaultEvent);
        text.Append(": ");
        out.Append(text);
        return 1;
    } else if (first >= '0' && first <= '9') {
        for (int i = 0; i < times.when.Length(); ++i) {
            char c = times.when.CharAt(i);
            if (c >= '0' && c <= '6') {
                AppendCatalogText(text, kMsgWeekdays[c - '0']);
                text.Append(' ');
            }
        }
        kind = 2;
    } else if (first == 'E') {
        char date[48];
        std::snprintf(date, sizeof date, "%d/%d/%d ", times.date / 100 % 100, times.date % 100,
                      times.date / 10000);
        text.Append(date);
        AppendCatalogText(text, kMsgForDays);
        text.Append(' ');
        text.AppendInt(times.repeat);
        text.Append(' ');
        kind = 3;
    } else {
        return 0;
    }
    AppendClockTime(text, times.start, " - ");
    AppendClockTime(text, times.end, ": ");
    out.Append(text);
    return kind;
}

// ---- The object's events

int CVornConfigObject::AddEvent(const char* text) {
    if (!text || !*text)
        return 1;
    auto event = std::make_unique<CVornStringMap>(0, 0);
    if (ParseAttributeList(text, *event, nullptr) != 0)
        return 1;
    return AddValidated(*this, std::move(event));
}

int CVornConfigObject::AddEventMap(const CVornStringMap& event) {
    auto copy = std::make_unique<CVornStringMap>(0, 0);
    copy->CopyFrom(event, &CopyStringValue, &DeleteObject<CVornString>);
    return AddValidated(*this, std::move(copy));
}

bool CVornConfigObject::FindOverlappingEvent(const char* editedId, int date, int repeat, int start,
                                             int end, const char* when) {
    if (!when)
        when = "";
    if (!editedId)
        editedId = "";
    const bool newDefault = when[0] == 'D';
    const bool newDated = when[0] == 'E';

    CVornLockGuard objectGuard(m_ObjectLock);
    CVornLockGuard listGuard(m_Events.m_Lock);
    CVornString key(CVornString::kUnlocked);
    for (auto* node = m_Events.m_Head; node; node = node->m_Next) {
        const CVornStringMap& other = *node->m_Element;
        EventTimes times;
        ReadTimes(other, times);
        if (IsDefault(times.when)) {
            // An object has at most one default event; editing it replaces
            // it without asking, so the edited id plays no part here.
            if (newDefault)
                return true;
            continue;
        }
        MakeEventKey(other, key);
        if (key.Equals(editedId, 3))
            continue;
        bool hoursOverlap = (start >= times.start && start <= times.end) ||
                            (end >= times.start && end <= times.end) ||
                            (start <= times.start && end >= times.end);
        if (!hoursOverlap)
            continue;
        if (newDated && IsDated(times.when)) {
            int64_t first = DayNumber(date);
            int64_t last = first + repeat - 1;
            int64_t otherFirst = DayNumber(times.date);
            int64_t otherLast = otherFirst + times.repeat - 1;
            if (first <= otherLast && otherFirst <= last)
                return true;
        } else if (!newDated && when[0]) {
            // A shared weekday digit (a window of dates never conflicts with
            // a weekday event: "E" holds no digit).
            for (const char* c = when; *c; ++c) {
                if (times.when.Contains(*c))
                    return true;
            }
        }
    }
    return false;
}

CVornStringMap* CVornConfigObject::ChooseEvent(const CVornDate& at, bool defaultOnly) {
    int date = 0;
    int time = 0;
    int weekday = 0;
    at.GetPacked(&date, &time, &weekday);
    const time_t moment = at.GetTime();
    const char day = static_cast<char>('0' + weekday);

    CVornLockGuard guard(m_Events.m_Lock);
    CVornStringMap* chosen = nullptr;
    int priority = 0;
    for (auto* node = m_Events.m_Head; node; node = node->m_Next) {
        EventTimes times;
        ReadTimes(*node->m_Element, times);
        if (times.when.IsEmpty())
            continue;
        if (IsDefault(times.when)) {
            if (priority < 10) {
                chosen = node->m_Element;
                priority = 10;
            }
        } else if (defaultOnly) {
            continue;
        } else if (IsDated(times.when)) {
            // One stretch from the start time of the first day to the end
            // time of the last day, nights included.
            time_t first;
            time_t last;
            if (DatedWindow(times.date, times.repeat, times.start, times.end, &first, &last) &&
                moment >= first && moment <= last) {
                chosen = node->m_Element;
                priority = 40;
            }
        } else if (times.when.Contains(day) && priority < 20 && times.start <= time &&
                   time <= times.end) {
            chosen = node->m_Element;
            priority = 20;
        }
    }
    return chosen;
}

int CVornConfigObject::GetAttribute(const char* name, CVornString& out) {
    if (!name)
        name = "";
    CVornDate now;
    CVornLockGuard guard(m_ObjectLock);
    CVornStringMap* event = ChooseEvent(now);
    if (event && event->Get(name, out))
        return 0;
    return m_Attributes.Get(name, out) ? 0 : 1;
}

int CVornConfigObject::GetAttributeBuffer(const char* name, char* buffer, int size) {
    if (!buffer || size <= 0)
        return 1;
    CVornString value(CVornString::kUnlocked);
    if (GetAttribute(name, value) != 0 || value.Length() >= size)
        return 1;
    std::memcpy(buffer, value.CStr(), static_cast<size_t>(value.Length()) + 1);
    return 0;
}

void CVornConfigObject::ListEvents(CVornStringList& out) {
    CVornLockGuard objectGuard(m_ObjectLock);
    CVornLockGuard listGuard(m_Events.m_Lock);
    CVornString key(CVornString::kUnlocked);
    for (auto* node = m_Events.m_Head; node; node = node->m_Next) {
        MakeEventKey(*node->m_Element, key);
        out.AddTail(key);
    }
}

int CVornConfigObject::GetEventAttribute(const char* name, const char* id, CVornString& out) {
    CVornLockGuard guard(m_ObjectLock);
    CVornStringMap* event = FindEvent(m_Events, id);
    if (!event)
        return 1;
    return event->Get(name ? name : "", out) ? 0 : 1;
}

int CVornConfigObject::GetEventAttributes(const char* id, CVornStringMap& out) {
    CVornLockGuard guard(m_ObjectLock);
    CVornStringMap* event = FindEvent(m_Events, id);
    if (!event)
        return 1;
    out.Clear();
    copyAttributes(out, *event);
    return 0;
}

int CVornConfigObject::RemoveEvent(const char* id) {
    CVornLockGuard guard(m_ObjectLock);
    CVornStringMap* event = FindEvent(m_Events, id);
    if (!event)
        return 1;
    m_Events.RemoveEvent(event);
    return 0;
}

int CVornConfigObject::WriteEvents(CVornFile& file, const char* key) {
    CVornLockGuard guard(m_ObjectLock);
    std::vector<CVornStringMap*> events;
    {
        CVornLockGuard listGuard(m_Events.m_Lock);
        for (auto* node = m_Events.m_Head; node; node = node->m_Next)
            events.push_back(node->m_Element);
    }
    for (CVornStringMap* event : events) {
        if (IsEventMapExpired(*event)) {
            m_Events.RemoveEvent(event);
            continue;
        }
        std::string text;
        if (!BuildAttributeText(*event, text))
            return 1;
        std::string line = "S";
        line += key ? key : "";
        if (event->Count() > 0) {
            line += ',';
            line += text;
        }
        line += "\r\n";
        int length = static_cast<int>(line.size());
        if (file.Write(line.data(), length) != length)
            return 1;
    }
    return 0;
}
