#include "unix_streamusb.h"

#include <stdio.h>
#include <stdlib.h>

#include "lxusb_driver.h"

#define aUSBSTREAM_CHECK 0xDEAD

typedef struct aUSBStream {
    uint32_t serialNumber;
    lxusb_device* device;
    uint16_t check;   // aUSBSTREAM_CHECK while valid
} aUSBStream;

#define aVALIDUSBS(s) ((s) != NULL && (s)->check == aUSBSTREAM_CHECK)

static aErr sUSBStreamGet(uint8_t* byte, void* reference)
{
    aUSBStream* us = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(us))
        return aErrParam;
    return lxusb_get_from_device(us->device, byte);
}

static aErr sUSBStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    aUSBStream* us = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(us))
        return aErrParam;
    return lxusb_write_to_device(us->device, data, length);
}

static aErr sUSBStreamPut(const uint8_t* byte, void* reference)
{
    return sUSBStreamWrite(byte, 1, reference);
}

static aErr sUSBStreamWait(uint32_t timeoutMs, void* reference)
{
    aUSBStream* us = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(us))
        return aErrParam;
    return lxusb_wait_for_device(us->device, timeoutMs);
}

static aErr sUSBStreamDelete(void* reference)
{
    aUSBStream* us = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(us))
        return aErrParam;
    aErr err = lxusb_close_lumastrix_device(us->device);
    if (err == aErrNone) {
        lxusb_destroy(&us->device);
        us->check = 0;
        free(us);
    }
    return err;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream)
{
    if (!stream || serialNumber == 0)
        return aErrParam;
    *stream = NULL;
    bool kernelNode = lxusb_is_kernel_driver_installed(serialNumber);
    aUSBStream* us = static_cast<aUSBStream*>(calloc(1, sizeof(aUSBStream)));
    if (!us)
        return aErrMemory;
    us->serialNumber = serialNumber;
    us->check = aUSBSTREAM_CHECK;

    char serialText[LXUSB_SERIAL_TEXT_SIZE];
    snprintf(serialText, sizeof serialText, LUMASTRIX_USB_SERIAL_FORMAT, serialNumber);
    us->device = lxusb_create_usb(kernelNode ? 0 : 1);
    if (!us->device) {
        free(us);
        return aErrResource;
    }
    aErr err = lxusb_open_lumastrix_device(us->device, serialText);
    if (err != aErrNone) {
        lxusb_destroy(&us->device);
        free(us);
        return err;
    }
    aStreamRef created = aStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite,
                                        sUSBStreamDelete, us);
    if (!created) {
        lxusb_close_lumastrix_device(us->device);
        lxusb_destroy(&us->device);
        free(us);
        return aErrMemory;
    }
    if (kernelNode)
        aStream_SetWait(created, sUSBStreamWait);
    *stream = created;
    return aErrNone;
}
