#ifndef _lxusb_driver_H_
#define _lxusb_driver_H_

#include <stdint.h>
#include <libusb.h>

#include <atomic>

#include "aError.h"
#include "lxusb_identity.h"

// One module's USB byte pipe, reached either through the maker's kernel
// driver node or through libusb in user space (fixed at creation).
//
// One thread reads (IN endpoint, read buffer) while another writes (OUT
// endpoint, its own buffer); state and error count are shared by both.

#define LXUSB_SERIAL_TEXT_SIZE 52
#define LXUSB_READ_BUFFER_SIZE 800     // bytes asked for per IN transfer
#define LXUSB_READ_TIMEOUT_MS 1000
#define LXUSB_WRITE_CHUNK 50           // bytes per OUT transfer
#define LXUSB_WRITE_TIMEOUT_MS 50
#define LXUSB_WRITE_MAX_ATTEMPTS 100   // OUT chunk attempts per write, successful ones included
#define LXUSB_SERIAL_DESCRIPTOR_MAX 50 // bytes read of the serial-number string
#define LXUSB_TOLERATED_IO_ERRORS 4    // consecutive I/O errors absorbed before failing
#define LXUSB_KERNEL_MAX_WRITES 1000   // write() calls per kernel-node write

// Device record states.
enum {
    LXUSB_STATE_NONE = 0,      // never created
    LXUSB_STATE_CREATED = 1,
    LXUSB_STATE_CLOSED = 2,    // after close or a failed open
    LXUSB_STATE_OPENED = 3,    // device open, interface not yet claimed
    LXUSB_STATE_READY = 4,     // interface claimed: the only state with transfers
    LXUSB_STATE_FAILED = 5     // I/O error tolerance exhausted
};

typedef struct lxusb_device {
    int32_t use_libusb;                  // 1 libusb path, 0 kernel driver path
    char serial[LXUSB_SERIAL_TEXT_SIZE]; // the serial text as opened
    int fd;                              // kernel node; -1 when closed
    libusb_device_handle* handle;        // libusb path; null when closed
    std::atomic<int32_t> state;
    uint8_t interface_number;
    uint8_t out_endpoint;
    uint8_t in_endpoint;
    uint8_t read_buffer[LXUSB_READ_BUFFER_SIZE];
    int32_t available;                   // bytes of read_buffer not yet handed out
    uint8_t* cursor;                     // next byte of read_buffer to hand out
    std::atomic<uint8_t> error_count;    // consecutive aErrIO results
} lxusb_device;

// Maker's vendor id, product id below 0x8000, device descriptor readable.
bool is_lumastrix_device(libusb_device* device);
// Finds the module interface and its bulk IN and OUT endpoints; 0 or a
// negative libusb error (LIBUSB_ERROR_NO_DEVICE when an endpoint is missing).
int find_usb_endpoints(lxusb_device* device);
// True when the kernel driver's node for the serial number exists.
bool lxusb_is_kernel_driver_installed(uint32_t serialNumber);
// Path of the kernel driver's node for a serial text, in the node directory.
void lxusb_kernel_node_path(const char* serialText, char* path, size_t size);

// A zeroed record in state created; for the libusb path it starts the
// process-wide libusb context when none exists. Null only without memory.
lxusb_device* lxusb_create_usb(int32_t useLibusb);
aErr lxusb_destroy(lxusb_device** device);

aErr lxusb_open_lumastrix_device(lxusb_device* device, const char* serialText);
aErr lxusb_open_lumastrix_USBlib_device(lxusb_device* device, const char* serialText);
aErr lxusb_open_lumastrix_kernel_device(lxusb_device* device, const char* serialText);

aErr lxusb_write_to_device(lxusb_device* device, const uint8_t* data, size_t length);
aErr lxusb_write_to_USBlib_device(lxusb_device* device, const uint8_t* data, size_t length);
aErr lxusb_write_to_kernel_device(lxusb_device* device, const uint8_t* data, size_t length);

// One byte: aErrNone with the byte stored, aErrNotReady when none is there
// now (also after an absorbed I/O error or an empty transfer: never aErrNone
// without a byte), or the failure.
aErr lxusb_get_from_device(lxusb_device* device, uint8_t* byte);
aErr lxusb_get_from_USBlib_device(lxusb_device* device, uint8_t* byte);
aErr lxusb_get_from_kernel_device(lxusb_device* device, uint8_t* byte);

aErr lxusb_close_lumastrix_device(lxusb_device* device);
aErr lxusb_close_lumastrix_USBlib_device(lxusb_device* device);
aErr lxusb_close_lumastrix_kernel_device(lxusb_device* device);

// Kernel path: sleeps in poll() until the node is readable (aErrNone) or the
// time-out passes (aErrTimeout). aErrMode on the libusb path, whose reads
// themselves wait up to LXUSB_READ_TIMEOUT_MS.
aErr lxusb_wait_for_device(lxusb_device* device, uint32_t timeoutMs);

#endif
