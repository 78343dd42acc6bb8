// Reading a finding's information from the virus engine. See virus_info.h.
#include "scanner/virus_info.h"

#include <cstdlib>
#include <vector>

namespace {
constexpr int32_t kFirstSize = 260;
constexpr int32_t kLargestSize = 64 * 1024;
}  // namespace

std::string VirusInfo(const ZelEngineApi& api, ZELVIRUS virus, int32_t item)
{
    std::vector<char> buffer(kFirstSize, '\0');
    int32_t size = kFirstSize;
    int32_t rc = api.GetVirusInfo(virus, item, buffer.data(), &size);
    if (rc == ZEL_ERR_BUFFER && size > kFirstSize && size <= kLargestSize) {
        buffer.assign(static_cast<size_t>(size), '\0');
        rc = api.GetVirusInfo(virus, item, buffer.data(), &size);
    }
    if (rc != ZEL_OK)
        return std::string();
    buffer.back() = '\0';
    return buffer.data();
}

int32_t VirusIdOf(const std::string& text)
{
    const long long id = std::strtoll(text.c_str(), nullptr, 10);
    if (id > INT32_MAX)
        return INT32_MAX;
    if (id < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(id);
}
