// Packet record: creation, field access and byte-by-byte assembly.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aPacket.h"

namespace {

struct Fed {
    std::vector<uint8_t> bytes;
    std::vector<aErr> results;   // one per byte
    uint8_t address;
    uint8_t length;
    bool complete;
};

std::vector<uint8_t> Frame(uint8_t address, uint8_t length, uint8_t extra = 0)
{
    std::vector<uint8_t> bytes{address, length};
    for (int i = 0; i < length + extra; ++i)
        bytes.push_back(static_cast<uint8_t>(0x10 + i));
    return bytes;
}

std::vector<aErr> Results(std::initializer_list<std::pair<aErr, int>> runs)
{
    std::vector<aErr> out;
    for (auto [result, count] : runs)
        out.insert(out.end(), count, result);
    return out;
}

TEST(PacketAddByte, Table)
{
    const Fed cases[] = {
        {{0x02, 0x00}, Results({{aErrNone, 2}}), 2, 0, true},
        {{0x00}, Results({{aErrPacket, 1}}), 0, 0, false},
        {{0x03}, Results({{aErrPacket, 1}}), 0, 0, false},
        {{0xAD}, Results({{aErrPacket, 1}}), 0, 0, false},
        {{0x04, 29}, {aErrNone, aErrPacket}, 4, 29, false},
        {Frame(0x04, 3), Results({{aErrNone, 5}}), 4, 3, true},
        {Frame(0x04, 3, 1), Results({{aErrNone, 5}, {aErrPacket, 1}}), 4, 3, false},  // the extra byte counts
        {Frame(0x04, 28), Results({{aErrNone, 30}}), 4, 28, true},
        {Frame(0x04, 28, 1), Results({{aErrNone, 30}, {aErrOverrun, 1}}), 4, 28, false},
    };
    for (const Fed& c : cases) {
        SCOPED_TRACE(testing::Message() << "frame of " << c.bytes.size() << " bytes, first " << int(c.bytes[0]));
        aPacket* packet = aPacket_Create();
        ASSERT_NE(packet, nullptr);
        std::vector<aErr> results;
        for (uint8_t b : c.bytes)
            results.push_back(aPacket_AddByte(packet, b));
        EXPECT_EQ(results, c.results);
        EXPECT_EQ(packet->address, c.address);
        EXPECT_EQ(packet->length, c.length);
        EXPECT_EQ(aPacket_IsComplete(packet), c.complete);
        for (int i = 0; i < packet->length && i + 2 < int(c.bytes.size()) && c.complete; ++i)
            EXPECT_EQ(packet->data[i], c.bytes[i + 2]);
        aPacket_Destroy(&packet);
    }
}

TEST(PacketAddByte, EndlessGarbageNeverWritesOutsideTheRecord)
{
    // The received count must not wrap back into the data-writing range.
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    for (int i = 0; i < 1000; ++i)
        aPacket_AddByte(packet, 0x04);
    EXPECT_EQ(aPacket_AddByte(packet, 0x04), aErrOverrun);
    EXPECT_EQ(packet->magic, aPACKET_MAGIC);
    EXPECT_EQ(aPacket_Reset(packet), aErrNone);
    EXPECT_EQ(packet->received, 0);
    EXPECT_EQ(aPacket_AddByte(packet, 0x06), aErrNone);
    aPacket_Destroy(&packet);
}

TEST(Packet, CreateWithDataCopyAndReset)
{
    uint8_t data[29];
    for (int i = 0; i < 29; ++i)
        data[i] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(aPacket_CreateWithData(2, 29, data), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(2, 1, nullptr), nullptr);
    aPacket* packet = aPacket_CreateWithData(0x07, 28, data);  // the address is not checked
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->magic, aPACKET_MAGIC);
    EXPECT_EQ(packet->received, 30);
    EXPECT_TRUE(aPacket_IsComplete(packet));

    aPacket* copy = aPacket_Copy(packet);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->address, 0x07);
    EXPECT_EQ(copy->received, 30);
    EXPECT_EQ(0, memcmp(copy->data, data, 28));

    aPacket* shortOne = aPacket_CreateWithData(4, 2, data);
    ASSERT_NE(shortOne, nullptr);
    EXPECT_EQ(shortOne->data[2], 0);  // bytes beyond the length stay zero

    EXPECT_EQ(aPacket_Reset(packet), aErrNone);
    EXPECT_EQ(packet->magic, aPACKET_MAGIC);
    EXPECT_EQ(packet->received, 0);
    EXPECT_EQ(packet->address, 0);
    EXPECT_EQ(packet->length, 0);
    EXPECT_EQ(std::vector<uint8_t>(packet->data, packet->data + aPACKET_MAX_DATA), std::vector<uint8_t>(aPACKET_MAX_DATA, 0));
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);

    for (aPacket** p : {&packet, &copy, &shortOne}) {
        EXPECT_EQ(aPacket_Destroy(p), aErrNone);
        EXPECT_EQ(*p, nullptr);
    }
    EXPECT_EQ(aPacket_Destroy(&packet), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(Packet, InvalidPacketsAreRefused)
{
    aPacket forged{};
    forged.length = 3;
    EXPECT_FALSE(aVALIDPACKET(&forged));
    EXPECT_EQ(aPacket_Copy(&forged), nullptr);
    EXPECT_EQ(aPacket_AddByte(&forged, 2), aErrParam);
    EXPECT_EQ(aPacket_AddByte(nullptr, 2), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&forged));
    uint8_t out = 0;
    EXPECT_EQ(aPacket_GetCmd(&forged, &out), aErrPacket);
}

TEST(Packet, CommandOptionAndIndexNeedTheirBytes)
{
    const uint8_t data[] = {0x55, 0xC7, 0xE5};
    using Getter = aErr (*)(const aPacket*, uint8_t*);
    struct Case { Getter get; uint8_t needed; uint8_t value; };
    const Case cases[] = {
        {aPacket_GetCmd, 1, 0x55},
        {aPacket_GetOption, 2, 0x07},  // flags 0xC0 masked off
        {aPacket_GetIndex, 3, 0x05},   // error and stream bits masked off
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.needed));
        for (uint8_t length = 0; length <= 3; ++length) {
            aPacket* packet = aPacket_CreateWithData(2, length, data);
            uint8_t out = 0xAA;
            EXPECT_EQ(c.get(packet, &out), length >= c.needed ? aErrNone : aErrPacket);
            EXPECT_EQ(out, length >= c.needed ? c.value : 0xAA);
            EXPECT_EQ(c.get(packet, nullptr), aErrParam);
            aPacket_Destroy(&packet);
        }
    }
}

}  // namespace
