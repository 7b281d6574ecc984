#include "lxusb_context.h"

#include <atomic>
#include <mutex>

static std::atomic<libusb_context*> sContext{nullptr};
static std::mutex sContextLock;

libusb_context* Lumastrix_libusb_context(void)
{
    return sContext.load();
}

void Lumastrix_libusb_init(void)
{
    std::lock_guard<std::mutex> guard(sContextLock);
    if (sContext.load())
        return;
    libusb_context* context = nullptr;
    if (libusb_init(&context) == LIBUSB_SUCCESS)
        sContext.store(context);
}

void Lumastrix_libusb_exit(void)
{
    std::lock_guard<std::mutex> guard(sContextLock);
    libusb_context* context = sContext.exchange(nullptr);
    if (context)
        libusb_exit(context);
}
