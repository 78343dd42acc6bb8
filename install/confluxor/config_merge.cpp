// Confluxor's merge of default settings and the administrator account into
// the configuration (see install/confluxor/config_merge.h).
//
// Order of work: read the command line (bad arguments end here, before
// anything is read); load the base message catalogue; read the bootstrap
// paths from the registry; load the configuration store under its lock;
// merge the system settings, "CacheDiskUse" and the account in memory; save
// once. Nothing reaches the files before that save.
#include "install/confluxor/config_merge.h"

#include <stdio.h>
#include <string.h>

#include <string>

#include "config/config_store.h"
#include "config/users.h"
#include "core/catalog_loader.h"
#include "core/debug_log.h"
#include "core/file_system.h"
#include "core/message_catalog.h"
#include "core/registry.h"
#include "core/vorn_exception.h"
#include "core/vorn_string.h"
#include "install/confluxor/next_option.h"
#include "platform/service_manager.h"

const MergeDefault DefaultSystemSettings[] = {
    {"Q-VornHTTPUseKeepAlives", "0"},
    {"PopUpToolBar", "1"},
    {"RedirectTimeout", "3"},
    {"HTTPIncoming", "50"},
    {"MailQuota", "0"},
    {"ZELORMLogging", "6"},
    {"RelayHost", ""},
    {"POPIncoming", "2"},
    {"SMTPIncoming", "30"},
    {"SMTPOutgoing", "15"},
    {"SMTPPort", "25"},
    {"OtherDomains", ""},
    {"BounceBlurb", ""},
    {"Domain", ""},
    {"AuthTimeout", "5"},
    {"ZELORMRazoVidezScan", "1"},
    {"ZELORMRazoVidezResponse1", "1"},
    {"ZELORMRazoVidezResponse2", "2"},
    {"ZELORMRazoVidezTracerra", "2"},
    {"ZELORMRazoVidezSelect", "0"},
    {"RazoVidezExcludeExt", ""},
    {"RazoVidezIncludeExt",
     ".386\x1C.adt\x1C.arj\x1C.amg\x1C.bin\x1C.cab\x1C.cbt\x1C.cla\x1C.com\x1C.cpl\x1C"
     ".dll\x1C.doc\x1C.dot\x1C.drv\x1C.eml\x1C.exe\x1C.gz\x1C.htm\x1C.htt\x1C.html\x1C"
     ".js\x1C.lha\x1C.lz\x1C.lz?\x1C.mdb\x1C.mim\x1C.mme\x1C.mso\x1C.nws\x1C.ov?\x1C"
     ".p?t\x1C.rtf\x1C.scr\x1C.shs\x1C.sys\x1C.tar\x1C.uue\x1C.vbs\x1C.vxd\x1C.xl?\x1C"
     ".zip"},
    {"ZELORMRazoVidezNotifySender", "0"},
    {"ZELORMRazoVidezAdminSubject", ""},
    {"ZELORMRazoVidezAdminBody", ""},
    {"ZELORMRazoVidezSenderSubject", ""},
    {"ZELORMRazoVidezSenderBody", ""},
    {"ZELORMRazoVidezQuarantineAction", "0"},
    {"ZELORMKBSchedHours", "12"},
    {"ZELORMKBSchedWeekdays", "1"},
    {"ZELORMKBLastResult", ""},
    {"ZELORMKBLastStart", ""},
    {"ZELORMKBLastFinish", ""},
    {nullptr, nullptr},
};

const MergeDefault DefaultAdminAttributes[] = {
    {"VirtualAcct", "1"},
    {"RealName", "Virtual Administrator"},
    {"Cast", ""},
    {"PowerAdminPerms", "SMRDGA:SLGDUC"},
    {"ZELORMPerms", "VSRMDAG:SLGUCD"},
    {"ZELORMUser", "1"},
    {nullptr, nullptr},
};

