#pragma once
// The walker of the decomposition component (IRavel): identifies every
// object, asks the sink about it, opens containers, and rebuilds what the
// sink changed. Its conventions are written in rav_interfaces.h.
//
//   CRavel::AddEngine / RemoveEngines / SetTempDir / Process
//   CRavel::SetLimits       the walk's bounds (tests lower them)
//   NewFileObject(path, name, &out)   the top object for a file
//
// Bad input: a null file object or sink answers RAVERR_BAD_ARGUMENT; a
// temporary directory that cannot be made answers RAVERR_IO; nothing is
// left in the temporary directory but the rebuilt file of state 2.

#include <mutex>
#include <string>
#include <vector>

#include "maker/rav_interfaces.h"

namespace rav {

struct WalkLimits {
    int32_t maxDepth = 16;                    // object depth the walk opens
    uint64_t maxWalkBytes = 1ull << 30;       // all members of one Process
    uint32_t maxWalkMembers = 100000;         // all members of one Process
    RavLimits container{512ull << 20, 256ull << 20, 10000, 200, 1ull << 20};
};

class CRavel : public IRavel {
public:
    CRavel() = default;
    ~CRavel() override = default;
    CRavel(const CRavel&) = delete;
    CRavel& operator=(const CRavel&) = delete;

    int32_t AddEngine(IRavEngine* engine) override;
    int32_t RemoveEngines() override;
    int32_t SetTempDir(const char* directory) override;
    int32_t Process(IRavObject* file, IRavelEvents* sink, uint16_t* state, char* newName,
                    int32_t newNameSize) override;

    void SetLimits(const WalkLimits& limits);

private:
    std::mutex m_Lock;  // engines, temporary directory, limits
    std::vector<IRavEngine*> m_Engines;
    std::string m_TempDir;
    WalkLimits m_Limits;
};

int32_t NewFileObject(const char* path, const char* name, IRavObject** out);

}  // namespace rav
