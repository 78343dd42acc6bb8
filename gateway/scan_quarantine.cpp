// The quarantine of infected objects: CScanCallback::Quarantine.
//
//   CScanCallback::Quarantine  package one infected object for the forwarder
//
// Bad input: a missing forwarder or data file fails the quarantine; the
// scan goes on either way (see gateway/scan_callback.h).
#include "core/debug_log.h"
#include "gateway/scan_callback.h"

int32_t CScanCallback::Quarantine(const char* objectName, const char* dataFile,
                                  const char* virusName, int32_t virusId) {
    (void)objectName;
    (void)dataFile;
    (void)virusName;
    (void)virusId;
    ++m_QuarantineFailures;
    if (!g_LogSilent)
        LogText(kLogWarning, "Error creating quarantine file");
    return 0;
}
