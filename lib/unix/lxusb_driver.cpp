#include "lxusb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "aDebug.h"
#include "aFile.h"
#include "lxusb_context.h"

// ---------------------------------------------------------------------------
// Identity

bool is_lumastrix_device(libusb_device* device)
{
    struct libusb_device_descriptor descriptor;
    if (!device || libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS)
        return false;
    return descriptor.idVendor == LUMASTRIX_USB_VENDOR_ID
           && (descriptor.idProduct & LUMASTRIX_USB_PRODUCT_NOT_MODULE) == 0;
}

static bool sIsModuleInterface(const struct libusb_interface_descriptor* setting)
{
    return setting->bInterfaceClass == LUMASTRIX_USB_INTERFACE_CLASS
           && setting->bInterfaceSubClass == LUMASTRIX_USB_INTERFACE_SUBCLASS
           && setting->bInterfaceProtocol == LUMASTRIX_USB_INTERFACE_PROTOCOL;
}

int find_usb_endpoints(lxusb_device* device)
{
    libusb_device* usbDevice = libusb_get_device(device->handle);
    struct libusb_device_descriptor descriptor;
    int err = libusb_get_device_descriptor(usbDevice, &descriptor);
    if (err != LIBUSB_SUCCESS)
        return err;
    struct libusb_config_descriptor* config = NULL;
    err = libusb_get_config_descriptor(usbDevice, 0, &config);
    if (err != LIBUSB_SUCCESS)
        return err;

    uint8_t in = 0, out = 0;
    for (int i = 0; i < config->bNumInterfaces; i++) {
        const struct libusb_interface* interface = &config->interface[i];
        for (int a = 0; a < interface->num_altsetting; a++) {
            const struct libusb_interface_descriptor* setting = &interface->altsetting[a];
            if (!sIsModuleInterface(setting))
                continue;
            device->interface_number = setting->bInterfaceNumber;
            for (int e = 0; e < setting->bNumEndpoints; e++) {
                const struct libusb_endpoint_descriptor* endpoint = &setting->endpoint[e];
                if (!(endpoint->bmAttributes & 0x02))   // bulk or interrupt
                    continue;
                if (endpoint->bEndpointAddress & LIBUSB_ENDPOINT_IN)
                    in = endpoint->bEndpointAddress;
                else
                    out = endpoint->bEndpointAddress;
            }
        }
    }
    libusb_free_config_descriptor(config);
    device->in_endpoint = in;
    device->out_endpoint = out;
    return in && out ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

void lxusb_kernel_node_path(const char* serialText, char* path, size_t size)
{
    const char* dir = getenv(LUMASTRIX_NODE_DIR_ENV);
    if (!dir || !*dir)
        dir = LUMASTRIX_NODE_DIR;
    snprintf(path, size, "%s/" LUMASTRIX_NODE_PREFIX "%s", dir, serialText);
}

bool lxusb_is_kernel_driver_installed(uint32_t serialNumber)
{
    char serialText[LXUSB_SERIAL_TEXT_SIZE];
    char path[aFILE_MAXPATH + 1];
    snprintf(serialText, sizeof serialText, LUMASTRIX_USB_SERIAL_FORMAT, serialNumber);
    lxusb_kernel_node_path(serialText, path, sizeof path);
    return aFile_Exists(path);
}

// ---------------------------------------------------------------------------
// Record

lxusb_device* lxusb_create_usb(int32_t useLibusb)
{
    lxusb_device* device = new (std::nothrow) lxusb_device();
    if (!device)
        return NULL;
    device->use_libusb = useLibusb ? 1 : 0;
    device->fd = -1;
    device->state = LXUSB_STATE_CREATED;
    device->error_count = 0;
    if (device->use_libusb) {
        Lumastrix_libusb_init();
        device->cursor = device->read_buffer;
    }
    return device;
}

aErr lxusb_destroy(lxusb_device** holder)
{
    if (!holder || !*holder)
        return aErrParam;
    lxusb_device* device = *holder;
    if (device->handle)
        libusb_close(device->handle);
    if (device->fd >= 0)
        close(device->fd);
    delete device;
    *holder = NULL;
    return aErrNone;
}

// Four consecutive I/O errors are absorbed (the fifth fails the device for
// good): a transfer that fails once in a while must not bring a link down.
static aErr _handleErrorTolerance(lxusb_device* device, aErr result)
{
    if (result != aErrIO) {
        device->error_count = 0;
        return result;
    }
    uint8_t before = device->error_count.fetch_add(1);
    if (before < LXUSB_TOLERATED_IO_ERRORS)
        return aErrNone;
    device->error_count = LXUSB_TOLERATED_IO_ERRORS + 1;   // no wrap-around
    device->state = LXUSB_STATE_FAILED;
    return aErrIO;
}

// ---------------------------------------------------------------------------
// Dispatch

aErr lxusb_open_lumastrix_device(lxusb_device* device, const char* serialText)
{
    if (!device || !serialText)
        return aErrParam;
    return device->use_libusb ? lxusb_open_lumastrix_USBlib_device(device, serialText)
                              : lxusb_open_lumastrix_kernel_device(device, serialText);
}

aErr lxusb_write_to_device(lxusb_device* device, const uint8_t* data, size_t length)
{
    if (!device || !data)
        return aErrParam;
    return device->use_libusb ? lxusb_write_to_USBlib_device(device, data, length)
                              : lxusb_write_to_kernel_device(device, data, length);
}

aErr lxusb_get_from_device(lxusb_device* device, uint8_t* byte)
{
    if (!device || !byte)
        return aErrParam;
    return device->use_libusb ? lxusb_get_from_USBlib_device(device, byte)
                              : lxusb_get_from_kernel_device(device, byte);
}

aErr lxusb_close_lumastrix_device(lxusb_device* device)
{
    if (!device)
        return aErrParam;
    return device->use_libusb ? lxusb_close_lumastrix_USBlib_device(device)
                              : lxusb_close_lumastrix_kernel_device(device);
}

// ---------------------------------------------------------------------------
// libusb path

static aErr sMapClaimError(int err)
{
    switch (err) {
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_NO_DEVICE: return aErrBusy;
    case LIBUSB_ERROR_ACCESS: return aErrPermission;
    default: return aErrUnknown;
    }
}

// Opens the device when it is a module whose serial-number string is exactly
// the serial text; null otherwise.
static libusb_device_handle* sOpenIfSerialMatches(libusb_device* usbDevice, const char* serialText)
{
    libusb_device_handle* handle = NULL;
    if (!is_lumastrix_device(usbDevice) || libusb_open(usbDevice, &handle) != LIBUSB_SUCCESS)
        return NULL;
    struct libusb_device_descriptor descriptor;
    unsigned char text[LXUSB_SERIAL_DESCRIPTOR_MAX + 1] = {0};
    if (libusb_get_device_descriptor(usbDevice, &descriptor) == LIBUSB_SUCCESS
        && descriptor.iSerialNumber != 0
        && libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                              LXUSB_SERIAL_DESCRIPTOR_MAX) >= 0
        && strcmp(reinterpret_cast<const char*>(text), serialText) == 0)
        return handle;
    libusb_close(handle);
    return NULL;
}

