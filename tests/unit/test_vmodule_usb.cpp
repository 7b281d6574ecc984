// The virtual module program on the virtual USB bus, reached through the
// library's real USB transport (the bus preloaded in front of libusb): the
// module's USB identity is what the transport matches, and its byte pipe
// carries frames both ways.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <string>

#include "StreamHelpers.h"
#include "UsbBus.h"
#include "VModuleProcess.h"
#include "aStream.h"
#include "testsupport.h"
#include "unix_streamusb.h"

using namespace testsupport;

TEST(VModuleUsb, TheUsbTransportFindsEachModuleBySerialAndExchangesFrames)
{
    ASSERT_TRUE(UsbBusLoaded());
    TempDir bus;
    setenv("QUORVEL_USBBUS_DIR", bus.path().c_str(), 1);
    VModuleProcess program({"--usb-bus", bus.path(), "--serial", "40F5849A", "--address", "6", "--heartbeat", "0",
                            "--tcp", "off", "--usb", "on", "--module", "--serial", "1234", "--address", "8",
                            "--heartbeat", "0", "--tcp", "off", "--usb", "on"});
    struct {
        uint32_t serial;
        std::string addressAnswer;
        std::string serialAnswer;
    } modules[] = {
        {0x40F5849A, std::string("\x06\x00", 2), std::string("\x06\x07\x03\x09\x00\x40\xF5\x84\x9A", 9)},
        {0x00001234, std::string("\x08\x00", 2), std::string("\x08\x07\x03\x09\x00\x00\x00\x12\x34", 9)},
    };
    for (const auto& m : modules) {
        // Twice: the release of the first claim lets the next one in.
        for (int claim = 0; claim < 2; ++claim) {
            aStreamRef stream = nullptr;
            ASSERT_EQ(aStream_CreateUSB(m.serial, &stream), aErrNone) << std::hex << m.serial;
            ASSERT_EQ(WriteString(stream, std::string("\xAD\x00", 2)), aErrNone);
            EXPECT_EQ(ReadExactly(stream, 2), m.addressAnswer);
            std::string getSerial{static_cast<char>(m.addressAnswer[0]), 3, 3, 0x49, 0x20};
            ASSERT_EQ(WriteString(stream, getSerial), aErrNone);
            EXPECT_EQ(ReadExactly(stream, 9), m.serialAnswer);
            EXPECT_EQ(aStream_Destroy(&stream), aErrNone);
        }
    }
    EXPECT_EQ(program.Stop(SIGTERM), 0);
    // Off the bus: the transport no longer finds it.
    aStreamRef stream = nullptr;
    EXPECT_EQ(aStream_CreateUSB(0x40F5849A, &stream), aErrNotFound);
    unsetenv("QUORVEL_USBBUS_DIR");
}

int main(int argc, char** argv)
{
    testsupport::ReexecWithUsbBus(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
