// A module restarting (into its loader, or into new firmware): it is gone for
// the restart-delay and then comes back where it was. Hosts see their links
// close, the USB device leave the bus and the TCP port refuse connections; a
// module behind a router simply stops answering on the router's bus, since
// the router itself did not restart.

#include <chrono>

#include "EventLoop.h"
#include "LinkService.h"
#include "UsbAttachment.h"
#include "VirtualModule.h"

namespace vmodule {

namespace {

// How soon a module whose port was taken while it was away tries again.
constexpr std::chrono::milliseconds kListenRetry{100};

}  // namespace

void VirtualModule::Restart(const std::string& into, std::function<void()> start)
{
    if (restartTimer_)
        loop_.Cancel(restartTimer_);
    Note("restart into " + into + " in " + std::to_string(config_.restartDelayMs) + " ms");
    state_.absent = true;
    state_.system = state_.saved;
    state_.routeToMe = false;
    // Service and device first: a host that sees its link close must not
    // find the module still there.
    if (usb_)
        usb_->Detach();
    if (tcp_) {
        tcp_->Close();
        Note("tcp closed");
    }
    if (!IsChild())
        CloseLinks("restart into " + into);
    restartTimer_ = loop_.After(std::chrono::milliseconds(config_.restartDelayMs), [this, start = std::move(start)] {
        restartTimer_ = 0;
        start();
        ComeBack();
    });
}

void VirtualModule::ComeBack()
{
    state_.absent = false;
    if (usb_) {
        std::string error;
        if (!usb_->Reattach(error))
            Note("usb not back: " + error);
    }
    if (tcp_)
        ListenAgain(true);
    Note("back");
}

void VirtualModule::ListenAgain(bool firstTry)
{
    std::string error;
    if (tcp_->ListenAgain(error)) {
        Note("tcp open " + tcp_->Where());
        return;
    }
    if (firstTry)
        Note("tcp not back, trying every 100 ms: " + error);
    restartTimer_ = loop_.After(kListenRetry, [this] {
        restartTimer_ = 0;
        ListenAgain(false);
    });
}

}  // namespace vmodule
