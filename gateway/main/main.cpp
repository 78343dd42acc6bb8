// The gateway program "zelorm": the service, and the commands that install,
// remove and debug it. Everything happens in ZelormMain
// (gateway/service_control.h); its result is the exit code: 0 normal end,
// 1 an escaped exception or a failed command, 2 a catalogue not loaded,
// 3 start-up failed.
#include "gateway/service_control.h"

int main(int argc, char** argv) { return ZelormMain(argc, argv); }
