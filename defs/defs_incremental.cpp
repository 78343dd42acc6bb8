// Incremental updates of the store: patches applied to the hubs, the
// patched files installed as a new set.
//
//   SharedDefs::PreIncrementalUpdate    prepare an update, hand each hub's
//                                       stamp to the channel library
//   SharedDefs::PostIncrementalUpdate   apply the patches, install, end the update
//   SharedDefs::hubsComplete            a hub holds every file BinHub lists for it
//   SharedDefs::SetLibraryDirectory     where the maker's libraries are (tests)
//
// The channel library (libkolt32i.so, maker/kolt/kolt.h) and the patch
// library (libmend32i.so, maker/mend/mend.h) are loaded for one call and
// unloaded after it. A stamp counts only while its hub is a good base: the
// hub complete and its last update successful; otherwise the hub asks for
// the channel of "00000000.000" (a full set). Bad input (no request, no
// buffer, no prepared update, no hubs) gives 0 and changes nothing.
#include <string.h>

#include <string>

#include "defs/defs_internal.h"
#include "defs/shared_defs.h"
#include "maker/kolt/kolt.h"
#include "maker/mend/mend.h"
#include "platform/registry.h"
#include "platform/shared_library.h"

using namespace defs_internal;

namespace {

constexpr const char* kChannelLibrary = "libkolt32i.so";
constexpr const char* kPatchLibrary = "libmend32i.so";
constexpr const char* kNoStamp = "00000000.000";

// Process-wide and never destroyed: a test's setting outlives every object.
std::string& LibraryDirectory() {
    static std::string* directory = new std::string();
    return *directory;
}

// Its address says which loaded object this code is part of.
const char g_ModuleAnchor = 0;

struct HubValues {
    const char* stamp;
    const char* flag;
    const char* channel;
};

const HubValues kHubValues[] = {
    {"BinHubStamp", "LastBinUpdate", KOLT_BINARY_CHANNEL},
    {"TextHubStamp", "LastTextUpdate", KOLT_TEXT_CHANNEL},
};

// The low 16 bits of a 4-byte binary value; false when it cannot be read.
bool ReadFlag(const char* name, unsigned& flag) {
    platform::RegValue value;
    if (platform::RegQueryValue(kQuillsetKey, name, value) != platform::kRegSuccess) return false;
    if ((value.type != platform::kRegBinary && value.type != platform::kRegDword) ||
        value.data.size() < 2)
        return false;
    flag = static_cast<unsigned char>(value.data[0]) |
           static_cast<unsigned>(static_cast<unsigned char>(value.data[1])) << 8;
    return true;
}

void WriteFlag(const char* name, bool set) {
    const unsigned char bytes[4] = {static_cast<unsigned char>(set ? 1 : 0), 0, 0, 0};
    platform::RegCreateKey(kQuillsetKey);
    platform::RegWriteValue(kQuillsetKey, name, platform::kRegBinary, bytes, sizeof bytes);
}

// A loaded library, unloaded when it goes.
class LoadedLibrary {
public:
    explicit LoadedLibrary(const std::string& path)
        : m_Handle(path.empty() ? nullptr : platform::OpenSharedLibrary(path.c_str(), nullptr)) {}
    ~LoadedLibrary() { platform::CloseSharedLibrary(m_Handle); }
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    void* Symbol(const char* name) const { return platform::SharedLibrarySymbol(m_Handle, name); }

private:
    void* m_Handle;
};

}  // namespace

void SharedDefs::SetLibraryDirectory(const char* directory) {
    LibraryDirectory() = directory ? directory : "";
}

std::string SharedDefs::libraryPath(const char* name) {
    std::string directory = LibraryDirectory();
    if (directory.empty()) directory = platform::ModuleDirectory(&g_ModuleAnchor);
    std::string path;
    if (directory.empty() || !join(directory, name, path)) return std::string();
    return path;
}

int SharedDefs::hubsComplete(const char* hubDirectory, int kind) const {
    std::string binHub;
    if (hubDirectory == nullptr || (kind != kDefsBinary && kind != kDefsText) ||
        !hubPath(kDefsBinary, binHub))
        return 0;
    const std::string hub = hubDirectory;
    auto present = [](const std::string& path) { return IsRegularFile(path); };
    bool complete;
    if (kind == kDefsText) {
        complete = forEachCatalogFile(hub, "Text Hub Files", present, binHub);
    } else {
        complete = forEachCatalogFile(hub, "Binary Hub Files - Intel", present, binHub) &&
                   forEachCatalogFile(hub, "Binary Hub Files - Common", present, binHub);
    }
    return complete ? 1 : 0;
}

void SharedDefs::stampForChannel(int kind, bool hubComplete, std::string& stamp) {
    const HubValues& names = kHubValues[kind];
    unsigned flag = 0;
    if (hubComplete && ReadFlag(names.flag, flag) && flag != 0 &&
        ReadRegText(kQuillsetKey, names.stamp, stamp))
        return;
    // Not a base to patch from: the hub asks for a full set, and says so
    // until a full update fills it again.
    stamp = kNoStamp;
    SetRegText(kQuillsetKey, names.stamp, stamp);
}