namespace {

const char kUsage[] =
    "Usage: Confluxor [-h] [-S smtp-port] [-A <LastKelbrookStartTime>] "
    "[-F <LastKelbrookFinishTime>] [-R <KelbrookStatus>] product [<admin user> <admin "
    "password>] [<cache size>]\n";
const char kOptionString[] = "hS:A:R:F:";

// The base catalogue as every program of the product loads it.
constexpr int kCatalogHeader1 = 2, kCatalogHeader2 = 9, kCatalogCount = 883, kCatalogFirst = 0;

// Where the bootstrap paths point when the registry does not say; the
// service uses the same defaults (a private directory, never a shared
// temporary one).
const char kDefaultDirectory[] = "/var/lib/zelorm";

// The three settings that carry the last definition update's results: a
// merge always writes them, so an upgrade does not show the results of an
// update made before it.
const char* const kUpdateResultSettings[] = {"ZELORMKBLastStart", "ZELORMKBLastFinish",
                                             "ZELORMKBLastResult"};

// What the command line asks for.
struct MergeRequest {
    const char* m_Port = nullptr;         // -S
    const char* m_LastStart = nullptr;    // -A
    const char* m_LastFinish = nullptr;   // -F
    const char* m_LastResult = nullptr;   // -R
    std::string m_Product;
    std::string m_User = kDefaultAdminName;
    bool m_PasswordGiven = false;
    CVornString m_Password{CVornString::kUnlocked};
    const char* m_CacheSize = nullptr;
};

// One failure: to standard error, where the setup program's log sees it,
// and as a WARNING line to the debug log when that has a destination.
void reportFailure(const std::string& text) {
    std::string line = text;
    while (!line.empty() && line.back() == '\n') line.pop_back();
    fprintf(stderr, "%s\n", line.c_str());
    if (!g_LogSilent)
        LogText(kLogWarning, text.c_str());
}

bool isDigits(const char* text, size_t maxDigits) {
    const size_t length = strlen(text);
    if (length == 0 || length > maxDigits)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    return true;
}

// A TCP port the service can listen on: 1 to 65535, in decimal.
bool isPort(const char* text) {
    if (!isDigits(text, 5))
        return false;
    const long port = strtol(text, nullptr, 10);
    return port >= 1 && port <= 65535;
}

// The update results are numbers as the update scheduler writes them ("%ld",
// "%d"); empty means "none yet".
bool isUpdateNumber(const char* text) {
    if (text[0] == '\0')
        return true;
    return isDigits(text[0] == '-' ? text + 1 : text, 19);
}

// Reads the options and the words after them into request. On -h, a wrong
// number of words or a bad value, says so and returns false.
bool readCommandLine(int argc, char** argv, MergeRequest& request) {
    OptionCursor cursor;
    const char* value = nullptr;
    for (int letter; (letter = NextOption(argc, argv, kOptionString, cursor, value)) !=
                     kEndOfOptions;) {
        switch (letter) {
            case 'h':
                fputs(kUsage, stdout);
                return false;
            case 'S':
                request.m_Port = value;
                break;
            case 'A':
                request.m_LastStart = value;
                break;
            case 'F':
                request.m_LastFinish = value;
                break;
            case 'R':
                request.m_LastResult = value;
                break;
            default:
                break;  // unknown letters and missing values are passed over
        }
    }
    const int first = cursor.m_Word;
    const int words = argc - first;
    if (words < 1 || words > 4) {
        fputs(kUsage, stdout);
        return false;
    }
    request.m_Product = argv[first];
    if (words >= 3) {
        request.m_User = argv[first + 1];
        // Kept in the request only; the command line is visible to every
        // user of the machine for as long as the process runs.
        char* password = argv[first + 2];
        request.m_Password.Assign(password);
        request.m_PasswordGiven = true;
        memset(password, 0, strlen(password));
    }
    if (words == 2 || words == 4)
        request.m_CacheSize = argv[argc - 1];

    if (request.m_Product.empty()) {
        reportFailure("Confluxor: the product name is empty.");
        return false;
    }
    if (request.m_Port && !isPort(request.m_Port)) {
        reportFailure(std::string("Confluxor: bad SMTP port \"") + request.m_Port +
                      "\" (1 to 65535).");
        return false;
    }
    const std::pair<const char*, const char*> numbers[] = {
        {"-A", request.m_LastStart}, {"-F", request.m_LastFinish}, {"-R", request.m_LastResult}};
    for (const auto& [option, text] : numbers) {
        if (text && !isUpdateNumber(text)) {
            reportFailure(std::string("Confluxor: bad value \"") + text + "\" of " + option +
                          " (a number).");
            return false;
        }
    }
    if (request.m_CacheSize && !isDigits(request.m_CacheSize, 9)) {
        reportFailure(std::string("Confluxor: bad cache size \"") + request.m_CacheSize +
                      "\" (a number).");
        return false;
    }
    return true;
}

// value of the registry, else def with the warning; an empty value counts
// as missing, as for the service.
void readBootstrap(const char* product, const char* name, const char* def, const char* warning,
                   CVornString& out) {
    if (GetProductRegValue(product, name, out, false) != 0 || out.IsEmpty()) {
        reportFailure(warning);
        out.Assign(def);
    }
}

bool isUpdateResultSetting(const char* name) {
    for (const char* setting : kUpdateResultSettings)
        if (strcmp(setting, name) == 0)
            return true;
    return false;
}

// Steps 5 to 10 on the loaded table: kMergeExitDone when every change was
// made; otherwise every failure has been reported and the table must not be
// saved.
int mergeIntoTable(MergeRequest& request) {
    typedef CVornConfigStore Store;
    if (!Store::ObjectExists('S', nullptr) && Store::AddObject('S', nullptr, 0) != 0) {
        reportFailure("Confluxor: Unable to create system object.");
        return kMergeExitFailed;
    }

    bool complete = true;
    CVornString current(CVornString::kUnlocked);
    for (const MergeDefault* pair = DefaultSystemSettings; pair->m_Name; ++pair) {
        const char* name = pair->m_Name;
        const char* value = pair->m_Value;
        const bool isPort = strcmp(name, "SMTPPort") == 0;
        if (isPort && request.m_Port)
            value = request.m_Port;
        else if (strcmp(name, "ZELORMKBLastStart") == 0 && request.m_LastStart)
            value = request.m_LastStart;
        else if (strcmp(name, "ZELORMKBLastFinish") == 0 && request.m_LastFinish)
            value = request.m_LastFinish;
        else if (strcmp(name, "ZELORMKBLastResult") == 0 && request.m_LastResult)
            value = request.m_LastResult;

        const bool present = Store::GetObjectSetting('S', nullptr, name, current) == 0;
        const bool write = (isPort && request.m_Port) || !present || isUpdateResultSetting(name);
        if (write && Store::SetAttribute('S', nullptr, name, CVornString(value), 0) != 0) {
            reportFailure(std::string("Confluxor: Unable to add setting ") + name +
                          " to system object.\n");
            complete = false;
        }
    }

    const bool cachePresent = Store::GetObjectSetting('S', nullptr, "CacheDiskUse", current) == 0;
    if (!cachePresent || request.m_CacheSize) {
        const char* size = request.m_CacheSize ? request.m_CacheSize : "100";
        if (Store::SetAttribute('S', nullptr, "CacheDiskUse", CVornString(size), 0) != 0) {
            reportFailure("Confluxor: Unable to add setting CacheDiskUse to system object.\n");
            complete = false;
        }
    }

    const char* user = request.m_User.c_str();
    if (!Store::ObjectExists('U', user) && Store::AddObject('U', user, 0) != 0) {
        reportFailure(std::string("Confluxor: Unable to add account ") + user + ".");
        return kMergeExitFailed;
    }
    for (const MergeDefault* pair = DefaultAdminAttributes; pair->m_Name; ++pair) {
        if (Store::GetObjectSetting('U', user, pair->m_Name, current) == 0)
            continue;
        if (Store::SetAttribute('U', user, pair->m_Name, CVornString(pair->m_Value), 0) != 0) {
            reportFailure(std::string("Confluxor: Unable to add setting ") + pair->m_Name +
                          " to user " + user + ".");
            complete = false;
        }
    }

    if (Store::GetObjectSetting('U', user, "Password", current) != 0 || request.m_PasswordGiven) {
        CVornString salt(CVornString::kUnlocked);
        CVornString hash(CVornString::kUnlocked);
        MakeSalt(salt);
        const char* password =
            request.m_PasswordGiven ? request.m_Password.CStr() : kDefaultAdminPassword;
        if (!CryptPassword(password, salt.CStr(), hash) ||
            Store::SetAttribute('U', user, "Password", hash, 0) != 0) {
            reportFailure(std::string("Confluxor: Unable to add password to user ") + user + ".");
            complete = false;
        }
    }
    if (!complete) {
        // Writing what did merge would leave a half-made account or a
        // configuration the setup program believes complete.
        reportFailure("Confluxor: Configuration not written: the merge was incomplete.");
        return kMergeExitFailed;
    }
    return kMergeExitDone;
}

}  // namespace

