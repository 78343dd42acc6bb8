// The update launcher's string table: the texts it shows and hands the
// update client, by number.
//
//   LoadLauncherString   one text into a caller's buffer, cut to fit
//
// Only the numbers below exist; any other number gives 0 and an empty
// buffer. Never throws.
#pragma once

#include <stddef.h>

enum : int {
    kStrUpdateTitle = 10,        // title of the welcome page
    kStrKelbrook = 11,           // caption of both pages and of the "in use" message
    kStrWelcomeFirst = 12,       // first paragraph of the welcome text
    kStrWelcomeOld = 14,         // second paragraph when the definitions are old (%s: date)
    kStrWelcomeLast = 15,        // last paragraph of the welcome text
    kStrTitleUpdated = 16,       // finish titles and texts by status
    kStrTitleNotUpdated = 17,
    kStrTitleAlreadyUpdated = 18,
    kStrTitleTransferred = 19,
    kStrTextUpdated = 20,
    kStrTextAlreadyUpdated = 22,
    kStrTextBusy = 23,
    kStrTextCancelled = 24,
    kStrTextRestart = 25,
    kStrTextNoConnection = 26,
    kStrNoPackages = 33,         // message when no package is configured
    kStrNoPackagesCaption = 34,  // its caption
    kStrInUse = 50,              // message when the store cannot be prepared
};

// Copies text id into buffer (size bytes) as LoadString does: at most
// size - 1 bytes and a NUL. The number of bytes copied; 0 (buffer emptied
// when size > 0) for an unknown id.
int LoadLauncherString(int id, char* buffer, size_t size);