// Finds the endpoints and claims the interface of a freshly opened module.
static aErr sClaimModuleInterface(lxusb_device* device)
{
    if (find_usb_endpoints(device) != LIBUSB_SUCCESS)
        return aErrConfiguration;
    int err = libusb_claim_interface(device->handle, device->interface_number);
    return err == LIBUSB_SUCCESS ? aErrNone : sMapClaimError(err);
}

aErr lxusb_open_lumastrix_USBlib_device(lxusb_device* device, const char* serialText)
{
    if (!device || !serialText)
        return aErrParam;
    if (!device->use_libusb)
        return aErrMode;
    if (device->state == LXUSB_STATE_NONE)
        return aErrResource;
    libusb_context* context = Lumastrix_libusb_context();
    if (!context)
        return aErrNotFound;   // no USB on this machine: no modules either

    libusb_device** list = NULL;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0)
        return aErrNotFound;
    libusb_device_handle* handle = NULL;
    for (ssize_t i = 0; i < count && !handle; i++)
        handle = sOpenIfSerialMatches(list[i], serialText);

    aErr err = aErrNotFound;
    if (handle) {
        snprintf(device->serial, sizeof device->serial, "%s", serialText);
        device->handle = handle;
        device->state = LXUSB_STATE_OPENED;
        err = sClaimModuleInterface(device);
        if (err == aErrNone) {
            device->available = 0;
            device->cursor = device->read_buffer;
            device->error_count = 0;
            device->state = LXUSB_STATE_READY;
        } else {
            device->state = LXUSB_STATE_CLOSED;
            libusb_close(device->handle);
            device->handle = NULL;
        }
    }
    libusb_free_device_list(list, 1);
    return err;
}

