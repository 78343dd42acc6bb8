// Definitions facts handed to the gateway (its version display, reload
// record and quarantine packages).
//
//   DefsDateToTime       a set's date as local midnight, standard time
//   CDefsInfo::CDefsInfo reads date, revision, virus count, database word
//   CDefsInfo::...       QueryInterface, AddRef, Release and the getters
//
// Bad input: a missing set, engine table or handle leaves the facts at 0;
// an interface id other than 0 or a null out pointer answers 512.
#include "scanner/defs_info.h"

#include <time.h>

#include "defs/shared_defs.h"

int64_t DefsDateToTime(int year, int month, int day)
{
    struct tm day0 = {};
    day0.tm_year = year - 1900;
    day0.tm_mon = month - 1;
    day0.tm_mday = day;
    // Standard time on purpose: a set's date names a day, and the same day
    // must give the same number whatever the season.
    day0.tm_isdst = 0;
    const time_t at = mktime(&day0);
    return at == static_cast<time_t>(-1) ? 0 : static_cast<int64_t>(at);
}

CDefsInfo::CDefsInfo(SharedDefs& defs, const char* defsDir, const ZelEngineApi* engine,
                     ZELHANDLE handle)
    : m_DefsDir(defsDir != nullptr ? defsDir : "")
{
    if (engine != nullptr && handle != nullptr) {
        uint32_t count = 0;
        if (engine->GetVirusDefCount != nullptr && engine->GetVirusDefCount(handle, &count) == ZEL_OK)
            m_VirusCount = count;
        // The engine reads the block's size from its first word.
        uint32_t block[5] = {sizeof block, 0, 0, 0, 0};
        if (engine->GetVirusDBInfoEx != nullptr && engine->GetVirusDBInfoEx(handle, block) == ZEL_OK)
            m_DBInfo = block[4];
    }
    uint16_t year = 0, month = 0, day = 0;
    uint32_t revision = 0;
    if (defs.GetCurrentDefsDate(&year, &month, &day, &revision) != 0 && year != 0) {
        m_Date = DefsDateToTime(year, month, day);
        m_Revision = revision;
    }
}

int32_t CDefsInfo::QueryInterface(int32_t interfaceId, void** out)
{
    if (out == nullptr)
        return WEXLOR_NO_INTERFACE;
    *out = nullptr;
    if (interfaceId != WEXLOR_IID_OBJECT)
        return WEXLOR_NO_INTERFACE;
    *out = static_cast<IDefsInfo*>(this);
    AddRef();
    return WEXLOR_OK;
}

int32_t CDefsInfo::AddRef()
{
    return ++m_Refs;
}

int32_t CDefsInfo::Release()
{
    const int32_t left = --m_Refs;
    if (left == 0)
        delete this;
    return left;
}

int64_t CDefsInfo::GetDate()
{
    return m_Date;
}

uint32_t CDefsInfo::GetRevision()
{
    return m_Revision;
}

uint32_t CDefsInfo::GetVirusCount()
{
    return m_VirusCount;
}

const char* CDefsInfo::GetDefsDir()
{
    return m_DefsDir.c_str();
}

uint32_t CDefsInfo::GetDBInfo()
{
    return m_DBInfo;
}
