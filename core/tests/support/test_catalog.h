// Small message catalogues for tests, and the local zone fixed for a test.
#pragma once

#include <time.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace testsupport {

// A one-language catalogue file (header "2 9 1") of numbers 0..count-1
// whose text of number n is "M<n>" followed by suffixes[n] (the conversions
// the code reports it with); numbers in missing have no text.
std::string NumberedCatalog(int count, const std::map<int, std::string>& suffixes = {},
                            const std::set<int>& missing = {});

// A one-language catalogue file (header "2 9 1") holding texts in order; a
// null text has none.
std::string CatalogOf(const std::vector<const char*>& texts);

// Writes bytes to path and reads it into the base message table (numbers
// first..first+count-1) under the catalogue lock; returns ReadFile's code.
int LoadBaseCatalog(const std::string& path, const std::string& bytes, int count, int first = 0);

// Empties the base message table under the catalogue lock.
void ClearBaseCatalog();

// Stops the clock thread (after Now() has started it) so that a test that
// changes TZ never races with its hourly refresh; false when it did not stop.
bool StopClockThread();

// Makes tz the local zone and the clock's cached offset that of at (a tick
// in the first second of at's hour, as the clock thread does), then sets the
// test time to at. Pair it with a ZoneGuard, which undoes all of it.
void UseZone(const char* tz, time_t at);

}  // namespace testsupport
