// Objects of the decomposition component's tree (IRavObject).
//
//   CRavObject::Get*/Query*/Set*   the sink's view of the object
//   CRavObject::Gone               replaced or removed, here or above
//   CRavObject::Reset              forget children and decisions
//   CopyOut                        bounded copy into a caller's buffer
//
// Bad input: null out-pointers, names or buffers answer RAVERR_BAD_ARGUMENT
// and change nothing.

#include "maker/rav_object.h"

#include <cstring>

namespace rav {

int32_t CopyOut(const std::string& text, char* buffer, int32_t size) {
    if (!buffer || size < 1) return RAVERR_BAD_ARGUMENT;
    std::size_t n = std::min(text.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
    return 0;
}

CRavObject::CRavObject(std::string name, std::string dataFile, CRavObject* parent)
    : m_Name(std::move(name)),
      m_DataFile(std::move(dataFile)),
      m_Parent(parent),
      m_Depth(parent ? parent->m_Depth + 1 : 0) {}

int32_t CRavObject::GetName(char* buffer, int32_t size) {
    return CopyOut(m_Name, buffer, size);
}

int32_t CRavObject::GetParent(IRavObject** parent) {
    if (!parent) return RAVERR_BAD_ARGUMENT;
    *parent = m_Parent;
    return 0;
}

int32_t CRavObject::GetDepth(int32_t* depth) {
    if (!depth) return RAVERR_BAD_ARGUMENT;
    *depth = m_Depth;
    return 0;
}

int32_t CRavObject::GetDataFile(char* buffer, int32_t size) {
    return CopyOut(m_DataFile, buffer, size);
}

int32_t CRavObject::QueryRemovable(int32_t* flag) {
    if (!flag) return RAVERR_BAD_ARGUMENT;
    *flag = m_Removable ? 1 : 0;
    return 0;
}

int32_t CRavObject::QueryAncestorRemovable(int32_t* flag, int32_t* second) {
    if (!flag) return RAVERR_BAD_ARGUMENT;
    *flag = 0;
    if (second) *second = 0;
    for (CRavObject* a = m_Parent; a && a->m_Depth >= 1; a = a->m_Parent) {
        if (a->m_Removable) {
            *flag = 1;
            break;
        }
    }
    return 0;
}

int32_t CRavObject::QueryModifiable(int32_t* flag) {
    if (!flag) return RAVERR_BAD_ARGUMENT;
    *flag = m_Modifiable ? 1 : 0;
    return 0;
}

int32_t CRavObject::GetProperty(const char* name, void** value) {
    if (!name || !value) return RAVERR_BAD_ARGUMENT;
    auto it = m_Properties.find(name);
    *value = it == m_Properties.end() ? nullptr : it->second;
    return 0;
}

int32_t CRavObject::SetProperty(const char* name, void* value) {
    if (!name) return RAVERR_BAD_ARGUMENT;
    if (value)
        m_Properties[name] = value;
    else
        m_Properties.erase(name);
    return 0;
}

int32_t CRavObject::SetName(const char* name, int32_t) {
    if (!name) return RAVERR_BAD_ARGUMENT;
    m_Name = name;
    m_NameChanged = true;
    return 0;
}

int32_t CRavObject::SetContentType(const char* type, int32_t) {
    if (!type) return RAVERR_BAD_ARGUMENT;
    m_ContentType = type;
    m_TypeChanged = true;
    return 0;
}

int32_t CRavObject::GetType(int32_t* type) {
    if (!type) return RAVERR_BAD_ARGUMENT;
    *type = m_Type;
    return 0;
}

bool CRavObject::Gone() const {
    for (const CRavObject* o = this; o; o = o->m_Parent)
        if (o->m_Removed || (o->m_Replaced && o != this)) return true;
    return m_Replaced;
}

void CRavObject::Reset() {
    m_Children.clear();
    m_Properties.clear();
    m_Replaced = m_Removed = m_NameChanged = m_TypeChanged = false;
    m_NewData.clear();
    m_Engine = nullptr;
    m_Type = RAV_TYPE_FILE;
}

}  // namespace rav
