// Settings of the gateway's own listeners (see gateway/server_settings.h).
//
//   ReadServerCount / ReadServerPort   the system object's values
//   WriteServerPort                    the port in use back into the setting
//   CheckServerPort                    a port setting's range
//   ChangeServerPort                   the checked move of a listener
#include "gateway/server_settings.h"

#include <stdint.h>

#include <string>

#include "config/config_store.h"
#include "core/vorn_string.h"

namespace {

// The setting as a port number: 1 when missing. A value too large for an
// int stays too large (the library's ToInt would cut 4294967406 to 110).
int readPort(const char* name, long& port) {
    CVornString value;
    if (CVornConfigStore::GetObjectSetting('S', nullptr, name, value) != 0)
        return 1;
    port = value.ToLong();
    return 0;
}

bool validPort(long port) {
    return port >= kLowestServerPort && port <= kHighestServerPort;
}

}  // namespace

int ReadServerCount(const char* name, int def) {
    CVornString value;
    if (CVornConfigStore::GetObjectSetting('S', nullptr, name, value) != 0)
        return def;
    return value.ToInt();
}

int ReadServerPort(const char* name, int current, int def) {
    long port = current;
    (void)readPort(name, port);
    return validPort(port) ? static_cast<int>(port) : def;
}

void WriteServerPort(const char* name, int port) {
    CVornString value(std::to_string(port).c_str());
    (void)CVornConfigStore::SetAttribute('S', nullptr, name, value, 0);
}

namespace {

// port := the setting when present (else unchanged). False when it is
// present and outside the range: current is then written back.
bool readCheckedPort(const char* name, int current, long& port) {
    if (readPort(name, port) == 0 && !validPort(port)) {
        WriteServerPort(name, current);
        return false;
    }
    return true;
}

}  // namespace

bool CheckServerPort(const char* name, int current) {
    long port = current;
    return readCheckedPort(name, current, port);
}

ServerPortChange ChangeServerPort(const char* name, int def, int& current,
                                  const std::function<bool(const CVornHostAddress&)>& listen) {
    long port = def;
    if (!readCheckedPort(name, current, port))
        return ServerPortChange::kRefused;
    if (port == current)
        return ServerPortChange::kDone;
    CVornHostAddress address(static_cast<uint32_t>(0), static_cast<unsigned short>(port));
    if (!listen(address)) {
        WriteServerPort(name, current);
        return ServerPortChange::kNotBound;
    }
    current = static_cast<int>(port);
    return ServerPortChange::kDone;
}
