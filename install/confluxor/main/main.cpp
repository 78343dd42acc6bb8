// Confluxor, the configuration-merge tool (see install/confluxor/config_merge.h
// for its command line and exit codes).
#include <signal.h>

#include "install/confluxor/config_merge.h"

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    return ConfluxorMain(argc, argv);
}
