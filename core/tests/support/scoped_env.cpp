// ScopedEnv, SetZone and ZoneGuard: environment and zone set for a test and
// restored after it.
#include "core/tests/support/scoped_env.h"

#include <stdlib.h>
#include <time.h>

#include "platform/clock.h"

namespace testsupport {

namespace {

std::optional<std::string> Get(const char* name) {
    const char* value = getenv(name);
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

void Restore(const std::string& name, const std::optional<std::string>& old) {
    if (old)
        setenv(name.c_str(), old->c_str(), 1);
    else
        unsetenv(name.c_str());
}

}  // namespace

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : m_Name(name), m_Old(Get(name)) {
    setenv(name, value.c_str(), 1);
}

ScopedEnv::ScopedEnv(const char* name) : m_Name(name), m_Old(Get(name)) {}

ScopedEnv::~ScopedEnv() {
    Restore(m_Name, m_Old);
}

bool SetZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
    return true;
}

ZoneGuard::ZoneGuard() : m_Old(Get("TZ")) {}

ZoneGuard::~ZoneGuard() {
    Restore("TZ", m_Old);
    tzset();
    platform::ClearTestTime();
}

}  // namespace testsupport