aErr lxusb_close_lumastrix_USBlib_device(lxusb_device* device)
{
    if (!device)
        return aErrParam;
    if (!device->use_libusb || !device->handle)
        return aErrMode;
    libusb_release_interface(device->handle, device->interface_number);
    libusb_close(device->handle);
    device->handle = NULL;
    device->state = LXUSB_STATE_CLOSED;
    device->interface_number = 0;
    device->in_endpoint = 0;
    device->out_endpoint = 0;
    return aErrNone;
}

// The state tells whether a transfer may be tried now; aErrNone when it may.
static aErr sTransferStateCheck(lxusb_device* device, const char* message)
{
    int32_t state = device->state;
    switch (state) {
    case LXUSB_STATE_READY: return aErrNone;
    case LXUSB_STATE_CLOSED: return aErrConnection;
    case LXUSB_STATE_CREATED:
    case LXUSB_STATE_OPENED: return aErrNotReady;
    default:
        aDebug_Trace(aDEBUG_USB, message, state);
        return aErrIO;
    }
}

static bool sHandOutByte(lxusb_device* device, uint8_t* byte)
{
    if (device->available <= 0)
        return false;
    *byte = *device->cursor++;
    device->available--;
    return true;
}

// One IN transfer into the read buffer: aErrNone with the received bytes
// available (possibly none), aErrNotReady when nothing came, or aErrIO.
static aErr sReadTransfer(lxusb_device* device)
{
    int received = 0;
    int err = libusb_bulk_transfer(device->handle, device->in_endpoint, device->read_buffer,
                                   LXUSB_READ_BUFFER_SIZE, &received, LXUSB_READ_TIMEOUT_MS);
    if (err == LIBUSB_ERROR_PIPE) {
        libusb_clear_halt(device->handle, device->in_endpoint);
        return aErrNotReady;
    }
    if (err == LIBUSB_ERROR_TIMEOUT && received == 0)
        return aErrNotReady;
    if (err != LIBUSB_SUCCESS && err != LIBUSB_ERROR_TIMEOUT) {
        aDebug_Trace(aDEBUG_USB, "libusb READ error bulk transfer: %d\n", err);
        return aErrIO;
    }
    device->cursor = device->read_buffer;
    device->available = received;
    return aErrNone;
}

aErr lxusb_get_from_USBlib_device(lxusb_device* device, uint8_t* byte)
{
    if (!device || !byte)
        return aErrParam;
    if (!device->use_libusb)
        return aErrMode;
    if (sHandOutByte(device, byte))
        return aErrNone;
    aErr err = sTransferStateCheck(device, "libusb READ error dev state: %d\n");
    if (err == aErrNone)
        err = sReadTransfer(device);
    err = _handleErrorTolerance(device, err);
    // An absorbed error or an empty transfer leaves no byte: "not ready"
    // keeps the stream's promise that aErrNone always delivers one.
    if (err == aErrNone && !sHandOutByte(device, byte))
        err = aErrNotReady;
    return err;
}

// Bytes a transfer reports as gone out, within what was offered.
static size_t sMoved(int transferred, size_t offered)
{
    return transferred > 0 ? (static_cast<size_t>(transferred) < offered ? static_cast<size_t>(transferred) : offered) : 0;
}

// One attempt at a chunk of at most LXUSB_WRITE_CHUNK bytes; *moved tells how
// many of its bytes went out. aErrNone when all did, aErrIO after a failure,
// aErrNotReady after a cleared halt (no failure, just try again).
static aErr sWriteChunk(lxusb_device* device, const uint8_t* data, size_t length, size_t* moved)
{
    uint8_t chunk[LXUSB_WRITE_CHUNK] = {0};
    memcpy(chunk, data, length);
    int sent = 0;
    int err = libusb_bulk_transfer(device->handle, device->out_endpoint, chunk,
                                   static_cast<int>(length), &sent, LXUSB_WRITE_TIMEOUT_MS);
    *moved = err == LIBUSB_SUCCESS ? length : sMoved(sent, length);
    if (err == LIBUSB_SUCCESS)
        return aErrNone;
    if (err == LIBUSB_ERROR_PIPE) {
        int cleared = libusb_clear_halt(device->handle, device->out_endpoint);
        if (cleared == LIBUSB_SUCCESS)
            return aErrNotReady;
        aDebug_Trace(aDEBUG_USB, "libusb WRITE error clearing halt: %d\n", cleared);
        return aErrIO;
    }
    // One immediate second try for the part that did not go out.
    int more = 0;
    err = libusb_bulk_transfer(device->handle, device->out_endpoint, chunk + *moved,
                               static_cast<int>(length - *moved), &more, LXUSB_WRITE_TIMEOUT_MS);
    *moved = err == LIBUSB_SUCCESS ? length : *moved + sMoved(more, length - *moved);
    if (err == LIBUSB_SUCCESS)
        return aErrNone;
    aDebug_Trace(aDEBUG_USB, "libusb WRITE error bulk transfer: %d\n", err);
    return aErrIO;
}

