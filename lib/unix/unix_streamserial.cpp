#include "unix_streamserial.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#define aSERIAL_CHECK 0xBEEF

typedef struct aSerialStream {
    int32_t rateIndex;
    char path[aSERIAL_MAXPATH + 1];
    int descriptor;             // -1 when closed
    bool haveSaved;             // saved holds the line's settings from before opening
    struct termios saved;
    struct termios settings;
    uint16_t check;             // aSERIAL_CHECK while valid
} aSerialStream;

#define aVALIDSS(s) ((s) != NULL && (s)->check == aSERIAL_CHECK)

static const struct {
    speed_t speed;
    uint32_t rate;
} kSerialRates[aSERIAL_RATE_COUNT] = {
    {B2400, 2400}, {B4800, 4800}, {B9600, 9600}, {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

static bool sRateIndexValid(int32_t rateIndex)
{
    return rateIndex >= 0 && rateIndex < aSERIAL_RATE_COUNT;
}

uint32_t aSerial_RateOfIndex(int32_t rateIndex)
{
    return sRateIndexValid(rateIndex) ? kSerialRates[rateIndex].rate : 0;
}

static aErr sSerialStreamGet(uint8_t* byte, void* reference)
{
    aSerialStream* ss = static_cast<aSerialStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    ssize_t n = read(ss->descriptor, byte, 1);
    if (n == 1)
        return aErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return aErrNotReady;
    return aErrIO;
}

static aErr sSerialStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    aSerialStream* ss = static_cast<aSerialStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    ssize_t n = write(ss->descriptor, data, length);
    if (n < 0 || static_cast<size_t>(n) != length)
        return aErrIO;
    // Wait until the bytes have left, so a caller that changes the line or
    // closes it next does not cut them off.
    tcdrain(ss->descriptor);
    return aErrNone;
}

static aErr sSerialStreamPut(const uint8_t* byte, void* reference)
{
    return sSerialStreamWrite(byte, 1, reference);
}

static aErr sSerialStreamWait(uint32_t timeoutMs, void* reference)
{
    aSerialStream* ss = static_cast<aSerialStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    struct pollfd pfd = {ss->descriptor, POLLIN, 0};
    int timeout = timeoutMs > INT32_MAX ? INT32_MAX : static_cast<int>(timeoutMs);
    return poll(&pfd, 1, timeout) == 0 ? aErrTimeout : aErrNone;
}

static aErr sSerialStreamDelete(void* reference)
{
    aSerialStream* ss = static_cast<aSerialStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    aErr err = aErrNone;
    if (ss->descriptor >= 0) {
        if (ss->haveSaved)
            tcsetattr(ss->descriptor, TCSANOW, &ss->saved);
        if (close(ss->descriptor) != 0)
            err = aErrIO;
        ss->descriptor = -1;
        memset(&ss->settings, 0, sizeof ss->settings);
    }
    ss->check = 0;
    free(ss);
    return err;
}

void aSerial_ComposeSettings(struct termios* settings, int32_t rateIndex, bool parity, int32_t dataBits,
                             int32_t stopBits)
{
    settings->c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    settings->c_oflag = 0;
    settings->c_lflag = 0;
    settings->c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7)
                        | (stopBits == 1 ? CSTOPB : 0);
    speed_t speed = sRateIndexValid(rateIndex) ? kSerialRates[rateIndex].speed : B0;
    cfsetispeed(settings, speed);
    cfsetospeed(settings, speed);
    // A read returns at once with whatever is there.
    settings->c_cc[VMIN] = 0;
    settings->c_cc[VTIME] = 0;
}

static aErr sStreamOpenSerial(aSerialStream* ss, bool parity, int32_t dataBits, int32_t stopBits)
{
    // Non-blocking only while opening, so absent modem lines do not hold us.
    ss->descriptor = open(ss->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ss->descriptor < 0) {
        if (errno == ENOENT)
            return aErrNotFound;
        return errno == EACCES ? aErrPermission : aErrIO;
    }
    if (fcntl(ss->descriptor, F_SETFL, 0) != 0)
        return aErrIO;
    if (tcgetattr(ss->descriptor, &ss->saved) != 0)
        return aErrIO;
    ss->haveSaved = true;
    ss->settings = ss->saved;
    aSerial_ComposeSettings(&ss->settings, ss->rateIndex, parity, dataBits, stopBits);
    if (tcsetattr(ss->descriptor, TCSANOW, &ss->settings) != 0)
        return aErrIO;
    if (tcflush(ss->descriptor, TCIOFLUSH) != 0)
        return aErrIO;
    return aErrNone;
}

aErr aStream_CreateSerial(const char* path, int32_t rateIndex, bool parity, int32_t dataBits,
                          int32_t stopBits, aStreamRef* stream)
{
    if (!path || !stream || (dataBits != 0 && dataBits != 1) || (stopBits != 0 && stopBits != 1))
        return aErrResource;
    *stream = NULL;
    aSerialStream* ss = static_cast<aSerialStream*>(calloc(1, sizeof(aSerialStream)));
    if (!ss)
        return aErrResource;
    ss->rateIndex = rateIndex;
    strncpy(ss->path, path, aSERIAL_MAXPATH);
    ss->descriptor = -1;
    ss->check = aSERIAL_CHECK;
    aStreamRef created = aStream_Create(sSerialStreamGet, sSerialStreamPut, sSerialStreamWrite,
                                        sSerialStreamDelete, ss);
    if (!created) {
        free(ss);
        return aErrResource;
    }
    aStream_SetWait(created, sSerialStreamWait);

    aErr err = sStreamOpenSerial(ss, parity, dataBits, stopBits);
    if (err != aErrNone) {
        aStream_Destroy(&created);
        return err;
    }
    *stream = created;
    return aErrNone;
}
