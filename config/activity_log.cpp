// The activity log writer: records built as maps of numbered fields, written
// as one line each to the file of the day, with old day files removed by age.
//
//   ActivityLogInit          log directory and retention setting name
//   ActivityLogGetDirectory  the log directory, for the readers of the log
//   ActivityLogClose         close the day file and refuse later records
//   ActivityRecordStart      empty a record and set fields 1, 2, 3, 10, 11
//   ActivityRecordSetNumber  one field from a number
//   ActivityRecordSetString  one field from a string
//   ActivityRecordSetText    one field from a C string
//   ActivityLogWrite         append the record's line to the day file
//
// Bad input: values are cleaned and escaped so that no value can end the
// line or a field early (see activity_log.h); a field whose key could break
// the line is left out. A day file that cannot be opened drops the record
// (the disk file reports the failed open); nothing is reported back.
#include "config/activity_log.h"


#include <memory>

#include "config/config_store.h"
#include "core/clock.h"
#include "core/code_page.h"
#include "core/disk_file.h"
#include "core/file_system.h"
#include "core/vorn_date.h"
#include "core/vorn_lock.h"

namespace {

// Until ActivityLogInit names one: the system's temporary directory.
const char* const kDefaultDirectory = "/tmp";
const char* const kDayFilePrefix = "zelgw";
const int kDefaultRetentionMonths = 3;
// A month of retention counts as 31 days.
const long long kSecondsPerMonth = 2678400;

struct LogState {
    CVornLock m_Lock;
    CVornString m_Directory{kDefaultDirectory, CVornString::kUnlocked};
    CVornString m_SettingName{CVornString::kUnlocked};
    std::unique_ptr<CVornDiskFile> m_File;
    int m_FileDate = 0;
    bool m_Closed = false;
    int m_RetentionMonths = kDefaultRetentionMonths;
};

// Process-wide and never destroyed: detached threads may write at exit.
LogState& State() {
    static LogState* state = new LogState;
    return *state;
}

void SetField(CVornStringMap& record, int field, const CVornString& value) {
    CVornString key(CVornString::kUnlocked);
    key.AssignInt(field);
    record.Set(key, value);
}

// A key that could end the line or the field, or that a reader could not
// split off its value, is not written.
bool UsableKey(const CVornString& key) {
    for (int i = 0; i < key.Length(); ++i) {
        char c = key.CharAt(i);
        if (c == '\r' || c == '\n' || c == '\0' || c == ',' || c == '=')
            return false;
    }
    return true;
}

// out := value cleaned, cut and escaped for the line (see activity_log.h).
void EscapeValue(const CVornString& value, CVornString& out) {
    CVornString text(value, CVornString::kUnlocked);
    const char* bytes = text.CStr();
    int length = text.Length();

    // Line ends and NUL bytes go byte by byte, not by character: a stray
    // lead byte in front of an LF must not carry it into the file.
    std::string clean;
    clean.reserve(static_cast<size_t>(length < kActivityValueLimit ? length : kActivityValueLimit));
    for (int i = 0; i < length && static_cast<int>(clean.size()) < kActivityValueLimit; ++i) {
        char c = bytes[i];
        if (c != '\r' && c != '\n' && c != '\0')
            clean.push_back(c);
    }

    // A double-byte character cut short at the end would take the next
    // field's ',' as its trail byte in the reader.
    size_t pos = 0;
    size_t start = 0;
    while (pos < clean.size()) {
        start = pos;
        pos += static_cast<size_t>(g_CodePage.CharLength(static_cast<unsigned char>(clean[pos])));
    }
    if (pos > clean.size())
        clean.resize(start);

    out.Clear();
    out.Reserve(static_cast<int>(clean.size()) * 2);
    pos = 0;
    while (pos < clean.size()) {
        size_t n =
            static_cast<size_t>(g_CodePage.CharLength(static_cast<unsigned char>(clean[pos])));
        char c = clean[pos];
        if (n == 1 && (c == '\\' || c == ',' || c == '"'))
            out.Append('\\');
        out.Append(clean.data() + pos, static_cast<int>(n));
        pos += n;
    }
}

void FormatLine(CVornStringMap& record, int date, int time, CVornString& line) {
    line.Format("%d,%d", date, time);
    CVornString key(CVornString::kUnlocked);
    CVornString escaped(CVornString::kUnlocked);
    void* value = nullptr;
    for (bool more = record.First(key, &value); more; more = record.Next(key, &value)) {
        const CVornString* text = static_cast<const CVornString*>(value);
        if (!text || text->IsEmpty() || !UsableKey(key))
            continue;
        EscapeValue(*text, escaped);
        line.Append(',');
        line.Append(key);
        line.Append('=');
        line.Append(escaped);
    }
    line.Append("\r\n");
}

// "zelgw" in any case followed by exactly eight digits.
bool IsDayFileName(const CVornString& name) {
    if (name.Length() != 13 || !name.StartsWith(kDayFilePrefix, 2))
        return false;
    for (int i = 5; i < 13; ++i) {
        char c = name.CharAt(i);
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// REQUIRES (both): the log's lock.
void CloseDay(LogState& state) {
    if (state.m_File && state.m_File->IsOpen()) {
        state.m_File->Flush();
        state.m_File->Close();
    }
    state.m_File.reset();
    state.m_FileDate = 0;
}

// Removes the day files older than the retention, except the open one.
void RemoveOldDays(LogState& state, const CVornString& openName) {
    time_t now = Now();
    long long limit = static_cast<long long>(now) -
                      static_cast<long long>(state.m_RetentionMonths) * kSecondsPerMonth;
    CVornStringList names;
    if (!ListDir(names, state.m_Directory.CStr()))
        return;
    CVornLockGuard guard(names.m_Lock);
    CVornString path(CVornString::kUnlocked);
    for (auto* node = names.m_Head; node; node = node->m_Next) {
        const CVornString& name = node->m_Element;
        if (!IsDayFileName(name) || name.Equals(openName, 3))
            continue;
        JoinPath(path, state.m_Directory.CStr(), CVornString(name, CVornString::kUnlocked).CStr());
        // A file whose time cannot be read counts as changed now and stays.
        CVornDate modified(now);
        CVornDiskFile file(path.CStr(), kFileReadOnly | kFileNoPathLock);
        file.GetModTime(modified);
        if (static_cast<long long>(modified.GetTime()) < limit)
            RemoveFile(path.CStr(), false);
    }
}

void ActivityLogOpenDay(LogState& state, int date) {
    CloseDay(state);
    CVornString name(CVornString::kUnlocked);
    name.Format("zelgw%d", date);
    CVornString path(CVornString::kUnlocked);
    JoinPath(path, state.m_Directory.CStr(), name.CStr());
    // No path lock: the report pages read the file while it grows.
    std::unique_ptr<CVornDiskFile> file(
        new CVornDiskFile(path.CStr(), kFileAppend | kFileCreate | kFileNoPathLock));
    if (!file->Open())
        return;
    state.m_File = std::move(file);
    state.m_FileDate = date;
    RemoveOldDays(state, name);
}

}  // namespace

void ActivityLogInit(const char* directory, const char* settingName) {
    LogState& state = State();
    CVornLockGuard guard(state.m_Lock);
    if (directory)
        state.m_Directory.Assign(directory);
    if (settingName)
        state.m_SettingName.Assign(settingName);
}

void ActivityLogGetDirectory(CVornString& out) {
    LogState& state = State();
    CVornLockGuard guard(state.m_Lock);
    out.Assign(state.m_Directory);
}

void ActivityLogClose() {
    LogState& state = State();
    CVornLockGuard guard(state.m_Lock);
    state.m_Closed = true;
    CloseDay(state);
}

void ActivityRecordStart(CVornStringMap& record, int classCode, int eventCode, int statusCode,
                         const char* user, const char* client) {
    record.Clear();
    const int codes[] = {classCode, eventCode, statusCode};
    for (int i = 0; i < 3; ++i) {
        if (codes[i] != 0)
            ActivityRecordSetNumber(record, i + 1, codes[i]);
    }
    if (user && *user)
        ActivityRecordSetText(record, 10, user);
    if (client && *client)
        ActivityRecordSetText(record, 11, client);
}

void ActivityRecordSetNumber(CVornStringMap& record, int field, long value) {
    CVornString text(CVornString::kUnlocked);
    text.AssignLong(value);
    SetField(record, field, text);
}

void ActivityRecordSetString(CVornStringMap& record, int field, const CVornString& value) {
    SetField(record, field, value);
}

void ActivityRecordSetText(CVornStringMap& record, int field, const char* value) {
    SetField(record, field, CVornString(value, CVornString::kUnlocked));
}

void ActivityLogWrite(CVornStringMap& record) {
    int date = 0;
    int time = 0;
    NowPacked(&date, &time);

    LogState& state = State();
    CVornString settingName(CVornString::kUnlocked);
    {
        CVornLockGuard guard(state.m_Lock);
        if (state.m_Closed)
            return;
        settingName.Assign(state.m_SettingName);
    }

    // The store is asked without the log's lock held (see the lock order in
    // activity_log.h).
    int months = kDefaultRetentionMonths;
    if (!settingName.IsEmpty()) {
        CVornString value(CVornString::kUnlocked);
        if (CVornConfigStore::GetSetting(nullptr, nullptr, settingName.CStr(), value) == 0)
            months = value.ToInt();
    }
    CVornString line(CVornString::kUnlocked);
    if (months > 0)
        FormatLine(record, date, time, line);

    CVornLockGuard guard(state.m_Lock);
    state.m_RetentionMonths = months;
    if (state.m_Closed || months <= 0)
        return;
    if (!state.m_File || state.m_FileDate != date)
        ActivityLogOpenDay(state, date);
    if (!state.m_File)
        return;
    // One write of the whole line (O_APPEND): lines never interleave. The
    // line goes to the system at once (a crash of the process loses
    // nothing) but is not synced record by record: the log is a record of
    // what happened, not mail, and a sync per record cost the mail flow
    // several disk flushes a message. The day file is synced when closed.
    state.m_File->Write(line);
    state.m_File->WriteOut();
}
