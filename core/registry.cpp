// Registry functions of the system over the file-backed registry
// (platform/registry.h).
//
//   RegistryGetValue     a value as a string, at most 1024 bytes, trailing NULs dropped
//   RegistryReadValue    raw bytes into a caller's buffer, text always terminated
//   RegistrySetValue     a text value of an existing key
//   RegistryGetSubKeys   subkey names into a string list
//   GetProductRegValue   RegistryGetValue under the maker's key (+ product key)
//   SetProductRegValue   RegistrySetValue under the same key
//   SysInfoListProducts  subkeys of the maker's key that hold "Version"
//
// Bad input: a null key or value name is a debug-log line and a false
// result; a malformed key path fails as a key that cannot be opened. Every
// failure is a result; events go out only where the header says.
#include "core/registry.h"

#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/event_log.h"
#include "platform/registry.h"

const char* const kMakerRegistryKey = "SOFTWARE\\Quorvane";
const char* const kProductRegistryKey = "ZELORM";

namespace {

enum : int {
    kEventKeyNotOpened = 47,
    kEventValueNotRead = 48,
    kEventKeyNotOpenedToWrite = 49,
    kEventValueNotWritten = 50,
    kEventSubKeysNotListed = 53,
    kEventSubKeyKeyNotOpened = 54,
};

constexpr int kEventError = 1;
constexpr size_t kMaxValueBytes = 1024;
constexpr size_t kMaxSubKeyName = 1024;

std::string KeyPath(VornRegistryRoot root, const char* key) {
    (void)root;  // the machine's root is the only one there is
    std::string path = "HKEY_LOCAL_MACHINE\\";
    path += key;
    return path;
}

void DebugLine(const char* text) {
    if (!g_LogSilent)
        LogText(kLogDebug, text);
}

std::string ProductKey(const char* productKey) {
    std::string key = kMakerRegistryKey;
    key += '\\';
    if (productKey)
        key += productKey;
    while (!key.empty() && key.back() == '\\') key.pop_back();
    return key;
}

}  // namespace

bool RegistryGetValue(VornRegistryRoot root, const char* key, const char* valueName,
                      CVornString& out, bool report) {
    if (key == nullptr || valueName == nullptr) {
        out.Clear();
        DebugLine("registry getvalue bad args");
        return false;
    }
    std::string path = KeyPath(root, key);
    int rc = platform::RegKeyExists(path);
    if (rc != platform::kRegSuccess) {
        out.Clear();
        if (report)
            LogEventStrStrInt(kEventKeyNotOpened, kEventError, key, valueName, rc);
        return false;
    }
    platform::RegValue value;
    rc = platform::RegQueryValue(path, valueName, value);
    if (rc == platform::kRegSuccess && value.data.size() > kMaxValueBytes)
        rc = platform::kRegMoreData;
    if (rc != platform::kRegSuccess) {
        out.Clear();
        if (report)
            LogEventStrStrInt(kEventValueNotRead, kEventError, key, valueName, rc);
        return false;
    }
    size_t length = value.data.size();
    while (length > 0 && value.data[length - 1] == '\0') --length;
    out.Clear();
    out.Append(value.data.data(), static_cast<int>(length));
    return true;
}

bool RegistryReadValue(VornRegistryRoot root, const char* key, const char* valueName, void* buffer,
                       int size) {
    if (buffer != nullptr && size > 0)
        static_cast<char*>(buffer)[0] = '\0';
    if (key == nullptr || valueName == nullptr || buffer == nullptr || size <= 0)
        return false;
    return platform::RegReadValueInto(KeyPath(root, key), valueName, buffer,
                                      static_cast<size_t>(size), nullptr,
                                      nullptr) == platform::kRegSuccess;
}

bool RegistrySetValue(VornRegistryRoot root, const char* key, const char* valueName,
                      const CVornString& value) {
    if (key == nullptr || valueName == nullptr) {
        DebugLine("registry setvalue bad args");
        return false;
    }
    std::string path = KeyPath(root, key);
    int rc = platform::RegKeyExists(path);
    if (rc != platform::kRegSuccess) {
        LogEventStrStrInt(kEventKeyNotOpenedToWrite, kEventError, key, valueName, rc);
        return false;
    }
    CVornString text(value, CVornString::kUnlocked);
    rc = platform::RegWriteValue(path, valueName, platform::kRegSz, text.CStr(),
                                 static_cast<size_t>(text.Length()));
    if (rc != platform::kRegSuccess) {
        LogEventStrStrInt(kEventValueNotWritten, kEventError, key, valueName, rc);
        return false;
    }
    return true;
}

bool RegistryGetSubKeys(VornRegistryRoot root, const char* key, CVornStringList& out, bool report) {
    if (key == nullptr) {
        DebugLine("registry getsubkeys bad arg");
        return false;
    }
    out.RemoveAll();
    std::string path = KeyPath(root, key);
    int rc = platform::RegKeyExists(path);
    if (rc != platform::kRegSuccess) {
        if (report)
            LogEventStrInt(kEventSubKeyKeyNotOpened, kEventError, key, rc);
        return false;
    }
    std::vector<std::string> names;
    rc = platform::RegListSubKeys(path, names);
    if (rc != platform::kRegSuccess) {
        LogEventStrInt(kEventSubKeysNotListed, kEventError, key, rc);
        return false;
    }
    for (const auto& name : names) {
        size_t length = name.size() < kMaxSubKeyName ? name.size() : kMaxSubKeyName;
        while (length > 0 && name[length - 1] == '\0') --length;
        out.AddTail(CVornString(name.data(), static_cast<int>(length), CVornString::kUnlocked));
    }
    return true;
}

int GetProductRegValue(const char* productKey, const char* valueName, CVornString& out,
                       bool report) {
    std::string key = ProductKey(productKey);
    return RegistryGetValue(HKEY_LOCAL_MACHINE, key.c_str(), valueName, out, report) ? 0 : 1;
}

int SetProductRegValue(const char* productKey, const char* valueName, const CVornString& value) {
    std::string key = ProductKey(productKey);
    return RegistrySetValue(HKEY_LOCAL_MACHINE, key.c_str(), valueName, value) ? 0 : 1;
}

void SysInfoListProducts(CVornStringList& out) {
    CVornStringList subKeys;
    std::string maker = std::string(kMakerRegistryKey) + "\\";
    if (!RegistryGetSubKeys(HKEY_LOCAL_MACHINE, maker.c_str(), subKeys, false))
        return;
    CVornLockGuard guard(subKeys.m_Lock);
    for (auto* node = subKeys.m_Head; node != nullptr; node = node->m_Next) {
        CVornString name(node->m_Element, CVornString::kUnlocked);
        std::string key = maker + name.CStr();
        CVornString version(CVornString::kUnlocked);
        if (RegistryGetValue(HKEY_LOCAL_MACHINE, key.c_str(), "Version", version, false))
            out.AddTail(node->m_Element);
    }
}
