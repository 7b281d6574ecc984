#ifndef VMODULE_USBATTACHMENT_H
#define VMODULE_USBATTACHMENT_H

// A module on the virtual USB bus: a device file that shows the module's USB
// identity (the maker's vendor id, the model in the product id, the serial
// number as eight hex digits, the module interface with its two bulk
// endpoints) and a socket on which each claim of the interface arrives as one
// byte pipe, served as a link like a TCP connection.

#include <string>

namespace vmodule {

class EventLoop;
class VirtualModule;

class UsbAttachment {
public:
    UsbAttachment(EventLoop& loop, VirtualModule& module) : loop_(loop), module_(module) {}
    ~UsbAttachment();
    UsbAttachment(const UsbAttachment&) = delete;
    UsbAttachment& operator=(const UsbAttachment&) = delete;

    // Listens first and then shows the device, so a host that lists it can
    // claim it at once.
    bool Attach(const std::string& busDir, std::string& error);
    // Takes the device off the bus; open pipes stay until their links close.
    void Detach();
    // Back on the bus it was on (a module coming back from a restart).
    bool Reattach(std::string& error)
    {
        std::string dir = dir_;
        return Attach(dir, error);
    }
    // The device's name on the bus.
    const std::string& Name() const { return name_; }

private:
    void OnClaim();

    EventLoop& loop_;
    VirtualModule& module_;
    std::string dir_;
    std::string name_;
    int fd_ = -1;
    int watch_ = 0;
};

}  // namespace vmodule

#endif
