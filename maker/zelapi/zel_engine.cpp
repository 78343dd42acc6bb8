// The virus engine on libclamav (libZELAPI32.so).
//
//   ZELEngineInit(dir, ini, 0, level, 0, &err)  a compiled engine for a set
//   ZELEngineClose(h)                           waits for scans, frees it
//   ZELScanFile(h, path, ext, 0, &virus)        0 scanned; virus when found
//   ZELRepairFile(h, path, ext)                 6: nothing is repaired
//   ZELGetVirusInfo(v, item, buf, &size)        name (0) or id (261)
//   ZELFreeVirusHandle(v)
//   ZELGetVirusDefCount(h, &count)              signatures loaded
//   ZELGetVirusDBInfoEx(h, block)               five words, block[0] == 20
//   ZELGetEngineApi(&api)                       the table of the above
//
// Bad input: null handles, paths or buffers answer 1 and touch nothing; a
// definitions directory that is missing or holds a signature file libclamav
// refuses gives error 2 and no handle.

#include "maker/zel_engine.h"

#include <clamav.h>
#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <string>
#include <vector>

#define ZEL_EXPORT extern "C" __attribute__((visibility("default")))

struct ZelEngine {
    cl_engine* engine = nullptr;
    cl_scan_options options{};
    uint32_t signatures = 0;
    uint32_t date = 0;       // yyyymmdd of the set, 0 when unknown
    uint32_t revision = 0;
    std::shared_mutex scans;  // shared by each scan, exclusive by close
};

struct ZelVirus {
    std::string name;
    uint32_t id = 0;
};

namespace {

bool ClamReady() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        // libclamav prints its warnings on stderr unless told otherwise; a
        // library inside a service must stay quiet.
        cl_set_clcb_msg([](enum cl_msg, const char*, const char*, void*) {});
        ready = cl_init(CL_INIT_DEFAULT) == CL_SUCCESS;
    });
    return ready;
}

bool IsSignatureFile(const std::string& name) {
    static const char* const kSuffixes[] = {".ndb", ".hdb", ".cvd"};
    for (const char* suffix : kSuffixes) {
        size_t n = std::strlen(suffix);
        if (name.size() > n && name.compare(name.size() - n, n, suffix) == 0) return true;
    }
    return false;
}

// "20260105.012" -> date 20260105, revision 12; anything else leaves both 0.
void ReadSetName(const std::string& dir, uint32_t& date, uint32_t& revision) {
    std::string base = dir;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    size_t slash = base.rfind('/');
    if (slash != std::string::npos) base = base.substr(slash + 1);
    if (base.size() != 12 || base[8] != '.') return;
    for (size_t i = 0; i < base.size(); ++i)
        if (i != 8 && (base[i] < '0' || base[i] > '9')) return;
    uint32_t d = std::stoul(base.substr(0, 8));
    uint32_t r = std::stoul(base.substr(9));
    uint32_t month = d / 100 % 100, day = d % 100;
    if (month < 1 || month > 12 || day < 1 || day > 31) return;
    date = d;
    revision = r;
}

uint32_t VirusId(const std::string& name) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash & 0x7fffffffu;
}

std::string CleanName(const char* raw) {
    std::string name = raw ? raw : "";
    static const std::string kSuffix = ".UNOFFICIAL";
    if (name.size() > kSuffix.size() &&
        name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0)
        name.erase(name.size() - kSuffix.size());
    return name;
}

}  // namespace

ZEL_EXPORT ZELHANDLE ZELEngineInit(const char* defsDir, const char* iniPath, int32_t reserved1,
                                   uint16_t heuristicLevel, int32_t reserved2, int32_t* error) {
    (void)iniPath;
    (void)reserved1;
    (void)reserved2;
    int32_t ignored;
    if (!error) error = &ignored;
    if (!defsDir || !*defsDir || heuristicLevel > 3) {
        *error = ZEL_ERR_ARGUMENT;
        return nullptr;
    }
    if (!ClamReady()) {
        *error = ZEL_ERR_START;
        return nullptr;
    }
    ZelEngine* zel = new (std::nothrow) ZelEngine;
    if (!zel || !(zel->engine = cl_engine_new())) {
        delete zel;
        *error = ZEL_ERR_MEMORY;
        return nullptr;
    }
    auto fail = [&](int32_t code) -> ZELHANDLE {
        cl_engine_free(zel->engine);
        delete zel;
        *error = code;
        return nullptr;
    };

    std::vector<std::string> files;
    DIR* dir = opendir(defsDir);
    if (!dir) return fail(ZEL_ERR_DEFS);
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (IsSignatureFile(name)) files.push_back(std::string(defsDir) + "/" + name);
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    for (const std::string& file : files) {
        unsigned int loaded = 0;
        if (cl_load(file.c_str(), zel->engine, &loaded, CL_DB_STDOPT) != CL_SUCCESS)
            return fail(ZEL_ERR_DEFS);
        zel->signatures += loaded;
    }
    if (cl_engine_compile(zel->engine) != CL_SUCCESS) return fail(ZEL_ERR_DEFS);

    // One fixed option set for the engine's life: libclamav caches clean
    // results by content, so options must not change between scans.
    zel->options.general = heuristicLevel > 0 ? CL_SCAN_GENERAL_HEURISTICS : 0;
    zel->options.parse = ~0u & ~(CL_SCAN_PARSE_ARCHIVE | CL_SCAN_PARSE_MAIL);
    ReadSetName(defsDir, zel->date, zel->revision);
    *error = ZEL_OK;
    return zel;
}