aErr lxusb_write_to_USBlib_device(lxusb_device* device, const uint8_t* data, size_t length)
{
    if (!device || !data)
        return aErrParam;
    if (!device->use_libusb)
        return aErrMode;
    aErr result = sTransferStateCheck(device, "libusb WRITE error dev state: %d\n");
    if (result == aErrNone) {
        size_t sent = 0;
        for (int attempts = 0; sent < length && attempts < LXUSB_WRITE_MAX_ATTEMPTS; attempts++) {
            size_t chunk = length - sent < LXUSB_WRITE_CHUNK ? length - sent : LXUSB_WRITE_CHUNK;
            size_t moved = 0;
            aErr err = sWriteChunk(device, data + sent, chunk, &moved);
            // Only what did not go out is tried again: a byte sent twice
            // would corrupt the frame it belongs to.
            sent += moved;
            if (err == aErrIO)
                result = aErrIO;   // stays so even when later chunks go out
        }
        if (sent < length)
            result = aErrWrite;
    }
    return _handleErrorTolerance(device, result);
}

// ---------------------------------------------------------------------------
// Kernel driver path

aErr lxusb_open_lumastrix_kernel_device(lxusb_device* device, const char* serialText)
{
    if (!device || !serialText)
        return aErrParam;
    if (device->use_libusb)
        return aErrMode;
    snprintf(device->serial, sizeof device->serial, "%s", serialText);
    char path[aFILE_MAXPATH + 1];
    lxusb_kernel_node_path(device->serial, path, sizeof path);
    device->fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (device->fd < 0) {
        device->state = LXUSB_STATE_CLOSED;
        return errno == EBUSY ? aErrBusy : aErrIO;
    }
    device->state = LXUSB_STATE_READY;
    return aErrNone;
}

aErr lxusb_get_from_kernel_device(lxusb_device* device, uint8_t* byte)
{
    if (!device || !byte)
        return aErrParam;
    if (device->use_libusb || device->fd < 0)
        return aErrMode;
    ssize_t n = read(device->fd, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0 || errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

aErr lxusb_write_to_kernel_device(lxusb_device* device, const uint8_t* data, size_t length)
{
    if (!device || !data)
        return aErrParam;
    if (device->use_libusb || device->fd < 0)
        return aErrMode;
    size_t sent = 0;
    for (int calls = 0; sent < length && calls < LXUSB_KERNEL_MAX_WRITES; calls++) {
        ssize_t n = write(device->fd, data + sent, length - sent);
        if (n < 0)
            return aErrIO;
        sent += static_cast<size_t>(n);
    }
    return sent == length ? aErrNone : aErrIO;
}

aErr lxusb_close_lumastrix_kernel_device(lxusb_device* device)
{
    if (!device)
        return aErrParam;
    if (device->use_libusb)
        return aErrMode;
    if (device->fd < 0)
        return aErrNone;
    int fd = device->fd;
    device->fd = -1;
    if (close(fd) != 0)
        return aErrCancel;
    device->state = LXUSB_STATE_CLOSED;
    return aErrNone;
}

aErr lxusb_wait_for_device(lxusb_device* device, uint32_t timeoutMs)
{
    if (!device)
        return aErrParam;
    if (device->use_libusb || device->fd < 0)
        return aErrMode;
    struct pollfd pfd = {device->fd, POLLIN, 0};
    int timeout = timeoutMs > INT32_MAX ? INT32_MAX : static_cast<int>(timeoutMs);
    return poll(&pfd, 1, timeout) == 0 ? aErrTimeout : aErrNone;
}
