// Scan results and findings: reference counting, the answers for indexes
// out of range, counts by status, and items outliving their result.
#include "scanner/scan_result.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// A finding handed out as the plug-in does: made with count 0, first
// reference through QueryInterface.
CVirusItem* NewItem(int32_t status, const char* virus = "", int32_t id = 0)
{
    CVirusItem* item = new CVirusItem;
    void* out = nullptr;
    EXPECT_EQ(WEXLOR_OK, item->QueryInterface(WEXLOR_IID_OBJECT, &out));
    EXPECT_EQ(static_cast<IVirusItem*>(item), out);
    item->SetStatus(status);
    item->SetVirusName(virus);
    item->m_VirusId = id;
    return item;
}

IScanResult* NewResult(CScanResult** impl = nullptr)
{
    CScanResult* result = new CScanResult;
    void* out = nullptr;
    EXPECT_EQ(WEXLOR_OK, result->QueryInterface(WEXLOR_IID_OBJECT, &out));
    if (impl != nullptr)
        *impl = result;
    return static_cast<IScanResult*>(out);
}

TEST(ScanResult, QueryInterfaceAcceptsOnlyIdZero)
{
    CScanResult* impl = nullptr;
    IScanResult* result = NewResult(&impl);
    CVirusItem* item = NewItem(WEXLOR_STATUS_LEFT);
    for (int32_t id : {1, 2, 3, -1, 512}) {
        SCOPED_TRACE(id);
        void* out = reinterpret_cast<void*>(&id);  // anything but null
        EXPECT_EQ(WEXLOR_NO_INTERFACE, result->QueryInterface(id, &out));
        EXPECT_EQ(nullptr, out);
        out = reinterpret_cast<void*>(&id);
        EXPECT_EQ(WEXLOR_NO_INTERFACE, item->QueryInterface(id, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(WEXLOR_NO_INTERFACE, result->QueryInterface(WEXLOR_IID_OBJECT, nullptr));
    EXPECT_EQ(WEXLOR_NO_INTERFACE, item->QueryInterface(WEXLOR_IID_OBJECT, nullptr));
    // Refused queries added no reference: one Release each destroys.
    EXPECT_EQ(0, item->Release());
    EXPECT_EQ(0, result->Release());
}

TEST(ScanResult, AddRefAndReleaseAnswerTheNewCount)
{
    IScanResult* result = NewResult();
    EXPECT_EQ(2, result->AddRef());
    EXPECT_EQ(3, result->AddRef());
    EXPECT_EQ(2, result->Release());
    EXPECT_EQ(1, result->Release());
    EXPECT_EQ(0, result->Release());  // destroyed (the leak checker sees it)
}

TEST(ScanResult, ACleanResultHasNothingAndAnswersIndexesOutOfRange)
{
    IScanResult* result = NewResult();
    EXPECT_EQ(0, result->GetItemCount());
    EXPECT_EQ(0, result->GetReasonCount());
    EXPECT_STREQ("", result->GetFileName());
    EXPECT_EQ(0, result->CountLeft());
    EXPECT_EQ(0, result->CountRepaired());
    EXPECT_EQ(0, result->CountDeleted());
    IVirusItem* untouched = reinterpret_cast<IVirusItem*>(result);
    IVirusItem* out = untouched;
    EXPECT_EQ(WEXLOR_OUT_OF_RANGE, result->GetItem(0, &out));
    EXPECT_EQ(untouched, out);
    EXPECT_EQ(WEXLOR_OUT_OF_RANGE, result->GetItem(0, nullptr));
    EXPECT_EQ(0, result->GetReason(0));
    result->Release();
}

TEST(ScanResult, HoldsItemsReasonsAndTheFileNameInOrder)
{
    CScanResult* impl = nullptr;
    IScanResult* result = NewResult(&impl);
    const int32_t statuses[] = {WEXLOR_STATUS_LEFT, WEXLOR_STATUS_REPAIRED,
                                WEXLOR_STATUS_DELETED, WEXLOR_STATUS_BLOCKED};
    for (int32_t status : statuses)
        impl->AddItem(NewItem(status, "Eicar-Test", 100 + status));
    impl->AddItem(nullptr);
    for (int32_t reason : {60, 100, 60})
        impl->AddReason(reason);
    impl->SetFileName("/var/spool/scan/new.eml");

    EXPECT_EQ(4, result->GetItemCount());
    EXPECT_EQ(1, result->CountLeft());
    EXPECT_EQ(1, result->CountRepaired());
    EXPECT_EQ(2, result->CountDeleted());
    for (uint32_t i = 0; i < 4; ++i) {
        IVirusItem* item = nullptr;
        ASSERT_EQ(WEXLOR_OK, result->GetItem(i, &item));
        EXPECT_EQ(statuses[i], item->GetStatus());
        EXPECT_EQ(100 + statuses[i], item->GetVirusId());
        item->Release();
    }
    IVirusItem* out = nullptr;
    EXPECT_EQ(WEXLOR_OUT_OF_RANGE, result->GetItem(4, &out));
    EXPECT_EQ(nullptr, out);

    ASSERT_EQ(3, result->GetReasonCount());
    EXPECT_EQ(60, result->GetReason(0));
    EXPECT_EQ(100, result->GetReason(1));
    EXPECT_EQ(60, result->GetReason(2));  // duplicates kept
    EXPECT_EQ(0, result->GetReason(3));
    EXPECT_EQ(0, result->GetReason(0xffffffffu));

    EXPECT_STREQ("/var/spool/scan/new.eml", result->GetFileName());
    impl->SetFileName(nullptr);
    EXPECT_STREQ("", result->GetFileName());
    result->Release();  // releases the four items (the leak checker sees it)
}

TEST(ScanResult, ItemsTheCallerHoldsOutliveTheResult)
{
    CScanResult* impl = nullptr;
    IScanResult* result = NewResult(&impl);
    CVirusItem* made = NewItem(WEXLOR_STATUS_DELETED, "W32/Test");
    made->AddName("b.exe");
    impl->AddItem(made);
    IVirusItem* item = nullptr;
    ASSERT_EQ(WEXLOR_OK, result->GetItem(0, &item));
    EXPECT_EQ(0, result->Release());
    // The result is gone; the caller's reference keeps the item.
    EXPECT_STREQ("W32/Test", item->GetVirusName());
    EXPECT_STREQ("b.exe", item->GetName(0));
    EXPECT_EQ(0, item->Release());
}

TEST(VirusItem, NamesRunFromTheObjectOutward)
{
    CVirusItem* item = NewItem(WEXLOR_STATUS_LEFT);
    EXPECT_EQ(0, item->GetNameCount());
    EXPECT_EQ(nullptr, item->GetName(0));
    EXPECT_EQ(1, item->AddName("b.exe"));
    EXPECT_EQ(1, item->AddName("a.zip"));
    EXPECT_EQ(1, item->AddName(""));
    EXPECT_EQ(0, item->AddName(nullptr));
    ASSERT_EQ(3, item->GetNameCount());
    EXPECT_STREQ("b.exe", item->GetName(0));
    EXPECT_STREQ("a.zip", item->GetName(1));
    EXPECT_STREQ("", item->GetName(2));
    EXPECT_EQ(nullptr, item->GetName(3));  // the count as index
    EXPECT_EQ(nullptr, item->GetName(0xffffffffu));
    item->Release();
}

TEST(VirusItem, VirusNameIdAndStatusAsSet)
{
    CVirusItem* item = NewItem(WEXLOR_STATUS_LEFT);
    EXPECT_STREQ("", item->GetVirusName());
    EXPECT_EQ(0, item->GetVirusId());
    EXPECT_EQ(WEXLOR_STATUS_LEFT, item->GetStatus());
    item->SetVirusName("Eicar-Test-Signature");
    item->m_VirusId = 2147483647;
    item->SetStatus(WEXLOR_STATUS_REPAIRED);
    EXPECT_STREQ("Eicar-Test-Signature", item->GetVirusName());
    EXPECT_EQ(2147483647, item->GetVirusId());
    EXPECT_EQ(WEXLOR_STATUS_REPAIRED, item->GetStatus());
    item->SetVirusName(nullptr);
    EXPECT_STREQ("", item->GetVirusName());
    item->Release();
}

TEST(ScanResult, ReferencesMayBeCountedFromManyThreads)
{
    IScanResult* result = NewResult();
    CVirusItem* item = NewItem(WEXLOR_STATUS_LEFT);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                result->AddRef();
                item->AddRef();
                result->Release();
                item->Release();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    // Exactly the first reference is left: one more AddRef gives 2.
    EXPECT_EQ(2, result->AddRef());
    EXPECT_EQ(2, item->AddRef());
    EXPECT_EQ(1, result->Release());
    EXPECT_EQ(1, item->Release());
    EXPECT_EQ(0, result->Release());
    EXPECT_EQ(0, item->Release());
}

}  // namespace
