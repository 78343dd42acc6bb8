#pragma once
// One object of the decomposition component's tree: the file given to
// Process, a part of a message, a member of an archive.
//
//   CRavObject(name, dataFile, parent)   a node; parent null for the top
//   IRavObject methods                   what the sink reads and sets
//   Gone()                               this object or an ancestor is
//                                        replaced or removed as a whole
//
// The walker (CRavel) reads and writes the public decision fields; the sink
// sees the object only through IRavObject. An object belongs to one walk on
// one thread. Names and content types are labels: never used as paths.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "maker/rav_interfaces.h"

namespace rav {

class CRavObject : public IRavObject {
public:
    CRavObject(std::string name, std::string dataFile, CRavObject* parent);
    ~CRavObject() override = default;
    CRavObject(const CRavObject&) = delete;
    CRavObject& operator=(const CRavObject&) = delete;

    int32_t GetName(char* buffer, int32_t size) override;
    int32_t GetParent(IRavObject** parent) override;
    int32_t GetDepth(int32_t* depth) override;
    int32_t GetDataFile(char* buffer, int32_t size) override;
    int32_t QueryRemovable(int32_t* flag) override;
    int32_t QueryAncestorRemovable(int32_t* flag, int32_t* second) override;
    int32_t QueryModifiable(int32_t* flag) override;
    int32_t GetProperty(const char* name, void** value) override;
    int32_t SetProperty(const char* name, void* value) override;
    int32_t SetName(const char* name, int32_t keep) override;
    int32_t SetContentType(const char* type, int32_t keep) override;
    int32_t GetType(int32_t* type) override;

    bool Gone() const;
    // Forgets the children and every decision (a file object walked again).
    void Reset();

    std::string m_Name;
    std::string m_DataFile;
    std::string m_ContentType;
    CRavObject* m_Parent;
    int32_t m_Depth;
    int32_t m_Type = RAV_TYPE_FILE;
    int32_t m_TypeHint = -1;       // from the container, -1 none
    std::string m_FormatHint;      // engine named by the container
    IRavEngine* m_Engine = nullptr;  // the engine that opens it, if any
    uint32_t m_Index = 0;          // member index in the parent's engine
    bool m_Removable = false;
    bool m_Modifiable = false;
    // Decisions of the walk.
    bool m_Replaced = false;       // new bytes in m_NewData
    bool m_Removed = false;
    bool m_NameChanged = false;
    bool m_TypeChanged = false;
    std::string m_NewData;
    std::vector<std::unique_ptr<CRavObject>> m_Children;

private:
    std::map<std::string, void*> m_Properties;
};

// Copies text into a caller's buffer, cut to size - 1 bytes and terminated.
// RAVERR_BAD_ARGUMENT for a null buffer or a size below 1.
int32_t CopyOut(const std::string& text, char* buffer, int32_t size);

}  // namespace rav