ZEL_EXPORT int32_t ZELEngineClose(ZELHANDLE zel) {
    if (!zel) return ZEL_ERR_BADARG;
    {
        std::unique_lock<std::shared_mutex> wait(zel->scans);
        cl_engine_free(zel->engine);
        zel->engine = nullptr;
    }
    delete zel;
    return ZEL_OK;
}

ZEL_EXPORT int32_t ZELScanFile(ZELHANDLE zel, const char* path, const char* extension,
                               int32_t reserved, ZELVIRUS* virus) {
    (void)extension;  // libclamav types files by content
    (void)reserved;
    if (virus) *virus = nullptr;
    if (!zel || !path || !virus) return ZEL_ERR_BADARG;
    std::shared_lock<std::shared_mutex> scanning(zel->scans);
    if (!zel->engine) return ZEL_ERR_BADARG;
    const char* name = nullptr;
    unsigned long scanned = 0;
    cl_scan_options options = zel->options;
    cl_error_t rc = cl_scanfile(path, &name, &scanned, zel->engine, &options);
    if (rc == CL_CLEAN) return ZEL_OK;
    if (rc == CL_VIRUS) {
        ZelVirus* found = new (std::nothrow) ZelVirus;
        if (!found) return ZEL_ERR_MEMORY;
        found->name = CleanName(name);
        found->id = VirusId(found->name);
        *virus = found;
        return ZEL_OK;
    }
    if (rc == CL_EOPEN || rc == CL_ESTAT || rc == CL_EREAD) return ZEL_ERR_READ;
    return ZEL_ERR_SCAN;
}

ZEL_EXPORT int32_t ZELRepairFile(ZELHANDLE zel, const char* path, const char* extension) {
    (void)extension;
    if (!zel || !path) return ZEL_ERR_BADARG;
    // libclamav finds; it does not disinfect, and no repair is invented here.
    return ZEL_ERR_NOT_REPAIRABLE;
}

ZEL_EXPORT int32_t ZELGetVirusInfo(ZELVIRUS virus, int32_t item, char* buffer, int32_t* size) {
    if (!virus || !buffer || !size || *size <= 0) return ZEL_ERR_BADARG;
    std::string text;
    if (item == ZEL_INFO_NAME)
        text = virus->name;
    else if (item == ZEL_INFO_ID)
        text = std::to_string(virus->id);
    else
        return ZEL_ERR_BADARG;
    if (static_cast<int64_t>(text.size()) + 1 > *size) {
        *size = static_cast<int32_t>(text.size() + 1);
        buffer[0] = '\0';
        return ZEL_ERR_BUFFER;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return ZEL_OK;
}

ZEL_EXPORT int32_t ZELFreeVirusHandle(ZELVIRUS virus) {
    delete virus;
    return ZEL_OK;
}

ZEL_EXPORT int32_t ZELGetVirusDefCount(ZELHANDLE zel, uint32_t* count) {
    if (!zel || !count) return ZEL_ERR_BADARG;
    *count = zel->signatures;
    return ZEL_OK;
}

ZEL_EXPORT int32_t ZELGetVirusDBInfoEx(ZELHANDLE zel, uint32_t* block) {
    if (!zel || !block || block[0] != 20) return ZEL_ERR_BADARG;
    uint32_t year = zel->date / 10000, month = zel->date / 100 % 100, day = zel->date % 100;
    block[1] = zel->signatures;
    block[2] = zel->date;
    block[3] = zel->revision;
    block[4] = zel->date ? (year << 20 | month << 16 | day << 11 | (zel->revision & 0x7ff)) : 0;
    return ZEL_OK;
}

ZEL_EXPORT int32_t ZELGetEngineApi(ZelEngineApi* api) {
    if (!api) return ZEL_ERR_BADARG;
    api->EngineInit = &ZELEngineInit;
    api->EngineClose = &ZELEngineClose;
    api->ScanFile = &ZELScanFile;
    api->RepairFile = &ZELRepairFile;
    api->GetVirusInfo = &ZELGetVirusInfo;
    api->FreeVirusHandle = &ZELFreeVirusHandle;
    api->GetVirusDefCount = &ZELGetVirusDefCount;
    api->GetVirusDBInfoEx = &ZELGetVirusDBInfoEx;
    return ZEL_OK;
}