int SharedDefs::PreIncrementalUpdate(IncrementalUpdateRequest* request, int mode) {
    if (request == nullptr || request->downloadDir == nullptr ||
        request->textDownloadDir == nullptr)
        return 0;
    if (!PreUpdate(request->downloadDir, request->bufferSize, mode)) return 0;
    // PreUpdate made it shorter than kDefsMaxPath.
    memcpy(request->textDownloadDir, m_TextDownloadDir.c_str(), m_TextDownloadDir.size() + 1);

    std::string binHub, textHub;
    request->binaryHubComplete =
        hubPath(kDefsBinary, binHub) ? hubsComplete(binHub.c_str(), kDefsBinary) : 0;
    request->textHubComplete =
        hubPath(kDefsText, textHub) ? hubsComplete(textHub.c_str(), kDefsText) : 0;
    std::string binaryStamp, textStamp;
    stampForChannel(kDefsBinary, request->binaryHubComplete != 0, binaryStamp);
    stampForChannel(kDefsText, request->textHubComplete != 0, textStamp);
    if (request->patchOption != 0) m_PatchOption = request->patchOption;

    LoadedLibrary library(libraryPath(kChannelLibrary));
    auto determine =
        reinterpret_cast<DetermineQuillsetChannelFn>(library.Symbol("DetermineQuillsetChannel"));
    if (determine == nullptr) return 0;  // the update stays prepared
    request->binaryChannel =
        determine(binaryStamp.c_str(), KOLT_BINARY_CHANNEL, request->binaryChannelArg);
    request->textChannel = determine(textStamp.c_str(), KOLT_TEXT_CHANNEL, request->textChannelArg);
    return 1;
}

// Applies one hub's patch into output and carries the patched files into
// the merge directory. True only when both happened: a patch whose files
// did not reach the merge directory never reaches the set either.
bool SharedDefs::applyPatch(IPatchApplication* patcher, const std::string& patchDir, int kind,
                            const std::string& output) {
    std::string hub;
    if (!hubPath(kind, hub) ||
        patcher->ApplyPatch(patchDir.c_str(), hub.c_str(), output.c_str(), m_PatchOption) == 0)
        return false;
    const bool merged = copyDefsFiles(output, m_MergeDir);
    // The next patch writes into the same output directory.
    deleteDefsFiles(output);
    return merged;
}

int SharedDefs::PostIncrementalUpdate(IncrementalFinishRequest* request) {
    std::string binHub, textHub;
    if (request == nullptr || m_DownloadDir.empty() || m_MergeDir.empty() ||
        m_TextDownloadDir.empty() || !hubPath(kDefsBinary, binHub) || !hubPath(kDefsText, textHub))
        return 0;
    const bool apply = request->apply != 0;
    bool binaryPatched = false, textPatched = false;
    std::string output;
    if (apply) {
        LoadedLibrary library(libraryPath(kPatchLibrary));
        auto create = reinterpret_cast<CreatePatchApplicationInstanceFn>(
            library.Symbol("CreatePatchApplicationInstance"));
        // Up to here a failure leaves the update prepared.
        if (create == nullptr || !makeTempDir(output)) return 0;
        IPatchApplication* patcher = create();
        if (patcher == nullptr) {
            removeDefsDir(output);
            return 0;
        }
        binaryPatched = applyPatch(patcher, m_DownloadDir, kDefsBinary, output);
        textPatched = applyPatch(patcher, m_TextDownloadDir, kDefsText, output);
        patcher->Release();
    }

    // Without apply the update only ends; with it, it succeeds only when a
    // patch brought something.
    bool result = !apply;
    bool installFailed = false;
    if (binaryPatched || textPatched) {
        std::string stamp;
        if (binaryPatched) {
            if (!makeDefsDirName(binHub, kDefsBinary, stamp)) stamp.clear();
            SetRegText(kQuillsetKey, "BinHubStamp", stamp);
        }
        if (textPatched) {
            if (!makeDefsDirName(textHub, kDefsText, stamp)) stamp.clear();
            SetRegText(kQuillsetKey, "TextHubStamp", stamp);
        }
        std::string newest;
        const bool newer = !getNewestDir(newest, false) ||
                           isNewer(m_MergeDir, newest, kDefsBinary, kDefsBinary) ||
                           isNewer(m_MergeDir, newest, kDefsText, kDefsBinary);
        result = true;
        if (newer) {
            result = InstallDefs(m_MergeDir, nullptr, binaryPatched ? kDefsBinary : kDefsText);
            installFailed = !result;
        }
    }
    if (apply) {
        // A hub that moved past a set that was never installed is no base
        // for the next patch: the next update starts it over from a full set.
        WriteFlag("LastBinUpdate", binaryPatched && !installFailed);
        WriteFlag("LastTextUpdate", textPatched && !installFailed);
        request->binaryPatched = binaryPatched ? 1 : 0;
        request->textPatched = textPatched ? 1 : 0;
    }
    endUpdate();
    if (!output.empty()) removeDefsDir(output);
    return result ? 1 : 0;
}
