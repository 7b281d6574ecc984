// Library version, packed firmware versions and the feature list.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "aVersion.h"

namespace {

TEST(Version, LibraryVersion)
{
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 10);
    EXPECT_EQ(aVersion_GetPatch(), 6);
    EXPECT_STREQ(aVersion_GetString(), "2.10.6");
    EXPECT_EQ(aVersion_GetString(), aVersion_GetString());  // one buffer

    struct Case { uint8_t major, minor, patch; bool atLeast; };
    const Case cases[] = {
        {2, 10, 6, true}, {1, 99, 99, true}, {2, 10, 5, true}, {2, 9, 255, true}, {0, 0, 0, true},
        {2, 10, 7, false}, {2, 11, 0, false}, {3, 0, 0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(aVersion_IsAtLeast(c.major, c.minor, c.patch), c.atLeast)
            << int(c.major) << "." << int(c.minor) << "." << int(c.patch);
}

TEST(Version, PackAndParseRoundTrip)
{
    struct Case { uint8_t major, minor, patch; uint32_t packed; bool legacy; };
    const Case cases[] = {
        {2, 14, 3, 0x2E000003, true},
        {2, 15, 0, 0x2F020F00, false},
        {3, 0, 1, 0x2F030001, false},
        {1, 3, 200, 0x130000C8, true},
        {2, 10, 6, 0x2A000006, true},
        {0, 0, 0, 0x00000000, true},
        {1, 15, 255, 0x1F0000FF, true},
        {255, 255, 255, 0x2FFFFFFF, false},
        // Minors above 15 do not fit the legacy layout; they take the current one.
        {1, 16, 2, 0x2F011002, false},
        {0, 200, 0, 0x2F00C800, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.major) << "." << int(c.minor) << "." << int(c.patch));
        EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.packed);
        EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
        EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
    }
}

TEST(Version, LegacyPatchHas24BitsAndParseStringIsSnprintf)
{
    EXPECT_EQ(aVersion_ParsePatch(0x1A123456), 0x123456u);
    char text[16];
    EXPECT_EQ(aVersion_ParseString(0x2F020F00, text, sizeof text), 6);
    EXPECT_STREQ(text, "2.15.0");
    EXPECT_EQ(aVersion_ParseString(0x1AFFFFFF, text, sizeof text), 13);
    EXPECT_STREQ(text, "1.10.16777215");
    EXPECT_EQ(aVersion_ParseString(0x2A000006, text, 4), 6);  // cut, but reports the full length
    EXPECT_STREQ(text, "2.1");
    EXPECT_EQ(aVersion_ParseString(0x2A000006, nullptr, 0), 6);
}

TEST(Version, Features)
{
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature("VERSION "));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    aVersion_DestroyFeatureList(&list);
    aVersion_DestroyFeatureList(nullptr);
}

}  // namespace
