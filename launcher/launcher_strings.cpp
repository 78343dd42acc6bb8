// The update launcher's string table (see launcher/launcher_strings.h).
#include "launcher/launcher_strings.h"

#include <string.h>

namespace {

struct LauncherString {
    int id;
    const char* text;
};

const LauncherString kStrings[] = {
    {kStrUpdateTitle, "RazoVidez Definitions Update"},
    {kStrKelbrook, "Kelbrook"},
    {kStrWelcomeFirst,
     "To prevent newly discovered viruses from infecting your computer, update your virus "
     "definitions files regularly.\n\nVelmar RazoVidez uses the information in these files to "
     "detect viruses during scans. New files are available monthly."},
    {kStrWelcomeOld,
     "According to your computer's system date (%s), your virus definitions files are more than "
     "one month old. You should update your virus definitions files now."},
    {kStrWelcomeLast, "Click Next to update your virus definitions files automatically."},
    {kStrTitleUpdated, "Virus Definitions Updated"},
    {kStrTitleNotUpdated, "Virus Definitions Not Updated"},
    {kStrTitleAlreadyUpdated, "Virus Definitions Already Updated"},
    {kStrTitleTransferred, "Transfer Completed"},
    {kStrTextUpdated,
     "Your virus definitions files have been updated successfully. Velmar RazoVidez now protects "
     "you from all newly discovered viruses.\n\n"},
    {kStrTextAlreadyUpdated,
     "Velmar RazoVidez has determined that no update is necessary. You already have the most "
     "recent virus definitions files."},
    {kStrTextBusy,
     "Your virus definitions files have not been updated. Velmar RazoVidez was unable to connect "
     "due to heavy traffic.\n\nPlease try again in a few minutes."},
    {kStrTextCancelled,
     "Your virus definitions files have not been updated. The online connection was canceled "
     "before completion.\n\nPlease try again."},
    {kStrTextRestart,
     "All files have been transferred successfully to your computer.  However, because one or "
     "more of these files are currently in use, you must restart your computer.You will also "
     "need to run Kelbrook again to complete the update."},
    {kStrTextNoConnection,
     "Your virus definitions files have not been updated. Velmar RazoVidez was unable to "
     "connect.\n\nVerify that your online connections are operational and try again."},
    {kStrNoPackages,
     "The Velmar RazoVidez product was unable to determine which\n Kelbrook packages to request. "
     "Please reinstall your\n Velmar RazoVidez product to correct this problem."},
    {kStrNoPackagesCaption, "Velmar RazoVidez Kelbrook Error"},
    {kStrInUse,
     "Kelbrook is currently in use by another Quorvane product.  Please try again later."},
};

}  // namespace

int LoadLauncherString(int id, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    buffer[0] = '\0';
    for (const LauncherString& entry : kStrings) {
        if (entry.id != id) continue;
        size_t n = strlen(entry.text);
        if (n > size - 1) n = size - 1;
        memcpy(buffer, entry.text, n);
        buffer[n] = '\0';
        return static_cast<int>(n);
    }
    return 0;
}
