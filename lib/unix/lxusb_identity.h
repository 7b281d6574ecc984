#ifndef _lxusb_identity_H_
#define _lxusb_identity_H_

// How a module shows itself on USB, and where the maker's kernel driver puts
// its device nodes. Plain constants, shared with the virtual USB bus in sim/.

// The maker's USB vendor id; a build may set its own with -DLUMASTRIX_USB_VENDOR_ID=0x....
#ifndef LUMASTRIX_USB_VENDOR_ID
#define LUMASTRIX_USB_VENDOR_ID 0x2F9E
#endif
// A module's product id has bit 15 clear; its low byte is the module's model number.
#define LUMASTRIX_USB_PRODUCT_NOT_MODULE 0x8000
#define LUMASTRIX_USB_MODEL_MASK 0x00FF

// The module interface that carries the byte stream on one bulk IN and one bulk OUT endpoint.
#define LUMASTRIX_USB_INTERFACE_CLASS 0xFF      // vendor specific
#define LUMASTRIX_USB_INTERFACE_SUBCLASS 0x88
#define LUMASTRIX_USB_INTERFACE_PROTOCOL 0x10

// The serial-number string: the 32-bit serial number as eight upper-case hex digits.
#define LUMASTRIX_USB_SERIAL_FORMAT "%08X"
#define LUMASTRIX_USB_SERIAL_LENGTH 8

// Kernel driver node of a module: <dir>/lumastrix.<serial text>. The directory
// is /dev; tests point it elsewhere with the environment variable below.
#define LUMASTRIX_NODE_DIR "/dev"
#define LUMASTRIX_NODE_DIR_ENV "QUORVEL_USB_NODE_DIR"
#define LUMASTRIX_NODE_PREFIX "lumastrix."

#endif
