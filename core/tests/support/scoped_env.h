// Environment variables set for the length of a test.
#pragma once

#include <optional>
#include <string>

namespace testsupport {

// Sets (or, without a value, unsets) one environment variable and restores
// on destruction what it was before: the old value, or no variable at all.
// Not copyable; not safe while other threads read the environment.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    explicit ScopedEnv(const char* name);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_Name;
    std::optional<std::string> m_Old;
};

// Makes tz the local zone of the process (setenv TZ, tzset) and returns
// true, so that a test file can fix its zone once, before anything reads the
// clock (whose zone offset is cached):
//   const bool g_ZoneFixed = testsupport::SetZone("UTC0");
bool SetZone(const char* tz);

// Keeps TZ as it is at construction; on destruction restores it, re-reads
// the zone (tzset) and clears the test time of platform::CurrentTime.
// Not copyable.
class ZoneGuard {
public:
    ZoneGuard();
    ~ZoneGuard();
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

private:
    std::optional<std::string> m_Old;
};

}  // namespace testsupport
