// Big-endian helpers and payload tests for UEI traffic.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "aUEI.h"

namespace {

TEST(UEIByteOrder, ShortAndIntAreBigEndian)
{
    uint8_t buffer[4] = {};
    aUEI_StoreShort(buffer, 0xA1B2);
    EXPECT_EQ(buffer[0], 0xA1);
    EXPECT_EQ(buffer[1], 0xB2);
    EXPECT_EQ(aUEI_RetrieveShort(buffer), 0xA1B2);
    aUEI_StoreInt(buffer, 0x80FF0102u);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 4), (std::vector<uint8_t>{0x80, 0xFF, 0x01, 0x02}));
    EXPECT_EQ(aUEI_RetrieveInt(buffer), 0x80FF0102u);

    uint32_t words[2];
    const uint8_t raw[8] = {0x12, 0x34, 0x56, 0x78, 0xFF, 0x00, 0x00, 0x01};
    memcpy(words, raw, sizeof raw);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x12345678u);
    EXPECT_EQ(words[1], 0xFF000001u);
    aUEI_ModifyIntBuffer(nullptr, 3);
}

aPacket* Make(std::vector<uint8_t> data)
{
    data.reserve(1);  // a real pointer even for no bytes
    return aPacket_CreateWithData(4, static_cast<uint8_t>(data.size()), data.data());
}

TEST(UEIBytes, SequenceContinueAndFullPacket)
{
    struct Case { std::vector<uint8_t> data; uint8_t sequence; bool more; };
    const Case cases[] = {
        {{9, 1, 2, 0x83}, 3, true},
        {{9, 1, 2, 0x03}, 3, false},
        {{0xFF}, 0x7F, true},
        {{}, 0, false},  // no last byte to read
    };
    for (const Case& c : cases) {
        aPacket* packet = Make(c.data);
        ASSERT_NE(packet, nullptr);
        EXPECT_EQ(aUEI_getBytesSequence(packet), c.sequence) << c.data.size();
        EXPECT_EQ(aUEI_getBytesContinue(packet), c.more) << c.data.size();
        aPacket_Destroy(&packet);
    }
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(nullptr));

    for (uint8_t length : {26, 27, 28}) {
        aPacket* packet = Make(std::vector<uint8_t>(length, 1));
        EXPECT_EQ(aUEI_getBytesFullPacket(packet), length >= 27) << int(length);
        aPacket_Destroy(&packet);
    }
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));
}

TEST(UEIPayload, CommandClassification)
{
    const std::vector<uint8_t> notUEI{0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int cmd = 0; cmd < 256; ++cmd) {
        aPacket* packet = Make({static_cast<uint8_t>(cmd), 0, 0});
        bool expectedNot = std::find(notUEI.begin(), notUEI.end(), cmd) != notUEI.end();
        EXPECT_EQ(aUEI_isNotUEIPayload(packet), expectedNot) << cmd;
        EXPECT_EQ(aUEI_isUEIPayload(packet), !expectedNot) << cmd;
        aPacket_Destroy(&packet);
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_FALSE(aUEI_isUEIPayload(nullptr));
}

TEST(UEIPayload, StreamPackets)
{
    struct Case { std::vector<uint8_t> data; bool stream; };
    const Case cases[] = {
        {{18, 0x01, 0x42, 0, 5}, true},
        {{18, 0x3F, 0x5F, 0, 5}, true},
        {{18, 0x01, 0x42, 0}, false},        // too short
        {{18, 0x41, 0x42, 0, 5}, false},     // request flag set
        {{18, 0x81, 0x42, 0, 5}, false},
        {{18, 0x01, 0x02, 0, 5}, false},     // no stream flag
        {{8, 0x01, 0x42, 0, 5}, false},      // I2C command carries no UEI layout
    };
    for (const Case& c : cases) {
        aPacket* packet = Make(c.data);
        EXPECT_EQ(aUEI_isStreamPacket(packet), c.stream)
            << int(c.data[0]) << " " << int(c.data[1]) << " " << int(c.data[2]) << " len " << c.data.size();
        aPacket_Destroy(&packet);
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

}  // namespace
