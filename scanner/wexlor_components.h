// The real components as the plug-in links them: the virus engine
// libZELAPI32.so and the decomposition component libRav2.so with its format
// libraries (found beside the plug-in through RUNPATH $ORIGIN).
//
//   LinkedWexlorComponents   the table of their entry points
//
// Including this header and calling the function makes the caller link
// those libraries; wexlor_core itself never does, so its tests put in
// components of their own.
#pragma once

#include "scanner/wexlor_scanner.h"

inline WexlorComponents LinkedWexlorComponents() {
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
