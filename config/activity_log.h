// The activity log: the system's record of what it did (mail accepted,
// relayed, refused, viruses found, objects changed, logins), one text line
// per record in one file per day, "zelgw" + YYYYMMDD in the log directory.
//
// A record is a CVornStringMap owned by the caller: key = a field number as
// decimal text, value = its text. ActivityRecordStart sets fields 1 (class),
// 2 (event code), 3 (status code), 10 (user) and 11 (client); the writers
// choose the other numbers.
//
// Line format: date (YYYYMMDD) ',' time (HHMMSS, no leading zeros), then for
// every field with a non-empty value, in the map's order, ',' key '=' value,
// then CR LF. A value is first cleaned and cut, then escaped:
//   - every CR, LF and NUL byte is removed, so one record is always one line
//     (the reader reads lines up to CR or LF and fields up to a NUL);
//   - it is cut to its first 10240 bytes, and a double-byte character left
//     incomplete at its end (by the cut or by the caller) is dropped, so its
//     lead byte cannot swallow the ',' that follows;
//   - a single-byte '\', ',' or '"' gets a '\' in front (never the trail byte
//     of a double-byte character).
// A reader that drops the '\' before those three bytes gets the cleaned value
// back. A field whose key holds CR, LF, NUL, ',' or '=' cannot be read back
// as a field and is left out.
//
// Retention: each write reads the setting named by ActivityLogInit through
// CVornConfigStore::GetSetting (system-wide): missing means 3 months, a value
// of 0 or less (or not a number) writes nothing. When a day file is opened,
// files of the log directory named "zelgw" (any case) + 8 digits whose last
// change is more than months x 31 days before Now() are removed; nothing else
// is ever removed.
//
// Lock order: ActivityLogWrite reads the retention setting before it takes
// the activity log's lock, so the activity log's lock is never held while the
// configuration store runs (a store reload included), and the store's locks
// are never held by this module while it takes its own lock. REQUIRES of the
// caller of ActivityLogWrite: no store lock held (the setting look-up may
// reload the store).
//
// Files: each record is one write to the day file opened with O_APPEND, so
// lines of threads and processes never interleave. The write reaches the
// system before ActivityLogWrite returns (a crash of the process loses no
// record) but is not synced to the disk record by record; the day file is
// synced when it is closed. A record that cannot be written is lost without
// a report; the next write tries to open the file again.
//
// Threads: any thread may call these; the log's state is process-wide and
// guarded by one lock. A record map belongs to its caller's thread.
#pragma once

#include "core/hash_table.h"
#include "core/vorn_string.h"

// Longest value written (bytes, before escaping).
constexpr int kActivityValueLimit = 10240;

// Sets the log directory and the retention setting's name; a null argument
// leaves that value as it is. Opens nothing; an open day file stays open.
void ActivityLogInit(const char* directory, const char* settingName);

// out := the log directory (the one ActivityLogInit named last, "/tmp"
// before), so that readers of the log search the files it writes.
void ActivityLogGetDirectory(CVornString& out);

// Closes the open day file and refuses every later record, also after a new
// ActivityLogInit.
void ActivityLogClose();

// Empties record, then sets fields 1, 2 and 3 to the codes that are not 0
// and fields 10 and 11 to user and client when they are not null or empty.
void ActivityRecordStart(CVornStringMap& record, int classCode, int eventCode, int statusCode,
                         const char* user, const char* client);

// field := value, replacing an earlier value of the field. A null text is
// the empty text (an empty value is not written).
void ActivityRecordSetNumber(CVornStringMap& record, int field, long value);
void ActivityRecordSetString(CVornStringMap& record, int field, const CVornString& value);
void ActivityRecordSetText(CVornStringMap& record, int field, const char* value);

// Appends the record's line to the file of the current day. The record is
// not changed.
void ActivityLogWrite(CVornStringMap& record);
