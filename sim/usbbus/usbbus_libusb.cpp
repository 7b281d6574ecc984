// The libusb functions the USB transport and USB discovery call, answered by
// the virtual bus instead of hardware. Loaded with LD_PRELOAD these
// definitions take the place of libusb's own; nothing else changes in the
// program that uses them.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "usbbus_control.h"
#include "usbbus_device.h"

using usbbus::Counted;
using usbbus::DeviceConfig;

struct libusb_context {
    int unused;
};

struct libusb_device {
    std::atomic<int> references{1};
    DeviceConfig config;   // as listed; faults and logging read the file afresh
    uint8_t busNumber = 1;
    uint8_t address = 0;
};

struct libusb_device_handle {
    libusb_device* device = nullptr;
    std::mutex lock;                  // guards the claim
    int claimed = -1;                 // claimed interface number, or -1
    std::atomic<int> pipe{-1};        // the device program's byte pipe while claimed
    int claimLock = -1;               // flock()ed "<name>.claim" while claimed
    std::atomic<bool> inHalted{false};
    std::atomic<bool> outHalted{false};
};

extern "C" const char* quorvel_usbbus_version(void)
{
    return "quorvel-usbbus 1";
}

namespace {

libusb_context gDefaultContext;

DeviceConfig Config(const libusb_device* device)
{
    DeviceConfig config;
    if (usbbus::CurrentConfig(device->config.dir, device->config.name, &config))
        return config;
    return device->config;   // detached: it still looks as it did
}

template <typename... Args>
void Log(const libusb_device* device, const char* format, Args... args)
{
    usbbus::LogCall(device->config.dir, device->config.name, format, args...);
}

std::vector<std::string> DeviceNames(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = dir.empty() ? nullptr : opendir(dir.c_str());
    if (!d)
        return names;
    const std::string suffix = usbbus::kDeviceSuffix;
    while (struct dirent* entry = readdir(d)) {
        std::string file = entry->d_name;
        if (file.size() > suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(file.substr(0, file.size() - suffix.size()));
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

int ConnectPipe(const std::string& path)
{
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// Lock held.
void ReleaseClaim(libusb_device_handle* handle)
{
    int pipe = handle->pipe.exchange(-1);
    if (pipe >= 0)
        close(pipe);
    if (handle->claimLock >= 0)
        close(handle->claimLock);   // drops the flock
    handle->claimLock = -1;
    handle->claimed = -1;
}

int64_t NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Milliseconds left before the deadline for poll(); -1 without a deadline.
int Remaining(int64_t deadline)
{
    if (deadline < 0)
        return -1;
    int64_t left = deadline - NowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

int ReadIn(int pipe, unsigned char* data, int length, int* transferred, int64_t deadline)
{
    struct pollfd pfd = {pipe, POLLIN, 0};
    int ready;
    do
        ready = poll(&pfd, 1, Remaining(deadline));
    while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return LIBUSB_ERROR_TIMEOUT;
    ssize_t n = read(pipe, data, static_cast<size_t>(length));
    if (n == 0)
        return LIBUSB_ERROR_NO_DEVICE;   // the device's program went away: unplugged
    if (n < 0)
        return LIBUSB_ERROR_IO;
    *transferred = static_cast<int>(n);
    return LIBUSB_SUCCESS;
}

int WriteOut(int pipe, const unsigned char* data, int length, int* transferred, int64_t deadline)
{
    while (*transferred < length) {
        struct pollfd pfd = {pipe, POLLOUT, 0};
        int ready = poll(&pfd, 1, Remaining(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return LIBUSB_ERROR_TIMEOUT;
        ssize_t n = send(pipe, data + *transferred, static_cast<size_t>(length - *transferred),
                         MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (n < 0)
            return errno == EPIPE || errno == ECONNRESET ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_ERROR_IO;
        *transferred += static_cast<int>(n);
    }
    return LIBUSB_SUCCESS;
}

int TransferIn(libusb_device_handle* handle, const DeviceConfig& config, int pipe, unsigned char* data,
               int length, int* transferred, int64_t deadline)
{
    const std::string& dir = config.dir;
    const std::string& name = config.name;
    if (handle->inHalted)
        return LIBUSB_ERROR_PIPE;
    if (usbbus::TakeFault(dir, name, Counted::InStall)) {
        handle->inHalted = true;
        return LIBUSB_ERROR_PIPE;
    }
    if (usbbus::TakeFault(dir, name, Counted::InError))
        return config.inErrorCode;
    int err = ReadIn(pipe, data, length, transferred, deadline);
    if (err == LIBUSB_SUCCESS && usbbus::TakeFault(dir, name, Counted::InTimeoutData))
        return LIBUSB_ERROR_TIMEOUT;
    return err;
}

int TransferOut(libusb_device_handle* handle, const DeviceConfig& config, int pipe, const unsigned char* data,
                int length, int* transferred, int64_t deadline)
{
    const std::string& dir = config.dir;
    const std::string& name = config.name;
    if (handle->outHalted)
        return LIBUSB_ERROR_PIPE;
    if (usbbus::TakeFault(dir, name, Counted::OutStall)) {
        handle->outHalted = true;
        return LIBUSB_ERROR_PIPE;
    }
    if (usbbus::TakeFault(dir, name, Counted::OutError))
        return config.outErrorCode;
    if (usbbus::TakeFault(dir, name, Counted::OutTimeout))
        return LIBUSB_ERROR_TIMEOUT;
    if (usbbus::TakeFault(dir, name, Counted::OutTimeoutPartial)) {
        int err = WriteOut(pipe, data, length / 2, transferred, deadline);
        return err == LIBUSB_SUCCESS ? LIBUSB_ERROR_TIMEOUT : err;
    }
    return WriteOut(pipe, data, length, transferred, deadline);
}

// One bus-sized block holding a configuration descriptor and what it points at.
struct ConfigBlock {
    libusb_config_descriptor config;
    libusb_interface interfaces[2];
    libusb_interface_descriptor settings[2];
    libusb_endpoint_descriptor endpoints[2][2];
};

void FillEndpoint(libusb_endpoint_descriptor* e, uint8_t address, uint8_t attributes)
{
    memset(e, 0, sizeof *e);
    e->bLength = LIBUSB_DT_ENDPOINT_SIZE;
    e->bDescriptorType = LIBUSB_DT_ENDPOINT;
    e->bEndpointAddress = address;
    e->bmAttributes = attributes;
    e->wMaxPacketSize = 64;
}

void FillSetting(libusb_interface_descriptor* s, uint8_t number, uint8_t cls, uint8_t sub, uint8_t proto,
                 libusb_endpoint_descriptor* endpoints, uint8_t count)
{
    memset(s, 0, sizeof *s);
    s->bLength = LIBUSB_DT_INTERFACE_SIZE;
    s->bDescriptorType = LIBUSB_DT_INTERFACE;
    s->bInterfaceNumber = number;
    s->bInterfaceClass = cls;
    s->bInterfaceSubClass = sub;
    s->bInterfaceProtocol = proto;
    s->bNumEndpoints = count;
    s->endpoint = endpoints;
}

ConfigBlock* BuildConfig(const DeviceConfig& c)
{
    ConfigBlock* b = new ConfigBlock();
    int n = 0;
    if (c.extraInterface) {
        // A communications-class interface with an interrupt IN endpoint: not
        // the module's, and walked past by whoever looks for the module's.
        FillEndpoint(&b->endpoints[n][0], 0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT);
        FillSetting(&b->settings[n], static_cast<uint8_t>(c.interfaceNumber + 1), 0x02, 0x02, 0x01,
                    b->endpoints[n], 1);
        n++;
    }
    uint8_t count = 0;
    if (c.inEndpoint)
        FillEndpoint(&b->endpoints[n][count++], c.inEndpoint, LIBUSB_TRANSFER_TYPE_BULK);
    if (c.outEndpoint)
        FillEndpoint(&b->endpoints[n][count++], c.outEndpoint, LIBUSB_TRANSFER_TYPE_BULK);
    FillSetting(&b->settings[n], c.interfaceNumber, c.interfaceClass, c.interfaceSubClass, c.interfaceProtocol,
                b->endpoints[n], count);
    n++;
    for (int i = 0; i < n; i++) {
        b->interfaces[i].altsetting = &b->settings[i];
        b->interfaces[i].num_altsetting = 1;
    }
    b->config.bLength = LIBUSB_DT_CONFIG_SIZE;
    b->config.bDescriptorType = LIBUSB_DT_CONFIG;
    b->config.bNumInterfaces = static_cast<uint8_t>(n);
    b->config.bConfigurationValue = 1;
    b->config.bmAttributes = 0x80;
    b->config.MaxPower = 50;
    b->config.interface = b->interfaces;
    return b;
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** context)
{
    int err = usbbus::BusInitError(usbbus::BusDir());
    if (err != LIBUSB_SUCCESS)
        return err;
    if (context)
        *context = new libusb_context();
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* context)
{
    if (context && context != &gDefaultContext)
        delete context;
}

int LIBUSB_CALL libusb_set_option(libusb_context*, enum libusb_option, ...)
{
    return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_set_debug(libusb_context*, int) {}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context*, libusb_device*** list)
{
    if (!list)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::string dir = usbbus::BusDir();
    std::vector<libusb_device*> devices;
    for (const std::string& name : DeviceNames(dir)) {
        libusb_device* device = new libusb_device();
        if (!usbbus::ParseDeviceFile(dir, name, &device->config)) {
            delete device;   // removed while we looked
            continue;
        }
        device->address = static_cast<uint8_t>(devices.size() + 1);
        devices.push_back(device);
    }
    *list = new libusb_device*[devices.size() + 1];
    std::copy(devices.begin(), devices.end(), *list);
    (*list)[devices.size()] = nullptr;
    return static_cast<ssize_t>(devices.size());
}

libusb_device* LIBUSB_CALL libusb_ref_device(libusb_device* device)
{
    if (device)
        device->references++;
    return device;
}

void LIBUSB_CALL libusb_unref_device(libusb_device* device)
{
    if (device && --device->references == 0)
        delete device;
}

void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unrefDevices)
{
    if (!list)
        return;
    if (unrefDevices)
        for (libusb_device** d = list; *d; d++)
            libusb_unref_device(*d);
    delete[] list;
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* device)
{
    return device->busNumber;
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* device)
{
    return device->address;
}

uint8_t LIBUSB_CALL libusb_get_port_number(libusb_device* device)
{
    return device->address;
}

int LIBUSB_CALL libusb_get_device_speed(libusb_device*)
{
    return LIBUSB_SPEED_FULL;
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* device, struct libusb_device_descriptor* descriptor)
{
    if (!device || !descriptor)
        return LIBUSB_ERROR_INVALID_PARAM;
    DeviceConfig config = Config(device);
    if (config.descriptorError)
        return config.descriptorError;
    memset(descriptor, 0, sizeof *descriptor);
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bMaxPacketSize0 = 64;
    descriptor->idVendor = config.vendor;
    descriptor->idProduct = config.product;
    descriptor->bcdDevice = 0x0100;
    descriptor->iManufacturer = 1;
    descriptor->iProduct = 2;
    descriptor->iSerialNumber = config.hasSerial ? 3 : 0;
    descriptor->bNumConfigurations = 1;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* device, uint8_t index,
                                             struct libusb_config_descriptor** config)
{
    if (!device || !config)
        return LIBUSB_ERROR_INVALID_PARAM;
    DeviceConfig c = Config(device);
    if (c.configError)
        return c.configError;
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    *config = &BuildConfig(c)->config;
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_get_active_config_descriptor(libusb_device* device, struct libusb_config_descriptor** config)
{
    return libusb_get_config_descriptor(device, 0, config);
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor* config)
{
    // The descriptor is the first member of the block it was built in.
    delete reinterpret_cast<ConfigBlock*>(config);
}

int LIBUSB_CALL libusb_open(libusb_device* device, libusb_device_handle** handle)
{
    if (!device || !handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    DeviceConfig config = Config(device);
    Log(device, "open %s", usbbus::ErrorName(config.openError));
    if (config.openError)
        return config.openError;
    *handle = new libusb_device_handle();
    (*handle)->device = libusb_ref_device(device);
    return LIBUSB_SUCCESS;
}

libusb_device_handle* LIBUSB_CALL libusb_open_device_with_vid_pid(libusb_context* context, uint16_t vendor,
                                                                 uint16_t product)
{
    libusb_device** list = nullptr;
    libusb_device_handle* handle = nullptr;
    if (libusb_get_device_list(context, &list) < 0)
        return nullptr;
    for (libusb_device** d = list; *d && !handle; d++)
        if ((*d)->config.vendor == vendor && (*d)->config.product == product && libusb_open(*d, &handle) != 0)
            handle = nullptr;
    libusb_free_device_list(list, 1);
    return handle;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle)
{
    if (!handle)
        return;
    {
        std::lock_guard<std::mutex> guard(handle->lock);
        ReleaseClaim(handle);
    }
    Log(handle->device, "close");
    libusb_unref_device(handle->device);
    delete handle;
}

libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* handle)
{
    return handle ? handle->device : nullptr;
}

int LIBUSB_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                   unsigned char* data, int length)
{
    if (!handle || !data || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    DeviceConfig config = Config(handle->device);
    if (config.stringError)
        return config.stringError;
    const std::string* text = nullptr;
    if (index == 1)
        text = &config.manufacturer;
    else if (index == 2)
        text = &config.productName;
    else if (index == 3 && config.hasSerial)
        text = &config.serial;
    if (!text)
        return LIBUSB_ERROR_INVALID_PARAM;
    int count = std::min(static_cast<int>(text->size()), length - 1);
    memcpy(data, text->data(), static_cast<size_t>(count));
    data[count] = '\0';
    return count;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle*, int)
{
    return 0;
}

int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle*, int)
{
    return LIBUSB_ERROR_NOT_FOUND;
}

int LIBUSB_CALL libusb_set_auto_detach_kernel_driver(libusb_device_handle*, int)
{
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int number)
{
    if (!handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    DeviceConfig config = Config(handle->device);
    std::lock_guard<std::mutex> guard(handle->lock);
    int err = config.claimError;
    if (!err && number != config.interfaceNumber)
        err = LIBUSB_ERROR_NOT_FOUND;
    if (!err && handle->claimed == number) {
        Log(handle->device, "claim %d ok", number);
        return LIBUSB_SUCCESS;
    }
    if (!err) {
        // One claim of a device at a time, across processes as on a real bus.
        std::string lockPath = config.dir + "/" + config.name + usbbus::kClaimSuffix;
        handle->claimLock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (handle->claimLock < 0 || flock(handle->claimLock, LOCK_EX | LOCK_NB) != 0)
            err = LIBUSB_ERROR_BUSY;
    }
    if (!err) {
        handle->pipe = ConnectPipe(config.socketPath);
        if (handle->pipe < 0)
            err = LIBUSB_ERROR_NO_DEVICE;   // nobody serves the device
    }
    if (err)
        ReleaseClaim(handle);
    else
        handle->claimed = number;
    Log(handle->device, "claim %d %s", number, usbbus::ErrorName(err));
    return err;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int number)
{
    if (!handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    std::lock_guard<std::mutex> guard(handle->lock);
    if (handle->claimed != number)
        return LIBUSB_ERROR_NOT_FOUND;
    ReleaseClaim(handle);
    Log(handle->device, "release %d", number);
    return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint)
{
    if (!handle)
        return LIBUSB_ERROR_INVALID_PARAM;
    DeviceConfig config = Config(handle->device);
    int err = config.clearHaltError;
    if (!err && endpoint != config.inEndpoint && endpoint != config.outEndpoint)
        err = LIBUSB_ERROR_NOT_FOUND;
    if (!err)
        (endpoint & LIBUSB_ENDPOINT_IN ? handle->inHalted : handle->outHalted) = false;
    Log(handle->device, "clear_halt 0x%02x %s", endpoint, usbbus::ErrorName(err));
    return err;
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                     int length, int* transferred, unsigned int timeout)
{
    int moved = 0;
    if (transferred)
        *transferred = 0;
    if (!handle || length < 0 || (!data && length > 0))
        return LIBUSB_ERROR_INVALID_PARAM;
    DeviceConfig config = Config(handle->device);
    bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    int pipe = handle->pipe;
    int64_t deadline = timeout ? NowMs() + timeout : -1;
    int err;
    if (endpoint == 0 || endpoint != (in ? config.inEndpoint : config.outEndpoint) || pipe < 0)
        err = LIBUSB_ERROR_NOT_FOUND;   // no such endpoint, or the interface is not claimed
    else if (in)
        err = TransferIn(handle, config, pipe, data, length, &moved, deadline);
    else
        err = TransferOut(handle, config, pipe, data, length, &moved, deadline);
    if (transferred)
        *transferred = moved;
    Log(handle->device, "%s 0x%02x %d %s %d", in ? "in" : "out", endpoint, length, usbbus::ErrorName(err), moved);
    return err;
}

int LIBUSB_CALL libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                          int length, int* transferred, unsigned int timeout)
{
    return libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
}

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle*, uint8_t, uint8_t, uint16_t, uint16_t,
                                        unsigned char*, uint16_t, unsigned int)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle*)
{
    return LIBUSB_ERROR_NOT_SUPPORTED;
}

const char* LIBUSB_CALL libusb_error_name(int error)
{
    switch (error) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    default: return "LIBUSB_ERROR_OTHER";
    }
}

const char* LIBUSB_CALL libusb_strerror(int error)
{
    return libusb_error_name(error);
}

}  // extern "C"
