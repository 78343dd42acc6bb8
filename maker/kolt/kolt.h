#pragma once
// The channel library ("kolt32i"): libkolt32i.so. Tells an incremental
// update which patch channel to ask for, from the stamp of a definitions
// hub (the dated name of the set the hub was last brought to). The
// definitions store (defs/, SharedDefs::PreIncrementalUpdate) loads it at
// run time from the directory it runs in and calls it once per hub.
//
//   DetermineQuillsetChannel   the channel of one hub
//
// Meaning of a channel: patches are published per base. The channel names
// the base a patch must start from, packed so that a later base gives a
// larger channel:
//   (year - 1900) << 20 | month << 16 | day << 11 | revision
// taken from the stamp "YYYYMMDD.RRR" (year 1900 to 2155, a real calendar
// date, revision 0 to 2047). Two values are special:
//   KOLT_CHANNEL_FULL (0)      no usable base: fetch a full set. The stamp
//                              "00000000.000" (what the store writes when a
//                              hub is incomplete or its last update failed)
//                              gives it, and so does any argument other
//                              than 0 (the caller asks for a full set
//                              whatever the hub holds).
//   KOLT_CHANNEL_REFUSED (-1)  bad input: a null text, a channel name other
//                              than "QuillsetB" (the binary hub) or
//                              "QuillsetT" (the text hub), or a stamp that
//                              is not a dated name as above.
// Both hubs of one base get the same channel: a base's binary and text
// patches are published side by side; the name only says which hub asks.
//
// Threads: any thread, any number at once (no state).

#include <stdint.h>

#define KOLT_CHANNEL_FULL 0
#define KOLT_CHANNEL_REFUSED (-1)

// The channel names of the two hubs.
#define KOLT_BINARY_CHANNEL "QuillsetB"
#define KOLT_TEXT_CHANNEL "QuillsetT"

extern "C" {

// The channel for a hub whose stamp is stamp, asked for by channelName,
// with the caller's argument (above).
int32_t DetermineQuillsetChannel(const char* stamp, const char* channelName, int32_t argument);

}  // extern "C"

typedef int32_t (*DetermineQuillsetChannelFn)(const char* stamp, const char* channelName,
                                              int32_t argument);