int ConfluxorMain(int argc, char** argv) {
    MergeRequest request;
    if (!readCommandLine(argc, argv, request))
        return kMergeExitFailed;

    std::string executable = platform::ExecutablePath();
    const char* programPath = !executable.empty() ? executable.c_str()
                              : argc > 0          ? argv[0]
                                                  : "Confluxor";
    CVornMessageCatalog catalog;
    CVornCatalogLoader loader;
    if (!loader.Load(catalog, programPath, kProductRegistryKey, "InstallDir", "messages",
                     kCatalogHeader1, kCatalogHeader2, kCatalogCount, kCatalogFirst))
        return kMergeExitNoCatalog;

    CVornString installDir, localDir, sharedConfig, sharedDefault;
    const char* product = request.m_Product.c_str();
    readBootstrap(product, "InstallDir", kDefaultDirectory,
                  "Confluxor: GetBootStrapInfo() failed, using default for install dir.",
                  installDir);
    readBootstrap(product, "LocalDir", kDefaultDirectory,
                  "Confluxor: GetBootStrapInfo() failed, using default for local dir.", localDir);
    JoinPath(sharedDefault, kDefaultDirectory, "shared-config");
    readBootstrap(nullptr, "SharedConfigFile", sharedDefault.CStr(),
                  "Confluxor: GetBootStrapInfo() failed, using default for shared config file.",
                  sharedConfig);

    CVornString localConfig, vendorDir, vendorConfig;
    JoinPath(localConfig, localDir.CStr(), "local-config");
    JoinPath(vendorDir, installDir.CStr(), "vendor");
    JoinPath(vendorConfig, vendorDir.CStr(), "vendor-config");

    CVornConfigStore store(sharedConfig.CStr(), localConfig.CStr(), vendorConfig.CStr());
    try {
        if (CVornConfigStore::Load(1) != 0) {
            reportFailure("Confluxor: LoadConfig() failed.");
            return kMergeExitFailed;
        }
    } catch (const CVornException&) {
        // The store could not take its lock (held too long by another
        // process): nothing was read.
        reportFailure("Confluxor: LoadConfig() failed.");
        return kMergeExitFailed;
    }

    const int merged = mergeIntoTable(request);
    if (merged != kMergeExitDone)
        return merged;

    int saved;
    try {
        saved = CVornConfigStore::Save();
    } catch (const CVornException&) {
        saved = 1;
    }
    if (saved != 0) {
        reportFailure("Confluxor: WriteConfig() failed.");
        return kMergeExitFailed;
    }
    return kMergeExitDone;
}
