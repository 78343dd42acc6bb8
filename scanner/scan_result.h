// Scan results of the plug-in: CScanResult (IScanResult), the outcome of
// one decomposing scan, and CVirusItem (IVirusItem), one finding.
//
// Both follow the reference counting of wexlor_interface.h: made with count
// 0 by `new`, handed out through their own QueryInterface (id 0 only),
// destroyed by the Release that brings the count to 0. The operations
// below that are not part of an interface are for the plug-in only.
// Memory exhaustion never throws out of them: what could not be stored is
// left out, as each says.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "scanner/wexlor_interface.h"

class CVirusItem final : public IVirusItem {
public:
    CVirusItem() = default;
    CVirusItem(const CVirusItem&) = delete;
    CVirusItem& operator=(const CVirusItem&) = delete;

    int32_t QueryInterface(int32_t interfaceId, void** out) override;
    int32_t AddRef() override;
    int32_t Release() override;
    int32_t GetNameCount() override;
    const char* GetName(uint32_t index) override;
    const char* GetVirusName() override;
    int32_t GetVirusId() override;
    int32_t GetStatus() override;
    int32_t AddName(const char* name) override;

    // Replaces the virus name (null counts as empty); when memory runs out
    // the old name stays.
    void SetVirusName(const char* name);
    void SetStatus(int32_t status) { m_Status = status; }

    // The engine's decimal identifier; set directly by the item's maker.
    int32_t m_VirusId = 0;

private:
    ~CVirusItem() override = default;

    std::atomic<int32_t> m_Refs{0};
    std::vector<std::string> m_Names;
    std::string m_VirusName;
    int32_t m_Status = WEXLOR_STATUS_LEFT;
};

class CScanResult final : public IScanResult {
public:
    CScanResult() = default;
    CScanResult(const CScanResult&) = delete;
    CScanResult& operator=(const CScanResult&) = delete;

    int32_t QueryInterface(int32_t interfaceId, void** out) override;
    int32_t AddRef() override;
    int32_t Release() override;
    int32_t GetItemCount() override;
    int32_t GetItem(uint32_t index, IVirusItem** out) override;
    int32_t GetReasonCount() override;
    int32_t GetReason(uint32_t index) override;
    const char* GetFileName() override;
    int32_t CountLeft() override;
    int32_t CountRepaired() override;
    int32_t CountDeleted() override;

    // Sets the final file name (null counts as empty); when memory runs out
    // the name is left empty, so a stale name is never reported.
    void SetFileName(const char* name);
    // Appends a finding, taking over one reference the caller added for it.
    // When memory runs out the item is not appended and that reference is
    // released; either way the caller must not use the item afterwards
    // unless it holds a reference of its own. A null item is ignored.
    void AddItem(IVirusItem* item);
    // Appends a reason code (duplicates kept); silently left out when memory
    // runs out.
    void AddReason(int32_t code);

private:
    // Releases the reference held on every item.
    ~CScanResult() override;
    int32_t countStatus(int32_t low, int32_t high);

    std::atomic<int32_t> m_Refs{0};
    std::vector<IVirusItem*> m_Items;
    std::vector<int32_t> m_Reasons;
    std::string m_FileName;
};
