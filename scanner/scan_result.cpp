// Scan result and finding objects handed to the gateway.
//
//   CVirusItem   QueryInterface, AddRef, Release, names, virus name and id,
//                status; AddName, SetVirusName, SetStatus
//   CScanResult  QueryInterface, AddRef, Release, items, reasons, final file
//                name, counts by status; SetFileName, AddItem, AddReason
//
// Bad input: an interface id other than 0 or a null out pointer answers 512;
// an index out of range answers 516 (GetItem), 0 (GetReason) or null
// (GetName); null texts count as empty. Nothing throws across the
// interface: memory exhaustion leaves the addition out.
#include "scanner/scan_result.h"

#include <new>

namespace {

// The reference-counting rules every plug-in object shares: the first
// reference comes through QueryInterface, the last Release destroys.
template <class Object>
int32_t HandOut(Object* self, int32_t interfaceId, void** out)
{
    if (out == nullptr)
        return WEXLOR_NO_INTERFACE;
    *out = nullptr;
    if (interfaceId != WEXLOR_IID_OBJECT)
        return WEXLOR_NO_INTERFACE;
    *out = self;
    self->AddRef();
    return WEXLOR_OK;
}

}  // namespace

// ---------------------------------------------------------------- CVirusItem

int32_t CVirusItem::QueryInterface(int32_t interfaceId, void** out)
{
    return HandOut(static_cast<IVirusItem*>(this), interfaceId, out);
}

int32_t CVirusItem::AddRef()
{
    return ++m_Refs;
}

int32_t CVirusItem::Release()
{
    const int32_t left = --m_Refs;
    if (left == 0)
        delete this;
    return left;
}

int32_t CVirusItem::GetNameCount()
{
    return static_cast<int32_t>(m_Names.size());
}

const char* CVirusItem::GetName(uint32_t index)
{
    if (index >= m_Names.size())
        return nullptr;
    return m_Names[index].c_str();
}

const char* CVirusItem::GetVirusName()
{
    return m_VirusName.c_str();
}

int32_t CVirusItem::GetVirusId()
{
    return m_VirusId;
}

int32_t CVirusItem::GetStatus()
{
    return m_Status;
}

int32_t CVirusItem::AddName(const char* name)
{
    if (name == nullptr)
        return 0;
    try {
        m_Names.emplace_back(name);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return 1;
}

void CVirusItem::SetVirusName(const char* name)
{
    try {
        m_VirusName.assign(name != nullptr ? name : "");
    } catch (const std::bad_alloc&) {
        // assign gives the strong guarantee: the old name stays.
    }
}

// --------------------------------------------------------------- CScanResult

CScanResult::~CScanResult()
{
    for (IVirusItem* item : m_Items)
        item->Release();
}

int32_t CScanResult::QueryInterface(int32_t interfaceId, void** out)
{
    return HandOut(static_cast<IScanResult*>(this), interfaceId, out);
}

int32_t CScanResult::AddRef()
{
    return ++m_Refs;
}

int32_t CScanResult::Release()
{
    const int32_t left = --m_Refs;
    if (left == 0)
        delete this;
    return left;
}

int32_t CScanResult::GetItemCount()
{
    return static_cast<int32_t>(m_Items.size());
}

int32_t CScanResult::GetItem(uint32_t index, IVirusItem** out)
{
    if (out == nullptr || index >= m_Items.size())
        return WEXLOR_OUT_OF_RANGE;
    *out = m_Items[index];
    (*out)->AddRef();
    return WEXLOR_OK;
}

int32_t CScanResult::GetReasonCount()
{
    return static_cast<int32_t>(m_Reasons.size());
}

int32_t CScanResult::GetReason(uint32_t index)
{
    return index < m_Reasons.size() ? m_Reasons[index] : 0;
}

const char* CScanResult::GetFileName()
{
    return m_FileName.c_str();
}

int32_t CScanResult::countStatus(int32_t low, int32_t high)
{
    int32_t count = 0;
    for (IVirusItem* item : m_Items) {
        const int32_t status = item->GetStatus();
        if (status >= low && status <= high)
            ++count;
    }
    return count;
}

int32_t CScanResult::CountLeft()
{
    return countStatus(WEXLOR_STATUS_LEFT, WEXLOR_STATUS_LEFT);
}

int32_t CScanResult::CountRepaired()
{
    return countStatus(WEXLOR_STATUS_REPAIRED, WEXLOR_STATUS_REPAIRED);
}

int32_t CScanResult::CountDeleted()
{
    return countStatus(WEXLOR_STATUS_DELETED, WEXLOR_STATUS_BLOCKED);
}

void CScanResult::SetFileName(const char* name)
{
    try {
        m_FileName.assign(name != nullptr ? name : "");
    } catch (const std::bad_alloc&) {
        m_FileName.clear();
    }
}

void CScanResult::AddItem(IVirusItem* item)
{
    if (item == nullptr)
        return;
    try {
        m_Items.push_back(item);
    } catch (const std::bad_alloc&) {
        // The list could not take the reference over; dropping it here keeps
        // the item from leaking.
        item->Release();
    }
}

void CScanResult::AddReason(int32_t code)
{
    try {
        m_Reasons.push_back(code);
    } catch (const std::bad_alloc&) {
    }
}
