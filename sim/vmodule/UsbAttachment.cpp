#include "UsbAttachment.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "EventLoop.h"
#include "VirtualModule.h"
#include "lxusb_identity.h"
#include "usbbus_control.h"

namespace vmodule {

UsbAttachment::~UsbAttachment()
{
    Detach();
}

bool UsbAttachment::Attach(const std::string& busDir, std::string& error)
{
    Detach();
    dir_ = busDir;
    name_ = Hex8(module_.Config().serial);
    fd_ = usbbus::ListenDevice(dir_, name_);
    if (fd_ >= 0)
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    if (fd_ < 0) {
        error = "cannot listen on " + usbbus::SocketPath(dir_, name_) + ": " + strerror(errno);
        return false;
    }
    char identity[128];
    snprintf(identity, sizeof identity, "vendor = 0x%04X\nproduct = 0x%04X\nserial = " LUMASTRIX_USB_SERIAL_FORMAT "\n",
             LUMASTRIX_USB_VENDOR_ID, module_.Config().model & LUMASTRIX_USB_MODEL_MASK,
             static_cast<unsigned>(module_.Config().serial));
    if (!usbbus::WriteDevice(dir_, name_, identity)) {
        error = "cannot write " + usbbus::DevicePath(dir_, name_) + ": " + strerror(errno);
        close(fd_);
        fd_ = -1;
        unlink(usbbus::SocketPath(dir_, name_).c_str());
        return false;
    }
    watch_ = loop_.Watch(fd_, [this] { OnClaim(); });
    module_.Note("usb attached " + usbbus::DevicePath(dir_, name_));
    return true;
}

void UsbAttachment::Detach()
{
    if (fd_ < 0)
        return;
    usbbus::RemoveDevice(dir_, name_);
    loop_.Unwatch(watch_);
    close(fd_);
    fd_ = -1;
    unlink(usbbus::SocketPath(dir_, name_).c_str());
    module_.Note("usb detached");
}

void UsbAttachment::OnClaim()
{
    int fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0)
        return;
    module_.AddLink(fd, "usb", name_);
}

}  // namespace vmodule
