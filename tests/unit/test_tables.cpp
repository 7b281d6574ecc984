// The printed device table, build table and fingerprint line.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "CaptureDisplay.h"
#include "Parameters.h"

namespace {

DeviceInfo Device(int32_t type, uint32_t serial, uint32_t model, uint32_t error = 0)
{
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serial_num = serial;
    d.spec.module = 2;
    d.spec.router = 2;
    d.spec.model = model;
    d.versionMajor = 2;
    d.versionMinor = 15;
    d.versionPatch = 3;
    d.buildNumber = 4711;
    d.error = error;
    return d;
}

TEST(DeviceTable, UsbTable)
{
    CaptureDisplay d;
    _display_device_list(d, {Device(USB, 0x40F5849A, 4), Device(USB, 0x1234, 24, aErrBusy)}, USB);
    EXPECT_EQ((std::vector<std::string>{
                  "Discovered Devices: (USB)",
                  "    Device    Module   Router  Model          Firmware Version (Build)",
                  "    40F5849A  02       02      Avolin         2.15.3 (4711)",
                  "    00001234  [Error (5): Is someone else connected to this device?]",
              }),
              d.info);
}

TEST(DeviceTable, TcpipEntriesShowTheirAddressWhateverTheError)
{
    DeviceInfo d1 = Device(TCPIP, 0xD272031D, 99, aErrConnection);
    const uint8_t ip[4] = {10, 77, 0, 2};
    memcpy(&d1.spec.ip_address, ip, 4);
    CaptureDisplay d;
    _display_device_list(d, {d1}, TCPIP);
    EXPECT_EQ((std::vector<std::string>{
                  "Discovered Devices: (TCPIP)",
                  "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]",
                  "    D272031D  02       02      Unknown        2.15.3 (4711) [10.77.0.2]",
              }),
              d.info);
}

TEST(DeviceTable, EmptyAndUnknownType)
{
    CaptureDisplay d;
    _display_device_list(d, {}, 0);
    EXPECT_EQ((std::vector<std::string>{"Discovered Devices: (Unknown)", "    No devices found."}), d.info);
}

TEST(BuildTable, SortedByVersionText)
{
    CaptureDisplay d;
    _display_builds(d, {{"300", "2.9.0"}, {"125", "2.10.1"}, {"7", "a-very-long-version-text"}}, 0xABCD);
    EXPECT_EQ((std::vector<std::string>{
                  "Build List for device [0000ABCD]:\n",
                  "Build          \tVersion        ",
                  "125            \t2.10.1         ",
                  "300            \t2.9.0          ",
                  "7              \ta-very-long-ver",
              }),
              d.info);

    CaptureDisplay empty;
    _display_builds(empty, {}, 0x1);
    EXPECT_EQ(std::vector<std::string>{"No builds found for device [00000001]"}, empty.info);
}

TEST(FingerprintLine, FourWordsInOrder)
{
    CaptureDisplay d;
    Fingerprint fp;
    fp.words[0] = 0x1;
    fp.words[1] = 0xDEADBEEF;
    fp.words[2] = 0x0;
    fp.words[3] = 0xFFFFFFFF;
    _display_fingerprint(d, fp);
    EXPECT_EQ(std::vector<std::string>{"[ 00000001 DEADBEEF 00000000 FFFFFFFF ]"}, d.info);
}

}  // namespace
