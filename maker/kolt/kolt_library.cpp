// The channel library (libkolt32i.so): the patch channel of a definitions
// hub from its stamp (see maker/kolt/kolt.h).
//
//   DetermineQuillsetChannel(stamp, channel name, argument)   the channel
//
// Bad input (null texts, an unknown channel name, a stamp that is not
// "YYYYMMDD.RRR" with a real date) gives KOLT_CHANNEL_REFUSED. Reads
// nothing but its arguments.
#include "maker/kolt/kolt.h"

#include <string.h>

namespace {

bool Digits(const char* text, size_t count, int& value) {
    value = 0;
    for (size_t i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

bool RealDate(int year, int month, int day) {
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1900 || year > 2155 || month < 1 || month > 12 || day < 1) return false;
    if (day > kDays[month - 1]) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return !(month == 2 && day == 29 && !leap);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t DetermineQuillsetChannel(
    const char* stamp, const char* channelName, int32_t argument) {
    if (stamp == nullptr || channelName == nullptr) return KOLT_CHANNEL_REFUSED;
    if (strcmp(channelName, KOLT_BINARY_CHANNEL) != 0 &&
        strcmp(channelName, KOLT_TEXT_CHANNEL) != 0)
        return KOLT_CHANNEL_REFUSED;
    // "YYYYMMDD.RRR", nothing more.
    int year, month, day, revision;
    if (strnlen(stamp, 13) != 12 || stamp[8] != '.' || !Digits(stamp, 4, year) ||
        !Digits(stamp + 4, 2, month) || !Digits(stamp + 6, 2, day) ||
        !Digits(stamp + 9, 3, revision))
        return KOLT_CHANNEL_REFUSED;
    if (year == 0 && month == 0 && day == 0 && revision == 0) return KOLT_CHANNEL_FULL;
    if (!RealDate(year, month, day)) return KOLT_CHANNEL_REFUSED;
    if (argument != 0) return KOLT_CHANNEL_FULL;
    return (year - 1900) << 20 | month << 16 | day << 11 | revision;
}
