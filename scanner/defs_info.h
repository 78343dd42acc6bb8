// CDefsInfo (IDefsInfo): facts about the definitions set the plug-in's
// engine runs on — its date and revision from the definitions store, the
// engine's virus count and database word, the set's directory.
//
// Reference counting as in wexlor_interface.h (id 0 only; made with count 0
// by `new`, handed out through QueryInterface, destroyed by the last
// Release). The facts are read once, at construction; later changes of the
// store or engine do not show in an object already made.
#pragma once

#include <atomic>
#include <string>

#include "maker/zel_engine.h"
#include "scanner/wexlor_interface.h"

class SharedDefs;

// Seconds since 1970 of local midnight, standard time (no daylight saving
// applied), of year-month-day; 0 for a date the calendar cannot convert.
int64_t DefsDateToTime(int year, int month, int day);

class CDefsInfo final : public IDefsInfo {
public:
    // Reads the facts: the set's date and revision from defs (0 and 0 when
    // the store names no set for the application), the virus count and
    // database word from the engine (0 when it answers an error, or without
    // an engine table or handle). A null defsDir counts as empty.
    // Throws std::bad_alloc when memory runs out.
    CDefsInfo(SharedDefs& defs, const char* defsDir, const ZelEngineApi* engine,
              ZELHANDLE handle);
    CDefsInfo(const CDefsInfo&) = delete;
    CDefsInfo& operator=(const CDefsInfo&) = delete;

    int32_t QueryInterface(int32_t interfaceId, void** out) override;
    int32_t AddRef() override;
    int32_t Release() override;
    int64_t GetDate() override;
    uint32_t GetRevision() override;
    uint32_t GetVirusCount() override;
    const char* GetDefsDir() override;
    uint32_t GetDBInfo() override;

private:
    ~CDefsInfo() override = default;

    std::atomic<int32_t> m_Refs{0};
    int64_t m_Date = 0;
    uint32_t m_Revision = 0;
    uint32_t m_VirusCount = 0;
    std::string m_DefsDir;
    uint32_t m_DBInfo = 0;
};
