#ifndef QUORVEL_TEST_USBBUS_H
#define QUORVEL_TEST_USBBUS_H

// Tests on the virtual USB bus (sim/usbbus): putting the stand-in in front of
// libusb, and a device whose byte pipe the test serves itself.

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// LD_PRELOAD value that puts the virtual bus in front of libusb: the
// sanitizer runtime first when this build has one, then the stand-in.
std::string UsbBusPreload();
// True when libusb calls of this process go to the virtual bus.
bool UsbBusLoaded();
// Call first in main(): runs the program again with the bus preloaded unless
// it already is, so that the library's real USB code talks to the bus.
void ReexecWithUsbBus(char** argv);

// One device on a bus directory: writes its device file and serves its byte
// pipe on a thread of its own, recording what the host sent.
class UsbBusDevice {
public:
    UsbBusDevice(const std::string& dir, const std::string& name);
    ~UsbBusDevice();
    UsbBusDevice(const UsbBusDevice&) = delete;
    UsbBusDevice& operator=(const UsbBusDevice&) = delete;

    // (Re)writes the device file ("key = value" lines); re-arms counted faults.
    void Configure(const std::string& lines);
    // Bytes for the host, sent on the current (or next) connection.
    void Send(const std::string& bytes);
    // Everything the host sent so far, once at least count bytes arrived
    // (or the time-out passed).
    std::string Received(size_t count, int timeoutMs = 5000);
    // Connections accepted so far (one per claim of the interface), once
    // there are at least count (or the time-out passed).
    int Connections(int count = 0, int timeoutMs = 5000);
    // Drops the current connection, as an unplugged device would.
    void Disconnect();
    // The stand-in's call log ("log = yes"), one call per line.
    std::vector<std::string> Log() const;

private:
    void Serve();
    void Wake();

    std::string dir_;
    std::string name_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::mutex lock_;
    std::condition_variable changed_;
    std::string received_;
    std::string outgoing_;
    int connections_ = 0;
    bool disconnect_ = false;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace testsupport

#endif
