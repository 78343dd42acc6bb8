// The library's only export, WexlorGetScanner, and the real components it
// gives the scanners: the virus engine libZELAPI32.so and the decomposition
// component libRav2.so with its format libraries, linked with RUNPATH
// $ORIGIN, so they are found beside libWexlor.so wherever it is installed.
//
//   WexlorGetScanner(id, out)   a new scanner through its QueryInterface
//
// Bad input: an id the scanner does not offer (other than 0, 1, 2) or a null
// out answers 512 and leaves no scanner behind. Allocation failure answers
// 513, anything else 65535; nothing is thrown out of the library.
//
// Built into libWexlor.so only (not into wexlor_core), so the core's tests
// never link the real components.
#include <mutex>
#include <new>

#include "scanner/wexlor_scanner.h"

namespace {

WexlorComponents RealComponents() {
    WexlorComponents c{};
    ZELGetEngineApi(&c.engine);
    RavelApi& r = c.ravel;
    r.NewRavel = RavNewRavel;
    r.DeleteRavel = RavDeleteRavel;
    r.NewFileObject = RavNewFileObject;
    r.DeleteFileObject = RavDeleteFileObject;
    r.NewEngine[kRavID] = RavNewIDEngine;
    r.NewEngine[kRavMIME] = RavNewMimeEngine;
    r.NewEngine[kRavZip] = RavNewZipEngine;
    r.NewEngine[kRavLHA] = RavNewLHAEngine;
    r.NewEngine[kRavUUE] = RavNewUUEEngine;
    r.NewEngine[kRavARJ] = RavNewARJEngine;
    r.NewEngine[kRavGZIP] = RavNewGZIPEngine;
    r.NewEngine[kRavTAR] = RavNewTAREngine;
    r.NewEngine[kRavSS] = RavNewSSEngine;
    r.NewEngine[kRavAMG] = RavNewAMGEngine;
    r.NewEngine[kRavCAB] = RavNewCabEngine;
    r.NewEngine[kRavLZ] = RavNewLZEngine;
    r.NewEngine[kRavRTF] = RavNewRTFEngine;
    r.NewEngine[kRavTNEF] = RavNewTNEFEngine;
    r.DeleteEngine[kRavID] = RavDeleteIDEngine;
    r.DeleteEngine[kRavMIME] = RavDeleteMimeEngine;
    r.DeleteEngine[kRavZip] = RavDeleteZipEngine;
    r.DeleteEngine[kRavLHA] = RavDeleteLHAEngine;
    r.DeleteEngine[kRavUUE] = RavDeleteUUEEngine;
    r.DeleteEngine[kRavARJ] = RavDeleteARJEngine;
    r.DeleteEngine[kRavGZIP] = RavDeleteGZIPEngine;
    r.DeleteEngine[kRavTAR] = RavDeleteTAREngine;
    r.DeleteEngine[kRavSS] = RavDeleteSSEngine;
    r.DeleteEngine[kRavAMG] = RavDeleteAMGEngine;
    r.DeleteEngine[kRavCAB] = RavDeleteCabEngine;
    r.DeleteEngine[kRavLZ] = RavDeleteLZEngine;
    r.DeleteEngine[kRavRTF] = RavDeleteRTFEngine;
    // The TNEF library has no delete function of its own.
    r.DeleteEngine[kRavTNEF] = RavDeleteRTFEngine;
    return c;
}

}  // namespace

extern "C" int32_t WexlorGetScanner(int32_t interfaceId, void** out) {
    try {
        static std::once_flag once;
        std::call_once(once, [] { SetWexlorComponents(RealComponents()); });
        CScanner* scanner = new CScanner;
        const int32_t rc = scanner->QueryInterface(interfaceId, out);
        if (rc != WEXLOR_OK) {
            // Count 0: one reference and its release destroy it.
            scanner->AddRef();
            scanner->Release();
        }
        return rc;
    } catch (const std::bad_alloc&) {
        return WEXLOR_OUT_OF_MEMORY;
    } catch (...) {
        return WEXLOR_FAILED;
    }
}
