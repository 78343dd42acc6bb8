// The text operations of CVornDate: reading RFC 822-like dates from mail
// headers and forms, writing RFC 822 dates for mail and HTTP headers, and
// writing localised dates for web pages through catalogue templates.
//
//   Parse / ParseText     an RFC 822-like text to a time (0 ok, 1 not a date)
//   FormatRFC822          "Tue, 05 Jan 1999 10:20:30 -0500" in the local zone
//   FormatRFC822InZone    the same in a named zone (the HTTP server uses "GMT")
//   FormatDisplay         catalogue template 817 (web pages)
//   FormatReport          catalogue template 816 (report pages)
//
// Bad input: a text that is not a date leaves the object at the clock's
// cached now and returns 1; a zone text that is not a zone counts as UTC; a
// missing catalogue template gives an empty text. Nothing here throws except
// std::bad_alloc from the strings.
//
// Names of days and months are read in the current catalogue language, then
// in language 0, then as the English abbreviations that FormatRFC822 always
// writes: a date this class wrote must read back whatever the catalogue holds.
// Catalogue templates are never used as printf formats: their placeholders
// are replaced as text, so a template cannot make the formatting misbehave.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/clock.h"
#include "core/message_catalog.h"
#include "core/splitter.h"
#include "core/vorn_date.h"
#include "core/vorn_string.h"

