// Tollan, the update launcher: runs one definitions update through the
// update client and ends with its result as the exit code (see
// launcher/update_session.h).
//
// Command line: the arguments, joined by blanks and upper-cased, are
// searched for "/SILENT"; any occurrence turns silent mode on (the service
// starts the program with "/silent"). Nothing else is read, so no argument
// is an error. The program's own path is not searched: a directory named
// "silent" would otherwise turn silent mode on.
//
// Exit code: 0 new definitions were installed; 1 already current; 4 no
// update ran (no package configured, the store could not be prepared or
// could not install what arrived, the update client missing); any other
// value the update client's status (255 for one over 255).
#include <ctype.h>
#include <locale.h>
#include <stdlib.h>

#include <string>

#include "launcher/update_session.h"

class UpdateLauncherApp {
public:
    // Runs the update and ends the process with its exit code.
    [[noreturn]] void InitInstance(int argc, char** argv);
};

UpdateLauncherApp TheLauncherApp;

void UpdateLauncherApp::InitInstance(int argc, char** argv) {
    // The welcome page shows today's date in the locale's form.
    setlocale(LC_TIME, "");
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    for (char& c : commandLine) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    const bool silent = commandLine.find("/SILENT") != std::string::npos;
    uint16_t status;
    {
        UpdateSession session(nullptr);
        status = session.Run(silent);
    }
    exit(LauncherExitCode(status));
}

int main(int argc, char** argv) { TheLauncherApp.InitInstance(argc, argv); }
