#include "core/uuid.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Text(const CVornUuid& id) {
    char buffer[37];
    id.ToString(buffer);
    return buffer;
}

TEST(Uuid, TextFormOfKnownValues) {
    EXPECT_EQ(Text(CVornUuid()), "00000000-0000-0000-0000-000000000000");

    CVornUuid id;
    id.Data1 = 0x12ab34cd;
    id.Data2 = 0x9abc;
    id.Data3 = 0x0def;
    const uint8_t tail[8] = {0x01, 0x02, 0xa3, 0x04, 0x05, 0x06, 0x07, 0xf8};
    for (int i = 0; i < 8; ++i) id.Data4[i] = tail[i];
    EXPECT_EQ(Text(id), "12ab34cd-9abc-0def-0102-a304050607f8");
}

TEST(Uuid, GeneratedValuesAreNewAndWellFormed) {
    CVornUuid a, b;
    ASSERT_TRUE(a.Generate());
    ASSERT_TRUE(b.Generate());
    std::string ta = Text(a), tb = Text(b);
    EXPECT_NE(ta, tb);
    ASSERT_EQ(ta.size(), 36u);
    for (size_t i = 0; i < ta.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            EXPECT_EQ(ta[i], '-') << ta;
        else
            EXPECT_NE(std::string("0123456789abcdef").find(ta[i]), std::string::npos) << ta;
    }
    // A random UUID shows its version (4) and variant (10xx) where the text
    // form puts them; both sit in the fields whose byte order must be right.
    EXPECT_EQ(ta[14], '4') << ta;
    EXPECT_NE(std::string("89ab").find(ta[19]), std::string::npos) << ta;
}

}  // namespace
