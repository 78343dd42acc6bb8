// The shared header's promises to two separately built binaries: every
// interface is abstract and holds no data (only its table pointer), and
// objects cannot be destroyed except through Release.
#include "scanner/wexlor_interface.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

template <class Interface>
constexpr bool IsPureInterface()
{
    return std::is_abstract_v<Interface> && std::is_polymorphic_v<Interface> &&
           sizeof(Interface) == sizeof(void*) && !std::is_destructible_v<Interface>;
}

static_assert(IsPureInterface<IWexlorner>());
static_assert(IsPureInterface<IScanCallback>());
static_assert(IsPureInterface<IScanResult>());
static_assert(IsPureInterface<IVirusItem>());
static_assert(IsPureInterface<IDefsInfo>());
static_assert(std::is_same_v<decltype(&WexlorGetScanner), WexlorGetScannerFunc>);
static_assert(sizeof(decltype(std::declval<IDefsInfo&>().GetDate())) == 8,
              "dates cross the interface as 64-bit values");

// A gateway-side callback compiles against the header and is called through
// it; the plug-in never deletes it.
class RecordingCallback final : public IScanCallback {
public:
    int32_t ShouldScan(const char*, int32_t context) override { return context; }
    int32_t OnVirusFound(const char*, const char*, const char*, int32_t id, int32_t) override
    {
        return id;
    }
    int32_t OnRepairFailed(const char*, const char*, const char*, int32_t, int32_t) override
    {
        return WEXLOR_ANSWER_ABORT;
    }
    int32_t GetDeletedText(const char*, const char*, char* text, int32_t size) override
    {
        m_Size = size;
        text[0] = 'd';
        return WEXLOR_ANSWER_REPLACE;
    }
    int32_t FilterAttachment(const char*, int32_t) override { return WEXLOR_ANSWER_BLOCK; }
    int32_t GetBlockedText(const char*, char* text, int32_t size) override
    {
        m_Size = size;
        text[0] = 'b';
        return WEXLOR_ANSWER_REPLACE;
    }
    int32_t m_Size = 0;
};

TEST(WexlorInterface, ACallbackIsCalledThroughTheInterfaceWithItsBufferSize)
{
    RecordingCallback callback;
    IScanCallback* borrowed = &callback;
    char text[WEXLOR_TEXT_SIZE] = {};
    EXPECT_EQ(7, borrowed->ShouldScan("a.zip", 7));
    EXPECT_EQ(42, borrowed->OnVirusFound("a.zip", "/tmp/x", "Eicar", 42, 0));
    EXPECT_EQ(WEXLOR_ANSWER_REPLACE, borrowed->GetDeletedText("a.zip", "Eicar", text, sizeof text));
    EXPECT_EQ(WEXLOR_TEXT_SIZE, callback.m_Size);
    EXPECT_EQ('d', text[0]);
    EXPECT_EQ(WEXLOR_ANSWER_BLOCK, borrowed->FilterAttachment("a.exe", 0));
    EXPECT_EQ(WEXLOR_ANSWER_REPLACE, borrowed->GetBlockedText("a.exe", text, 16));
    EXPECT_EQ(16, callback.m_Size);
}

}  // namespace
