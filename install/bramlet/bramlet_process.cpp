// The process exports of libBramlet.so: running a program and waiting for
// it, and the small wrappers.
//
//   CreateProcessAndWait  run a command line; its exit code into the caller's int
//   LaunchApplication     run a command line, optionally with its streams on /dev/null
//   UserIsAdmin           effective user 0 or not
//   StrCaseCompare        strcmp as -1, 0, 1
//   GetDateTimeAsNumber   time(NULL)
//
// Programs run directly (no shell) with this process's environment and
// are waited for without a time limit: an installer's programs take as
// long as they take. There are no window messages to pump while waiting.
// Bad input (a null, empty or over-long command line, a null out pointer)
// runs nothing and reports a failure.
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "install/bramlet/bramlet.h"
#include "install/bramlet/command_line.h"
#include "platform/child_process.h"
#include "platform/system_info.h"

namespace {

// Runs line; false when it could not be started. exitCode: its exit status,
// or 128 + the signal that ended it (as a shell reports it).
bool runLine(const char* line, bool quiet, int& exitCode) {
    std::vector<std::string> words;
    if (!bramlet::SplitCommandLine(line, words))
        return false;
    const std::string program = words.front();
    words.erase(words.begin());
    platform::ChildResult result = platform::RunProgramAndWait(program, words, quiet);
    if (result.outcome == platform::kChildNotStarted)
        return false;
    exitCode = result.exitCode;
    return true;
}

}  // namespace

int CreateProcessAndWait(const char* commandLine, int* exitCode) {
    if (exitCode == nullptr)
        return 0;
    int code = 0;
    if (!runLine(commandLine, false, code))
        return 0;
    *exitCode = code;
    return 1;
}

int LaunchApplication(const char* commandLine, int hide) {
    int code = 0;
    if (!runLine(commandLine, (hide & 0xff) != 0, code))
        return -1;
    return code;
}

int UserIsAdmin(void) {
    return platform::ProcessIsAdministrator() ? 0 : -1;
}

int StrCaseCompare(const char* a, const char* b) {
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    const int r = strcmp(a, b);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int64_t GetDateTimeAsNumber(void) {
    return static_cast<int64_t>(time(nullptr));
}