namespace {

const char* const kEnglishDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kEnglishMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Catalogue numbers of the day names, Sunday first: the set used for output
// and the second set that is only read.
const int kOutputDayNumbers[7] = {697, 685, 687, 689, 691, 693, 695};
const int kOtherDayNumbers[7] = {698, 686, 688, 690, 692, 694, 696};
const int kFirstMonthNumber = 699;   // January; December is 710
const int kYearNumberOffset = 1284;  // the text of year y is message y - 1284
const int kFirstYearText = 1995;
const int kLastYearText = 2099;
const int kReportTemplate = 816;
const int kDisplayTemplate = 817;

// Zone offsets beyond these do not exist on Earth; +1400 does (and our own
// FormatRFC822 writes it in such a zone), so it must read back.
const int kMaxZone = 1400;

// Far outside the calendar breakDown clamps anyway; clamping first keeps the
// zone addition from overflowing.
time_t ClampSeconds(time_t seconds) {
    const time_t kFar = time_t{1} << 50;
    return seconds < -kFar ? -kFar : seconds > kFar ? kFar : seconds;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The decimal value of the leading digits (0 when there are none). Growth
// stops past 10^8, far beyond any day, time or year, so it cannot overflow.
int LeadingNumber(const CVornString& text) {
    int value = 0;
    for (int i = 0; i < text.Length() && IsDigit(text.CharAt(i)); ++i) {
        if (value < 100000000)
            value = value * 10 + (text.CharAt(i) - '0');
    }
    return value;
}

// Two-digit years: below 40 this century, 40 and above the last.
int YearOf(int value) {
    if (value < 40)
        return 2000 + value;
    if (value < 1900)
        return 1900 + value;
    return value;
}

// Appends printf output: measured first, then written, so no fixed buffer
// can be overrun. Only formats written in this file come here.
__attribute__((format(printf, 2, 3))) void AppendFormat(CVornString& out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int n = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (n > 0) {
        std::vector<char> text(static_cast<size_t>(n) + 1);
        vsnprintf(text.data(), text.size(), format, args);
        out.Reserve(out.Length() + n);
        out.Append(text.data(), n);
    }
    va_end(args);
}

// "GMT" for 0, else a sign and four digits.
void AppendZone(CVornString& out, int zone) {
    if (zone == 0)
        out.Append("GMT");
    else if (zone < 0)
        AppendFormat(out, "%05d", zone);
    else
        AppendFormat(out, "+%04d", zone);
}

// The process-wide catalogue language (read through an accessor, which takes
// it at construction).
int CurrentLanguage() {
    CVornMessageCatalog catalog;
    return catalog.GetLanguage();
}

// Index (0 .. count-1) of the catalogue text among numbers that equals token
// without regard to case, in language; -1 when none.
int FindCatalogueName(const CVornString& token, const int* numbers, int count, int language) {
    CVornLockGuard guard(GetCatalogLock());
    for (int i = 0; i < count; ++i) {
        const char* text = BaseMessageTable().GetText(language, numbers[i]);
        if (text && token.Equals(text, 0))
            return i;
    }
    return -1;
}

// The same in the current language, then language 0, then among the English
// names.
int FindName(const CVornString& token, const int* numbers, int count, const char* const* english) {
    int language = CurrentLanguage();
    int found = FindCatalogueName(token, numbers, count, language);
    if (found < 0 && language != 0)
        found = FindCatalogueName(token, numbers, count, 0);
    for (int i = 0; found < 0 && i < count; ++i) {
        if (token.Equals(english[i], 0))
            found = i;
    }
    return found;
}

// out = the catalogue text of number in the accessor's language; false (out
// unchanged) when there is none.
bool CatalogueText(CVornMessageCatalog& catalog, int number, CVornString& out) {
    CVornLockGuard guard(GetCatalogLock());
    const char* text = catalog.GetText(number);
    if (!text)
        return false;
    out.Assign(text);
    return true;
}

}  // namespace

int CVornDate::parseZone(const char* text, int* out) {
    static const struct {
        const char* name;
        int zone;
    } kZones[] = {
        {"GMT", 0},    {"UT", 0},     {"EDT", -400}, {"EST", -500}, {"CDT", -500},
        {"CST", -600}, {"MDT", -600}, {"MST", -700}, {"PDT", -700}, {"PST", -800},
    };
    for (const auto& z : kZones) {
        if (strcmp(text, z.name) == 0) {
            *out = z.zone;
            return 0;
        }
    }
    size_t n = strlen(text);
    if (n != 4 && n != 5)
        return 1;
    if (text[0] != '+' && text[0] != '-' && !IsDigit(text[0]))
        return 1;
    for (size_t i = n - 4; i < n; ++i) {
        if (!IsDigit(text[i]))
            return 1;
    }
    int value = 0;
    for (size_t i = IsDigit(text[0]) ? 0 : 1; i < n; ++i) value = value * 10 + (text[i] - '0');
    if (text[0] == '-')
        value = -value;
    if (value < -kMaxZone || value > kMaxZone)
        return 1;
    *out = value;
    return 0;
}

bool CVornDate::matchDayName(const CVornString& token, const int* dayNumbers) {
    return FindName(token, dayNumbers, 7, kEnglishDays) >= 0;
}

int CVornDate::matchMonthName(const CVornString& token) {
    int numbers[12];
    for (int i = 0; i < 12; ++i) numbers[i] = kFirstMonthNumber + i;
    int found = FindName(token, numbers, 12, kEnglishMonths);
    return found < 0 ? -1 : found + 1;
}

int CVornDate::ParseText(const char* text, const char* zone) {
    return Parse(CVornString(text, CVornString::kUnlocked), zone);
}

int CVornDate::Parse(const CVornString& text, const char* zone) {
    int defaultZone = 0;
    if (zone && *zone) {
        if (parseZone(zone, &defaultZone) != 0)
            defaultZone = 0;
    } else {
        defaultZone = CachedZoneOffset();
    }
    // Whatever happens below, a text that is not a date leaves us at now.
    SetNow();

    CVornSplitter words;
    words.Split(text, " \t\r\n", 0);
    const int count = words.Count();
    if (count < 4)
        return 1;

    int day = -1, month = -1, year = -1;
    int hour = 0, minute = 0, second = 0;
    bool haveZone = false;
    int tokenZone = 0;
    CVornString token(CVornString::kUnlocked);
    CVornString part(CVornString::kUnlocked);
    CVornSplitter parts;
    for (int i = 0; i < count; ++i) {
        if (!words.GetAt(i, token))
            continue;
        token.TrimRight(",");
        if (token.IsEmpty() || token.CharAt(0) == '(')
            continue;
        if (matchDayName(token, kOutputDayNumbers) || matchDayName(token, kOtherDayNumbers))
            continue;

        // H:M:S; anything after the second colon counts as the seconds. Out
        // of range, the token is passed over.
        if (parts.Split(token, ':', 2) && parts.Count() == 3) {
            int field[3];
            for (int k = 0; k < 3; ++k) {
                parts.GetAt(k, part);
                field[k] = LeadingNumber(part);
            }
            if (field[0] <= 23 && field[1] <= 59 && field[2] <= 59) {
                hour = field[0];
                minute = field[1];
                second = field[2];
            }
            continue;
        }

        // D-Mon-Y: as much of it is taken as is valid, from the month on.
        if (parts.Split(token, '-', 2) && parts.Count() == 3) {
            parts.GetAt(1, part);
            int m = matchMonthName(part);
            if (m < 0)
                continue;
            month = m;
            parts.GetAt(0, part);
            int d = LeadingNumber(part);
            if (d < 1 || d > 31)
                continue;
            day = d;
            parts.GetAt(2, part);
            year = YearOf(LeadingNumber(part));
            continue;
        }

        if (month < 0) {
            int m = matchMonthName(token);
            if (m > 0) {
                month = m;
                continue;
            }
        }
        int value = LeadingNumber(token);
        if (day < 0 && value >= 1 && value <= 31) {
            day = value;
            continue;
        }
        if (year < 0 && IsDigit(token.CharAt(0))) {
            year = YearOf(value);
            continue;
        }
        if (!haveZone && parseZone(token.CStr(), &tokenZone) == 0)
            haveZone = true;
    }

    // Years past 9999 have no packed form (and would overflow it).
    if (day < 0 || month < 0 || year < 0 || year > 9999)
        return 1;
    int packedDate, packedTime;
    PackDate(year, month, day, &packedDate);
    PackDate(hour, minute, second, &packedTime);
    return setPackedInZone(packedDate, packedTime, haveZone ? tokenZone : defaultZone);
}

void CVornDate::formatRFC822(time_t seconds, int zone, CVornString& out) {
    Fields f;
    breakDown(addZone(ClampSeconds(seconds), zone), &f);
    out.Clear();
    AppendFormat(out, "%s, %02d %s %d %02d:%02d:%02d ", kEnglishDays[f.weekday], f.day,
                 kEnglishMonths[f.month], f.year, f.hour, f.minute, f.second);
    AppendZone(out, zone);
}

void CVornDate::FormatRFC822(CVornString& out) const {
    formatRFC822(GetTime(), CachedZoneOffset(), out);
}

void CVornDate::FormatRFC822InZone(const char* zone, CVornString& out) const {
    int offset = 0;
    if (!zone || parseZone(zone, &offset) != 0)
        offset = 0;
    formatRFC822(GetTime(), offset, out);
}

void CVornDate::yearText(CVornString& out, int year) {
    if (year >= kFirstYearText && year <= kLastYearText) {
        CVornMessageCatalog catalog;
        if (CatalogueText(catalog, year - kYearNumberOffset, out))
            return;
    }
    out.Clear();
    AppendFormat(out, "%04d", year);
}

void CVornDate::replaceToken(CVornString& out, int pos, const CVornString& value) {
    const int length = out.Length();
    if (pos < 0 || pos + 2 > length)
        return;
    CVornString result(CVornString::kUnlocked);
    result.Reserve(length - 2 + value.Length());
    const char* data = out.CStr();
    result.Append(data, pos);
    result.Append(value);
    result.Append(data + pos + 2, length - pos - 2);
    out.Assign(result);
}

void CVornDate::formatTemplate(CVornString& out, time_t seconds, int zone, int templateNumber) {
    Fields f;
    breakDown(addZone(ClampSeconds(seconds), zone), &f);

    // One accessor, so that every text comes from the same language.
    CVornMessageCatalog catalog;
    CVornString text(CVornString::kUnlocked);
    if (!CatalogueText(catalog, templateNumber, text)) {
        out.Clear();
        return;
    }

    static const char* const kPlaceholders[6] = {"%W", "%D", "%M", "%Y", "%T", "%Z"};
    CVornString values[6];
    if (!CatalogueText(catalog, kOutputDayNumbers[f.weekday], values[0]))
        values[0].Assign(kEnglishDays[f.weekday]);
    AppendFormat(values[1], "%02d", f.day);
    if (!CatalogueText(catalog, kFirstMonthNumber + f.month, values[2]))
        values[2].Assign(kEnglishMonths[f.month]);
    yearText(values[3], f.year);
    AppendFormat(values[4], "%02d:%02d:%02d", f.hour, f.minute, f.second);
    AppendZone(values[5], zone);

    // The first occurrence of each placeholder in the template itself, so
    // that a name holding "%" can never be taken for a placeholder. Two
    // placeholders cannot overlap ("%" is none of the letters); replacing from
    // the end keeps the earlier positions valid.
    int positions[6];
    for (int k = 0; k < 6; ++k) positions[k] = text.Find(kPlaceholders[k], 1);
    for (;;) {
        int last = -1;
        for (int k = 0; k < 6; ++k) {
            if (positions[k] >= 0 && (last < 0 || positions[k] > positions[last]))
                last = k;
        }
        if (last < 0)
            break;
        replaceToken(text, positions[last], values[last]);
        positions[last] = -1;
    }
    out.Assign(text);
}

void CVornDate::FormatDisplay(CVornString& out) const {
    formatTemplate(out, GetTime(), CachedZoneOffset(), kDisplayTemplate);
}

void CVornDate::FormatReport(CVornString& out) const {
    formatTemplate(out, GetTime(), CachedZoneOffset(), kReportTemplate);
}
