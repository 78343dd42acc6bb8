// The channel library: a hub's stamp gives the channel of its base; an
// unusable base asks for a full set; bad input is refused.
#include "maker/kolt/kolt.h"

#include <gtest/gtest.h>

namespace {

int32_t Packed(int year, int month, int day, int revision) {
    return (year - 1900) << 20 | month << 16 | day << 11 | revision;
}

TEST(KoltTest, TheChannelNamesTheBaseOfTheStamp) {
    struct Case {
        const char* stamp;
        const char* channel;
        int32_t argument;
        int32_t expected;
    };
    const Case cases[] = {
        {"20261201.001", "QuillsetB", 0, Packed(2026, 12, 1, 1)},
        {"20261201.001", "QuillsetT", 0, Packed(2026, 12, 1, 1)},
        {"19000101.000", "QuillsetB", 0, Packed(1900, 1, 1, 0)},
        {"21551231.999", "QuillsetT", 0, Packed(2155, 12, 31, 999)},
        {"20240229.255", "QuillsetB", 0, Packed(2024, 2, 29, 255)},
        // No usable base, or a full set asked for: channel 0.
        {"00000000.000", "QuillsetB", 0, KOLT_CHANNEL_FULL},
        {"00000000.000", "QuillsetT", 7, KOLT_CHANNEL_FULL},
        {"20261201.001", "QuillsetB", 1, KOLT_CHANNEL_FULL},
        {"20261201.001", "QuillsetT", -1, KOLT_CHANNEL_FULL},
        // Refused.
        {"20261201.001", "QuillsetX", 0, KOLT_CHANNEL_REFUSED},
        {"20261201.001", "quillsetb", 0, KOLT_CHANNEL_REFUSED},
        {"20261201.001", "", 0, KOLT_CHANNEL_REFUSED},
        {"", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"2026121.001", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"20261201.01", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"20261201.0011", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"20261201-001", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"2026120a.001", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {" 20261201.01", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"20261301.001", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"20250229.001", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"20261200.001", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"18991231.001", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"21560101.001", "QuillsetB", 0, KOLT_CHANNEL_REFUSED},
        {"00000000.001", "QuillsetB", 1, KOLT_CHANNEL_REFUSED},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, DetermineQuillsetChannel(c.stamp, c.channel, c.argument))
            << c.stamp << " " << c.channel << " " << c.argument;
    }
    EXPECT_EQ(KOLT_CHANNEL_REFUSED, DetermineQuillsetChannel(nullptr, "QuillsetB", 0));
    EXPECT_EQ(KOLT_CHANNEL_REFUSED, DetermineQuillsetChannel("20261201.001", nullptr, 0));
}

TEST(KoltTest, ALaterBaseGivesALargerChannel) {
    const char* const stamps[] = {"19000101.000", "20261201.999", "20261202.000", "20261231.255",
                                  "20270101.000", "21551231.999"};
    for (size_t i = 1; i < sizeof stamps / sizeof stamps[0]; ++i)
        EXPECT_LT(DetermineQuillsetChannel(stamps[i - 1], "QuillsetB", 0),
                  DetermineQuillsetChannel(stamps[i], "QuillsetB", 0))
            << stamps[i];
}

}  // namespace
