// The operating system's event log, as the system uses it: every event is a
// message-catalogue number whose text, in the process-wide catalogue
// language, is filled with the caller's arguments and reported under the
// product's event source. Every event is also copied to the debug log.
//
//   WriteEventLog         report one text with raw data (the writer)
//   LogEvent...           catalogue text of a number, formatted, reported
//   LogErrorEventStrInt   the error event of CVornException
//   g_EventSourceName     the event source name
//   g_ShortProductName    the product's short name ("ZELGW")
//
// Types: 1 error, 2 warning, 4 information (anything else is reported as
// information, and logged at ERROR in the debug log). Nothing is reported
// back to the caller: a failed report leaves a debug-log line only.
//
// Catalogue texts are data from a file; a text whose printf conversions do
// not match the arguments of the call is never used as a format: the event
// then carries the raw text followed by the arguments, so nothing is lost.
//
// Any thread may call these. They take the catalogue lock (for the lookup)
// and then, separately, the log lock; neither is held while the other is
// taken.
#pragma once

#include "core/vorn_string.h"

// Process-wide and never destroyed (detached threads may log at exit). Set
// them before other threads start; they are read without a lock.
extern CVornString& g_EventSourceName;   // "Velmar RazoVidez for Dozoruve"
extern CVornString& g_ShortProductName;  // "ZELGW"

// text may be null (no insertion string); data may be null when dataLength
// is 0. number is not used (callers pass the catalogue number).
void WriteEventLog(int type, int number, const char* text, int dataLength, const void* data);

// The catalogue text of number, filled with the arguments. A number without
// catalogue text gives an empty text. Where a call ends in an int, that int
// (the last one) is also attached as 4 bytes of data, least significant
// byte first. A null const char* argument counts as the empty text.
void LogEvent(int number, int type);
void LogEventInt(int number, int type, int value);
void LogEventIntInt(int number, int type, int value1, int value2);
void LogEventStr(int number, int type, const char* text);
void LogEventStrInt(int number, int type, const char* text, int value);
void LogEventStrStrInt(int number, int type, const char* text1, const char* text2, int value);
void LogEventStrString(int number, int type, const char* text1, const CVornString& text2);
void LogEventString(int number, int type, const CVornString& text);
void LogEventStringInt(int number, int type, const CVornString& text, int value);
void LogEventStringIntInt(int number, int type, const CVornString& text, int value1, int value2);

// An error event (type 1) of number formatted with text and value; the value
// is attached as data.
void LogErrorEventStrInt(int number, const char* text, int value);
