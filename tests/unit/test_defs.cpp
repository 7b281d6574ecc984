// Error texts, model names and the linkSpec wire layout.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "aDefs.h"
#include "aError.h"

namespace {

TEST(ErrorText, BoundsAndSamples)
{
    struct Case { uint32_t code; const char* text; const char* description; };
    const Case cases[] = {
        {0, "aErrNone", "Success, no error"},
        {18, "aErrTimeout", "Timeout occurred"},
        {27, "aErrShortCommand", "Lumastrix command to short"},
        {33, "aErrStreamStale", "Stream value is stale"},
        {34, "aErrUnknown", "Unknown error"},
        {35, "aErrUnknown", "Unknown error"},
        {200, "aErrUnknown", "Unknown error"},
        {0xFFFFFFFFu, "aErrUnknown", "Unknown error"},
        {static_cast<uint32_t>(-1), "aErrUnknown", "Unknown error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_STREQ(aError_GetErrorText(c.code), c.text);
        EXPECT_STREQ(aError_GetErrorDescription(c.code), c.description);
    }
}

TEST(ErrorText, EveryCodeHasItsOwnName)
{
    for (uint32_t code = 0; code < aERR_COUNT; ++code) {
        ASSERT_NE(aError_GetErrorText(code), nullptr);
        ASSERT_NE(aError_GetErrorDescription(code), nullptr);
        EXPECT_EQ(std::string(aError_GetErrorText(code)).rfind("aErr", 0), 0u) << code;
        for (uint32_t other = 0; other < code; ++other)
            EXPECT_STRNE(aError_GetErrorText(code), aError_GetErrorText(other));
    }
}

TEST(ModelName, Table)
{
    struct Case { uint32_t model; const char* name; };
    const Case cases[] = {
        {4, "Avolin"}, {5, "Brevon"}, {13, "Cindrel"}, {14, "Dorvath"}, {15, "Elvane"},
        {16, "Fenrik"}, {17, "Gorlan"}, {18, "Harvel"}, {19, "Istrel"}, {20, "Jemora"},
        {21, "Kavrin"}, {22, "Lomira"}, {23, "Mervan"}, {24, "Norlix"},
        {0, "Unknown"}, {6, "Unknown"}, {12, "Unknown"}, {25, "Unknown"}, {0x104, "Unknown"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(aDefs_GetModelName(c.model), c.name) << c.model;
}

TEST(LinkSpec, WireLayoutIsLittleEndianWithAddressInNetworkOrder)
{
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    spec->serial_num = 0x40F5849A;
    spec->module = 6;
    spec->router = 2;
    spec->router_serial_num = 0x01020304;
    spec->model = 22;
    const uint8_t loopback[4] = {127, 0, 0, 1};
    memcpy(&spec->ip_address, loopback, 4);  // network order, as inet_addr gives it
    spec->port = 8000;

    uint8_t expected[aLINKSPEC_SIZE] = {
        2, 0, 0, 0,
        0x9A, 0x84, 0xF5, 0x40,
        6, 0, 0, 0,
        2, 0, 0, 0,
        4, 3, 2, 1,
        22, 0, 0, 0,
        0x7F, 0x00, 0x00, 0x01,
        0x40, 0x1F, 0, 0,
    };
    EXPECT_EQ(0, memcmp(spec, expected, aLINKSPEC_SIZE));

    linkSpec* copy = aLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(0, memcmp(copy, spec, aLINKSPEC_SIZE));
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrParam);
    aLinkSpec_Destroy(&spec);
}

TEST(LinkSpec, SerialAndUsbVariants)
{
    linkSpec* serial = aLinkSpec_Create(SERIAL);
    ASSERT_NE(serial, nullptr);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(serial);
    for (int i = 4; i < aLINKSPEC_SIZE; ++i)
        ASSERT_EQ(bytes[i], 0) << i;  // created zeroed
    serial->baud_rate = 115200;
    strcpy(serial->serial_port, "/dev/ttyS0");
    EXPECT_EQ(bytes[0], 3);
    EXPECT_EQ(0, memcmp(bytes + 24, "\x00\xC2\x01\x00", 4));
    EXPECT_STREQ(reinterpret_cast<const char*>(bytes + 28), "/dev/ttyS0");
    aLinkSpec_Destroy(&serial);

    linkSpec* usb = aLinkSpec_Create(USB);
    ASSERT_NE(usb, nullptr);
    usb->usb_id = 0xA1B2C3D4;
    EXPECT_EQ(0, memcmp(reinterpret_cast<const uint8_t*>(usb) + 24, "\xD4\xC3\xB2\xA1", 4));
    aLinkSpec_Destroy(&usb);
    EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

}  // namespace
