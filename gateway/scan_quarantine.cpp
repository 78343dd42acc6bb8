// The quarantine of infected objects: a package of the object's bytes and
// nineteen named values, written with the quarantine-package library into
// the forwarder's folder as "Q%08u.fwd" and queued on the forwarder.
//
//   CScanCallback::Quarantine          number, create, fill, save, queue
//   CScanCallback::fillQuarantineItem  the nineteen values, in order
//   SetQuarantineHostLookup            tests: the host name's address lookup
//
// Values (type 1 text without zero, 2 32-bit little-endian number, 3 date):
//   X-Scan-Virus-Name 1, X-Sample-File 1 (ISO-2022-JP names as Shift-JIS),
//   X-Scan-Virus-Identifier 2, X-Scan-Signatures-Sequence 2 (the set's
//   database word; 0 without definitions facts), X-Sample-Size 2,
//   X-Sample-Extension 1 (only when the name has one), X-Platform-Computer 1
//   (host name), X-Platform-Address 1 and X-Platform-Host 1 (the host name's
//   first IPv4 address, dotted), X-Platform-Scanner 1, X-Date-Quarantined 3
//   (UTC: month, day, year as 16 bits little-endian, hour, minute, second),
//   X-Platform-System 1 ("<kernel> <major>.<minor> Build <patch> <release>"
//   from uname), X-Sample-UUID 1 ("{uuid}"), X-Sample-Checksum 1 (MD5 of the
//   data file), X-Checksum-Method 1 "md5", X-Sample-Type 1 "file",
//   X-Sample-Reason 1 "unknown", X-Sample-Status 2 0, X-Sample-Priority 2 500.
//
// Failures never stop the scan: Quarantine answers 0, counts the failure,
// writes a debug warning and warning event 829, and leaves no package file
// behind; the plug-in then repairs, replaces or deletes the object as the
// action level says.
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/code_page.h"
#include "core/debug_log.h"
#include "core/disk_file.h"
#include "core/event_log.h"
#include "core/file_system.h"
#include "core/md5_file.h"
#include "core/uuid.h"
#include "gateway/queued_message.h"
#include "gateway/quarantine_forwarder.h"
#include "gateway/scan_callback.h"
#include "gateway/scan_settings.h"
#include "maker/vaultix/vaultix.h"
#include "platform/host_facts.h"
#include "platform/system_info.h"

namespace {

// Warning event: an infected object (name, message) could not be quarantined.
const int kMsgQuarantineFailed = 829;
const int kEventWarning = 2;

std::atomic<QuarantineHostLookup> g_HostLookup{nullptr};

void warn(const char* text) {
    if (!g_LogSilent)
        LogText(kLogWarning, text);
}

bool setText(VaultixPackage* package, const char* name, const char* text) {
    const char* value = text ? text : "";
    return VaultixSetItemValue(package, name, VAULTIX_TYPE_TEXT, value,
                               static_cast<uint32_t>(strlen(value))) == VAULTIX_OK;
}

bool setNumber(VaultixPackage* package, const char* name, uint32_t number) {
    unsigned char bytes[4] = {
        static_cast<unsigned char>(number), static_cast<unsigned char>(number >> 8),
        static_cast<unsigned char>(number >> 16), static_cast<unsigned char>(number >> 24)};
    return VaultixSetItemValue(package, name, VAULTIX_TYPE_NUMBER, bytes, 4) == VAULTIX_OK;
}

bool setDate(VaultixPackage* package, const char* name, time_t when) {
    struct tm utc = {};
    if (SafeGmTime(when, &utc) != 0)
        return false;
    unsigned year = static_cast<unsigned>(utc.tm_year + 1900);
    unsigned char bytes[7] = {static_cast<unsigned char>(utc.tm_mon + 1),
                              static_cast<unsigned char>(utc.tm_mday),
                              static_cast<unsigned char>(year),
                              static_cast<unsigned char>(year >> 8),
                              static_cast<unsigned char>(utc.tm_hour),
                              static_cast<unsigned char>(utc.tm_min),
                              static_cast<unsigned char>(utc.tm_sec)};
    return VaultixSetItemValue(package, name, VAULTIX_TYPE_DATE, bytes, 7) == VAULTIX_OK;
}

// "Linux 6.1 Build 0 6.1.0-13-amd64": the shape of the system text that
// quarantine servers expect ("<system> <major>.<minor> Build <n> <text>"),
// filled with the kernel's own facts.
std::string systemText() {
    std::string name;
    std::string release;
    platform::KernelNameRelease(&name, &release);
    unsigned major = 0;
    unsigned minor = 0;
    unsigned patch = 0;
    sscanf(release.c_str(), "%u.%u.%u", &major, &minor, &patch);
    char text[512];
    snprintf(text, sizeof text, "%s %u.%u Build %u %s", name.c_str(), major, minor, patch,
             release.c_str());
    return text;
}

// The object name as the package keeps it: an ISO-2022-JP name as Shift-JIS.
std::string sampleName(const char* objectName) {
    const char* name = objectName ? objectName : "";
    if (!CVornCodePage::IsIso2022jp(name))
        return name;
    std::vector<char> sjis(strlen(name) + 1);
    CVornCodePage::Iso2022jpToSjis(name, sjis.data(), sjis.size());
    return sjis.data();
}

}  // namespace

