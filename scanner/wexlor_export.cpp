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

#include "scanner/wexlor_components.h"
#include "scanner/wexlor_scanner.h"

extern "C" int32_t WexlorGetScanner(int32_t interfaceId, void** out) {
    try {
        static std::once_flag once;
        std::call_once(once, [] { SetWexlorComponents(LinkedWexlorComponents()); });
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
