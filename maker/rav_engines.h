#pragma once
// The engines of the decomposition component that live in this folder.
//
//   CIdEngine            identification by magic bytes ("ID")
//   CMimeEngine          mail messages read and rebuilt from byte ranges ("MIME")
//   CFormatEngineAdapter one maker::FormatEngine behind IRavEngine
//   StatusToRavError     a FormatStatus as the component's RAVERR_* code
//
// Each is created by its library's RavNew...Engine and deleted through its
// virtual destructor. They hold no state between calls: one engine object
// serves concurrent walks.

#include <memory>

#include "maker/formats/format_engine.h"
#include "maker/rav_interfaces.h"

namespace rav {

int32_t StatusToRavError(maker::FormatStatus status);

class CIdEngine : public IRavEngine {
public:
    ~CIdEngine() override = default;
    const char* GetFormatName() override { return "ID"; }
    int32_t GetObjectType() override { return RAV_TYPE_FILE; }
    int32_t Recognise(const char*, const unsigned char*, uint32_t) override { return 0; }
    // "ZIP", "GZIP", "TAR", "LHA", "CAB", "ARJ", "LZ", "TNEF", "RTF" or null.
    const char* Identify(const unsigned char* head, uint32_t size) override;
    int32_t GetCapabilities() override { return 0; }
    int32_t Extract(const char*, const char*, const RavLimits*, IRavMemberList*) override {
        return RAVERR_UNSUPPORTED;
    }
    int32_t Rebuild(const char*, const RavMemberEdit*, uint32_t, const char*,
                    const RavLimits*) override {
        return RAVERR_UNSUPPORTED;
    }
};

class CMimeEngine : public IRavEngine {
public:
    ~CMimeEngine() override = default;
    const char* GetFormatName() override { return "MIME"; }
    int32_t GetObjectType() override { return RAV_TYPE_MESSAGE; }
    int32_t Recognise(const char* path, const unsigned char* head, uint32_t size) override;
    const char* Identify(const unsigned char*, uint32_t) override { return nullptr; }
    int32_t GetCapabilities() override { return RAV_CAN_REPLACE | RAV_CAN_REMOVE; }
    // A message over 512 MiB is refused (RAVERR_LIMIT). A part over
    // limits->maxMemberBytes, or past limits->maxTotalBytes decoded in all,
    // is listed with status RAVERR_LIMIT and no data file. Parts past
    // limits->maxMembers or nesting past kMaxMimeNesting are not
    // listed and the answer is RAVERR_LIMIT or RAVERR_DEPTH.
    int32_t Extract(const char* path, const char* tempDir, const RavLimits* limits,
                    IRavMemberList* members) override;
    int32_t Rebuild(const char* path, const RavMemberEdit* edits, uint32_t count,
                    const char* outPath, const RavLimits* limits) override;
};

class CFormatEngineAdapter : public IRavEngine {
public:
    // objectType: the RAV_TYPE_* of the format's containers.
    CFormatEngineAdapter(std::unique_ptr<maker::FormatEngine> engine, const char* formatName,
                         int32_t objectType);
    ~CFormatEngineAdapter() override = default;
    const char* GetFormatName() override { return m_FormatName; }
    int32_t GetObjectType() override { return m_ObjectType; }
    int32_t Recognise(const char* path, const unsigned char* head, uint32_t size) override;
    const char* Identify(const unsigned char*, uint32_t) override { return nullptr; }
    int32_t GetCapabilities() override;
    int32_t Extract(const char* path, const char* tempDir, const RavLimits* limits,
                    IRavMemberList* members) override;
    int32_t Rebuild(const char* path, const RavMemberEdit* edits, uint32_t count,
                    const char* outPath, const RavLimits* limits) override;

private:
    std::unique_ptr<maker::FormatEngine> m_Engine;
    const char* m_FormatName;
    int32_t m_ObjectType;
};

}  // namespace rav
