#ifndef _unix_streamusb_H_
#define _unix_streamusb_H_

#include <stdint.h>
#include "aStream.h"

// A stream over one USB module found by its serial number: through the
// maker's kernel driver node when it exists, else through libusb. Reads
// through libusb wait up to one second in the transfer itself; the kernel
// node path offers the stream's wait operation (poll on the node).
//
// aErrParam for serial number 0 or a null out pointer; aErrNotFound when no
// module with that serial-number string is attached (also on a machine
// without USB); aErrConfiguration when its interface lacks an endpoint;
// aErrBusy / aErrPermission when the interface cannot be claimed.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);

#endif