void SetQuarantineHostLookup(QuarantineHostLookup lookup) { g_HostLookup = lookup; }

bool CScanCallback::fillQuarantineItem(VaultixPackage* package, const char* dataFile,
                                       const char* objectName, const char* virusName,
                                       int32_t virusId) {
    CVornDiskFile data(dataFile, kFileReadOnly | kFileNoPathLock);
    int size = data.Open() ? data.Size() : -1;
    data.Close();
    if (size < 0)
        return false;
    CVornString extension;
    GetFileExtension(objectName, extension);

    if (!setText(package, "X-Scan-Virus-Name", virusName) ||
        !setText(package, "X-Sample-File", sampleName(objectName).c_str()) ||
        !setNumber(package, "X-Scan-Virus-Identifier", static_cast<uint32_t>(virusId)) ||
        !setNumber(package, "X-Scan-Signatures-Sequence", m_DefsInfo ? m_DefsInfo->GetDBInfo() : 0) ||
        !setNumber(package, "X-Sample-Size", static_cast<uint32_t>(size)))
        return false;
    if (!extension.IsEmpty() && !setText(package, "X-Sample-Extension", extension.CStr()))
        return false;

    std::string host = platform::HostName();
    if (host.size() > 4095)
        host.resize(4095);
    if (!setText(package, "X-Platform-Computer", host.c_str()))
        return false;
    uint32_t address = 0;
    QuarantineHostLookup lookup = g_HostLookup.load();
    if (!(lookup ? lookup(host.c_str(), &address) : platform::SystemHostIPv4(host.c_str(), &address)))
        return false;
    const unsigned char* a = reinterpret_cast<const unsigned char*>(&address);
    char dotted[32];
    snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
    if (!setText(package, "X-Platform-Address", dotted) ||
        !setText(package, "X-Platform-Host", dotted) ||
        !setText(package, "X-Platform-Scanner", "Velmar RazoVidez for Dozoruve") ||
        !setDate(package, "X-Date-Quarantined", Now()) ||
        !setText(package, "X-Platform-System", systemText().c_str()))
        return false;

    CVornUuid uuid;
    if (!uuid.Generate())
        return false;
    char uuidText[40] = "{";
    uuid.ToString(uuidText + 1);
    strcat(uuidText, "}");
    CVornString checksum;
    MD5FileHex(dataFile, checksum);
    if (checksum.IsEmpty())
        return false;
    return setText(package, "X-Sample-UUID", uuidText) &&
           setText(package, "X-Sample-Checksum", checksum.CStr()) &&
           setText(package, "X-Checksum-Method", "md5") &&
           setText(package, "X-Sample-Type", "file") &&
           setText(package, "X-Sample-Reason", "unknown") &&
           setNumber(package, "X-Sample-Status", 0) &&
           setNumber(package, "X-Sample-Priority", 500);
}

int32_t CScanCallback::Quarantine(const char* objectName, const char* dataFile,
                                  const char* virusName, int32_t virusId) {
    const char* messageName = m_Message ? m_Message->GetName() : nullptr;
    bool done = false;
    if (!m_Forwarder || !dataFile) {
        warn("Error creating quarantine file");
    } else {
        CVornString path;
        {
            // Numbers restart at 0 in every run; those still waiting in the
            // folder are passed over.
            CVornLockGuard guard(&g_QuarantineNumberLock);
            do {
                char name[32];
                snprintf(name, sizeof name, "Q%08u.fwd", g_QuarantineNumber++);
                JoinPath(path, m_Forwarder->Directory().c_str(), name);
            } while (FileExists(path.CStr(), false));
        }
        VaultixPackage* package = nullptr;
        if (VaultixCreateFile(&package, dataFile, path.CStr()) != VAULTIX_OK) {
            warn("Error creating quarantine file");
        } else if (!fillQuarantineItem(package, dataFile, objectName, virusName, virusId)) {
            warn("Error gathering quarantine data");
            VaultixReleaseItem(package);
        } else if (VaultixSaveItem(package) != VAULTIX_OK) {
            // The library leaves no file of the package's name on failure.
            warn("Error creating quarantine file");
            VaultixReleaseItem(package);
        } else {
            VaultixReleaseItem(package);
            done = m_Forwarder->Add(path.CStr(), messageName, objectName);
            if (!done) {
                warn("Error queueing quarantine file");
                RemoveFile(path.CStr(), false);
            }
        }
    }
    if (!done) {
        ++m_QuarantineFailures;
        CVornString message(messageName ? messageName : "");
        LogEventStrString(kMsgQuarantineFailed, kEventWarning, objectName ? objectName : "",
                          message);
    }
    return 0;
}
