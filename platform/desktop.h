// What a windowless program shows a person: the stand-ins for the message
// box and the locale's date format.
//
//   ShowMessageBox   a message with its caption, on standard error
//   FormatLocalDate  today's date in the locale's short form
//
// A program without a desktop has nowhere to pop a box up, and one started
// by the service must never wait for a click: the message goes to standard
// error at once, as "caption: text", and nobody is asked anything. Never
// throws; any thread may call these.
#pragma once

#include <stddef.h>

namespace platform {

// Writes "<caption>: <text>\n" to standard error. Null texts count as empty.
void ShowMessageBox(const char* text, const char* caption);

// Today's local date (platform::CurrentTime) in the short date form of the
// process's LC_TIME locale (strftime "%x"), into buffer (size bytes, always
// terminated when size > 0). The length written, 0 when it does not fit.
size_t FormatLocalDate(char* buffer, size_t size);

}  // namespace platform
