// mkdefset: makes a complete definitions set and installs it into the
// shared store the way an update does, optionally moving an application
// onto the newest set.
//
//   mkdefset --date YYYYMMDD --revision N [--obsolete NAME]...
//            [--app ID] [--common-files DIR] SIGNATURE-FILE...
//
// --common-files sets the registry's "CommonFilesDir" first (the base under
// which a new store is created). The set is written into the download
// directory of an update-client update (PreUpdate), installed by PostUpdate
// when it is newer than the newest set, and with --app the application is
// then moved to the newest set (UseNewestDefs). The newest set's directory
// is printed on standard output.
//
// Exit codes: 0 done (also when the set was not newer: a message on
// standard error says so), 1 the store refused or failed, 2 bad arguments.
// Bad input gets one line on standard error and changes nothing.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "defs/defs_set.h"
#include "defs/shared_defs.h"
#include "platform/registry.h"

namespace {

int Usage(const char* why) {
    fprintf(stderr, "mkdefset: %s\n", why);
    fprintf(stderr,
            "usage: mkdefset --date YYYYMMDD --revision N [--obsolete NAME]... [--app ID]\n"
            "                [--common-files DIR] SIGNATURE-FILE...\n");
    return 2;
}

bool ParseNumber(const char* text, size_t digits, long max, long& out) {
    if (strlen(text) == 0 || (digits != 0 && strlen(text) != digits)) return false;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    if (strlen(text) > 9) return false;
    out = strtol(text, nullptr, 10);
    return out <= max;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    DefsSetPlan plan;
    bool haveDate = false, haveRevision = false;
    const char* app = nullptr;
    const char* commonFiles = nullptr;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const bool takesValue = arg == "--date" || arg == "--revision" || arg == "--obsolete" ||
                                arg == "--app" || arg == "--common-files";
        if (takesValue && i + 1 >= argc) return Usage(("missing value after " + arg).c_str());
        if (arg == "--date") {
            long date;
            if (!ParseNumber(argv[++i], 8, 99999999, date)) return Usage("bad date");
            plan.year = static_cast<int>(date / 10000);
            plan.month = static_cast<int>(date / 100 % 100);
            plan.day = static_cast<int>(date % 100);
            haveDate = true;
        } else if (arg == "--revision") {
            long revision;
            if (!ParseNumber(argv[++i], 0, 255, revision)) return Usage("bad revision (0-255)");
            plan.revision = static_cast<int>(revision);
            haveRevision = true;
        } else if (arg == "--obsolete") {
            plan.obsoleteFiles.push_back(argv[++i]);
        } else if (arg == "--app") {
            app = argv[++i];
        } else if (arg == "--common-files") {
            commonFiles = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else {
            plan.signatureFiles.push_back(arg);
        }
    }
    if (!haveDate || !haveRevision) return Usage("--date and --revision are required");
    if (plan.signatureFiles.empty()) return Usage("no signature file given");

    // Bad arguments never touch the store.
    std::string why = CheckDefsSet(plan);
    if (!why.empty()) return Usage(why.c_str());
    if (commonFiles != nullptr) {
        const char* key = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
        if (*commonFiles != '/') return Usage("--common-files needs an absolute path");
        if (platform::RegCreateKey(key) != platform::kRegSuccess ||
            platform::RegWriteValue(key, "CommonFilesDir", platform::kRegSz, commonFiles,
                                    strlen(commonFiles)) != platform::kRegSuccess) {
            fprintf(stderr, "mkdefset: cannot write CommonFilesDir to %s\n",
                    platform::RegistryFilePath().c_str());
            return 1;
        }
    }

    SharedDefs defs;
    char download[kDefsMaxPath];
    if (!defs.PreUpdate(download, sizeof download, kDefsModeUpdateClient)) {
        fprintf(stderr,
                "mkdefset: cannot prepare an update of the definitions store "
                "(another update running, or the store cannot be created)\n");
        return 1;
    }
    why = WriteDefsSet(download, plan);
    if (!why.empty()) {
        defs.PostUpdate();  // discards the download, releases the lock
        fprintf(stderr, "mkdefset: %s\n", why.c_str());
        return 1;
    }
    if (!defs.PostUpdate()) {
        fprintf(stderr, "mkdefset: installing set %s failed\n", DefsSetName(plan).c_str());
        return 1;
    }
    uint16_t year = 0, month = 0, day = 0;
    uint32_t revision = 0;
    if (!defs.GetNewestDefsDate(&year, &month, &day, &revision)) {
        fprintf(stderr, "mkdefset: the store holds no readable set after the update\n");
        return 1;
    }
    if (year != plan.year || month != plan.month || day != plan.day ||
        revision != static_cast<uint32_t>(plan.revision))
        fprintf(stderr, "mkdefset: set %s is not newer than the newest set; not installed\n",
                DefsSetName(plan).c_str());
    if (app != nullptr) {
        char dir[kDefsMaxPath];
        if (!defs.SetAppId(app) || !defs.UseNewestDefs(dir, sizeof dir, nullptr)) {
            fprintf(stderr, "mkdefset: cannot move application %s to the newest set\n", app);
            return 1;
        }
    }
    std::string newest = defs.Root() + "/";
    char name[32];
    snprintf(name, sizeof name, "%04u%02u%02u.%03u", year, month, day, revision);
    printf("%s%s\n", newest.c_str(), name);
    return 0;
}
