#ifndef _lxusb_context_H_
#define _lxusb_context_H_

#include <libusb.h>

// The process-wide libusb context, shared by every USB stream and by USB
// discovery. It is created on first need and lives until the process ends.
// A machine where libusb cannot start has no context and so no USB modules.

// The context, or null when none exists (not yet needed, or libusb failed).
libusb_context* Lumastrix_libusb_context(void);
// Creates the context with libusb_init unless it exists; safe from any thread.
// A failed start leaves none, and the next call tries again.
void Lumastrix_libusb_init(void);
// libusb_exit on the context and clears it. Nothing in the library calls it.
void Lumastrix_libusb_exit(void);

#endif
