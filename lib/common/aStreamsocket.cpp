#include "aStreamsocket.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>

#include "aTime.h"

#define aSOCKET_CHECK 0xDEAD
#define aSOCKET_CONNECTED 0x1
#define aSOCKET_CLOSE_PAUSE_MS 10
#define aSOCKET_RECEIVE_CHUNK 512

// The reading and the writing thread share the descriptor and may both meet a
// broken connection. Each side has its own lock, so a request going out never
// waits for the reader (nor the reader for it): readLock guards the reader's
// use of the descriptor, writeLock the writer's.
// Closing and reconnecting take both (readLock first), so one side never
// closes a descriptor the other is using; the descriptor, the flags and the
// generation change only then and may be read under either lock. A side that
// finds the generation moved on uses the renewed connection instead of
// renewing it again.
struct aSocketStream {
    int32_t port;
    struct sockaddr_in address;
    int socket;        // -1 when closed
    int32_t flags;     // aSOCKET_CONNECTED
    uint32_t generation;   // moves on whenever the descriptor is replaced
    uint16_t check;    // aSOCKET_CHECK while valid
    std::mutex readLock;
    std::mutex writeLock;
    // Bytes received but not yet handed out: one recv() serves a whole frame
    // instead of one per byte. Only the reader touches them, so handing out a
    // held byte takes no lock; bytes taken in before the writer renewed the
    // connection are still handed out (they did arrive).
    uint8_t received[aSOCKET_RECEIVE_CHUNK];
    size_t next;       // index of the next byte to hand out
    size_t filled;     // bytes held in received
    // The background reader sleeps in this epoll set, not on the socket, so a
    // thread that reads in its place can close the gate without waking it.
    // gateIsOpen changes under readLock; the socket is registered while the
    // gate is open, except once its peer has closed (it would stay readable
    // with nothing to read), and again whenever the descriptor is replaced.
    int gate;          // epoll descriptor, -1 when none
    bool gateIsOpen;
    bool socketInGate; // the current socket is registered in gate
    int wake;          // eventfd in the gate whatever its state, -1 when none
    // Connections the peer ended, each counted once: a reconnecting stream
    // hides them from reads, and a module that restarts is seen by them.
    // Counted under readLock; read by anyone.
    std::atomic<uint32_t> losses;
    uint32_t lostGeneration;   // the connection last counted
};

// The gate's registrations: the socket carries 0, the wake-up eventfd this.
static const uint64_t kGateWakeEvent = 1;

#define aVALIDSS(s) ((s) != NULL && (s)->check == aSOCKET_CHECK)

static bool sIsBrokenConnection(int err)
{
    return err == ECONNRESET || err == ENOTCONN || err == ETIMEDOUT;
}

static bool sWouldBlock(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// The peer ended the current connection. readLock held.
static void sSocketStreamNoteLoss(aSocketStream* ss)
{
    if (ss->lostGeneration == ss->generation)
        return;
    ss->lostGeneration = ss->generation;
    ss->losses.fetch_add(1, std::memory_order_release);
}

// pause: before a reconnect, give the peer a moment to let the old
// connection go; a stream being deleted has nothing to wait for.
static void sSocketStreamClose(aSocketStream* ss, bool pause)
{
    if (ss->socket < 0)
        return;
    ss->flags &= ~aSOCKET_CONNECTED;
    close(ss->socket);   // which also takes it out of the gate
    ss->socket = -1;
    ss->socketInGate = false;
    if (pause)
        aTime_MSSleep(aSOCKET_CLOSE_PAUSE_MS);
}

static aErr sSocketStreamSetOptions(int sock)
{
    int on = 1;
    struct timeval noTimeout = {0, 0};
    struct linger resetOnClose = {1, 0};
    if (setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0
        || setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) != 0
        || setsockopt(sock, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) != 0
        || ioctl(sock, FIONBIO, &on) != 0)
        return aErrIO;
    return aErrNone;
}

// Whether the peer closed the current connection in an orderly way (or it
// broke and was not renewed yet). readLock held.
static bool sSocketStreamPeerGone(const aSocketStream* ss)
{
    return ss->lostGeneration == ss->generation;
}

// Puts the socket behind the gate, or takes it out. A closed gate holds no
// registration at all: epoll reports hang-ups and errors whatever events are
// asked for. readLock held.
static aErr sSocketStreamGateRegister(aSocketStream* ss, bool in)
{
    if (ss->socket < 0 || ss->socketInGate == in)
        return aErrNone;
    struct epoll_event event = {};
    event.events = EPOLLIN;
    int done = epoll_ctl(ss->gate, in ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, ss->socket, in ? &event : NULL);
    if (done != 0)
        return aErrIO;
    ss->socketInGate = in;
    return aErrNone;
}

// Connects, or reconnects after closing the current socket. Both locks held.
static aErr sSocketStreamReset(aSocketStream* ss)
{
    if (!aVALIDSS(ss))
        return aErrInitialization;
    sSocketStreamClose(ss, true);
    ss->generation++;

    ss->socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ss->socket < 0)
        return aErrIO;
    if (connect(ss->socket, reinterpret_cast<const sockaddr*>(&ss->address), sizeof ss->address) != 0) {
        int err = errno;
        sSocketStreamClose(ss, true);
        bool refused = err == EAGAIN || err == ECONNRESET || err == ETIMEDOUT || err == ECONNREFUSED;
        return refused ? aErrConnection : aErrIO;
    }
    ss->flags |= aSOCKET_CONNECTED;
    aErr err = sSocketStreamSetOptions(ss->socket);
    if (err == aErrNone && ss->gateIsOpen)
        err = sSocketStreamGateRegister(ss, true);
    if (err != aErrNone)
        sSocketStreamClose(ss, true);
    return err;
}

// One recv() into the receive buffer: aErrNone with bytes held, aErrNotReady
// when nothing is waiting, or the error. A peer that closed in an orderly way
// has nothing to read, and nothing to reconnect to until a write finds the
// connection broken (*knownClosed: that close had been seen before); a
// broken connection is renewed once. readLock held, buffer empty.
static aErr sSocketStreamFill(aSocketStream* ss, bool mayReset, bool* knownClosed)
{
    ssize_t n = recv(ss->socket, ss->received, sizeof ss->received, 0);
    if (n > 0) {
        ss->filled = static_cast<size_t>(n);
        ss->next = 0;
        return aErrNone;
    }
    if (n == 0) {
        if (knownClosed)
            *knownClosed = sSocketStreamPeerGone(ss);
        sSocketStreamNoteLoss(ss);
        // The gated sleeper would be woken by the closed socket over and
        // over; it waits for the renewed one instead.
        sSocketStreamGateRegister(ss, false);
        return aErrNotReady;
    }
    int err = errno;
    if (sWouldBlock(err))
        return aErrNotReady;
    if (!sIsBrokenConnection(err) || !mayReset)
        return aErrConnection;
    sSocketStreamNoteLoss(ss);
    aErr reset;
    {
        // readLock is held, so the connection cannot have been renewed meanwhile.
        std::lock_guard<std::mutex> writing(ss->writeLock);
        ss->flags &= ~aSOCKET_CONNECTED;
        reset = sSocketStreamReset(ss);
    }
    if (reset != aErrNone)
        return reset;
    return sSocketStreamFill(ss, false, knownClosed);
}

static aErr sSocketStreamGet(uint8_t* byte, void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    if (ss->next >= ss->filled) {
        std::lock_guard<std::mutex> guard(ss->readLock);
        if (!(ss->flags & aSOCKET_CONNECTED))
            return aErrConnection;
        aErr err = sSocketStreamFill(ss, true, NULL);
        if (err != aErrNone)
            return err;
    }
    *byte = ss->received[ss->next++];
    return aErrNone;
}

// Renews a connection the writer found broken, unless the reader renewed it
// since the writer used generation seen. writeLock not held.
static aErr sSocketStreamRenewForWriter(aSocketStream* ss, uint32_t seen)
{
    std::lock_guard<std::mutex> reading(ss->readLock);
    std::lock_guard<std::mutex> writing(ss->writeLock);
    if (ss->generation != seen)
        return aErrNone;
    sSocketStreamNoteLoss(ss);
    ss->flags &= ~aSOCKET_CONNECTED;
    return sSocketStreamReset(ss);
}

// One send round. Returns aErrNone and advances *sent, or aErrNotReady when the
// send buffer is full or the connection was renewed, or the error that ends
// the write. Locks taken here.
static aErr sSocketStreamSendRound(aSocketStream* ss, const uint8_t* data, size_t length,
                                   size_t* sent, bool* reconnected)
{
    uint32_t seen;
    {
        std::lock_guard<std::mutex> guard(ss->writeLock);
        if (!(ss->flags & aSOCKET_CONNECTED))
            return aErrConnection;
        ssize_t n = send(ss->socket, data + *sent, length - *sent, MSG_NOSIGNAL);
        if (n >= 0) {
            *sent += static_cast<size_t>(n);
            return aErrNone;
        }
        int err = errno;
        if (sWouldBlock(err))
            return aErrNotReady;
        if (err != EPIPE && err != ECONNRESET && err != ENOTCONN)
            return aErrIO;
        seen = ss->generation;
    }
    // Both locks are needed to renew, readLock first: writeLock is let go above.
    aErr reset = sSocketStreamRenewForWriter(ss, seen);
    if (reset != aErrNone)
        return reset;
    *reconnected = true;
    return aErrNotReady;
}

static aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    size_t sent = 0;
    uint8_t retry = 0;
    for (;;) {
        size_t before = sent;
        bool reconnected = false;
        aErr err = sSocketStreamSendRound(ss, data, length, &sent, &reconnected);
        if (err != aErrNone && err != aErrNotReady)
            return err;
        if (sent == length)
            return aErrNone;
        if (sent > before)
            retry = 1;
        else
            retry++;
        // Bytes still unsent after the last round: the frame is cut short on
        // the wire, so the caller must not take this for a complete send.
        if (retry >= aSOCKET_MAX_SEND_RETRY)
            return aErrWrite;
        aTime_MSSleep(aSOCKET_RETRY_DELAY_MS);
    }
}

static aErr sSocketStreamPut(const uint8_t* byte, void* reference)
{
    return sSocketStreamWrite(byte, 1, reference);
}

// Sleeps in poll() until bytes (or a failure for get to report) arrive. An
// orderly closed peer keeps the socket readable while get has nothing to give,
// so once that close has been reported (the reader is woken for it once, to
// see the loss count move) this sleeps out the time-out instead.
static aErr sSocketStreamWait(uint32_t timeoutMs, void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    int sock;
    uint32_t generation;
    {
        std::lock_guard<std::mutex> guard(ss->readLock);
        if (ss->next < ss->filled || !(ss->flags & aSOCKET_CONNECTED))
            return aErrNone;
        sock = ss->socket;
        generation = ss->generation;
    }
    struct pollfd pfd = {sock, POLLIN, 0};
    int timeout = timeoutMs > INT32_MAX ? INT32_MAX : static_cast<int>(timeoutMs);
    int ready = poll(&pfd, 1, timeout);
    if (ready == 0)
        return aErrTimeout;
    if (ready < 0 || (pfd.revents & (POLLERR | POLLNVAL)))
        return aErrNone;
    // Take what arrived right away: the read that follows finds it held.
    bool knownClosed = false;
    {
        std::lock_guard<std::mutex> guard(ss->readLock);
        // A descriptor renewed while polling may carry the same number.
        if (ss->generation != generation || ss->next < ss->filled || !(ss->flags & aSOCKET_CONNECTED))
            return aErrNone;
        sSocketStreamFill(ss, true, &knownClosed);
    }
    if (knownClosed) {
        aTime_MSSleep(timeoutMs);
        return aErrTimeout;
    }
    // Bytes held, or a failure for the read to report.
    return aErrNone;
}

static aErr sSocketStreamGateWait(uint32_t timeoutMs, void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    struct epoll_event events[2];
    int timeout = timeoutMs > INT32_MAX ? INT32_MAX : static_cast<int>(timeoutMs);
    int ready = epoll_wait(ss->gate, events, 2, timeout);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return aErrTimeout;
    for (int i = 0; i < ready; i++) {
        if (events[i].data.u64 == kGateWakeEvent) {
            uint64_t count;
            if (read(ss->wake, &count, sizeof count) < 0) {
                // Already taken by another wait: nothing left to clear.
            }
        }
    }
    return aErrNone;
}

static aErr sSocketStreamGateWake(void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    uint64_t one = 1;
    return write(ss->wake, &one, sizeof one) == static_cast<ssize_t>(sizeof one) ? aErrNone : aErrIO;
}

static aErr sSocketStreamGateOpen(bool open, void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrParam;
    std::lock_guard<std::mutex> guard(ss->readLock);
    ss->gateIsOpen = open;
    return sSocketStreamGateRegister(ss, open && !sSocketStreamPeerGone(ss));
}

// Only the reading side calls it, as it alone touches the receive buffer.
static bool sSocketStreamGateHeld(void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    return aVALIDSS(ss) && ss->next < ss->filled;
}

static uint32_t sSocketStreamLosses(void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    return aVALIDSS(ss) ? ss->losses.load(std::memory_order_acquire) : 0;
}

static void sSocketStreamRelease(aSocketStream* ss)
{
    if (ss->gate >= 0)
        close(ss->gate);
    ss->gate = -1;
    if (ss->wake >= 0)
        close(ss->wake);
    ss->wake = -1;
    ss->flags = 0;
    ss->check = 0;
    delete ss;
}

static aErr sSocketStreamDelete(void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrIO;
    {
        std::lock_guard<std::mutex> reading(ss->readLock);
        std::lock_guard<std::mutex> writing(ss->writeLock);
        sSocketStreamClose(ss, false);
    }
    sSocketStreamRelease(ss);
    return aErrNone;
}

aErr sSocketStreamAcceptDelete(void* reference)
{
    aSocketStream* ss = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(ss))
        return aErrIO;
    sSocketStreamRelease(ss);
    return aErrNone;
}

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream)
{
    if (!stream)
        return aErrParam;
    *stream = NULL;
    aSocketStream* ss = new (std::nothrow) aSocketStream();
    if (!ss)
        return aErrResource;
    ss->port = port;
    ss->address.sin_family = AF_INET;
    ss->address.sin_port = htons(port);
    ss->address.sin_addr.s_addr = address;
    ss->socket = -1;
    ss->check = aSOCKET_CHECK;
    ss->gateIsOpen = true;
    ss->gate = epoll_create1(EPOLL_CLOEXEC);
    ss->wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    struct epoll_event wakeEvent = {};
    wakeEvent.events = EPOLLIN;
    wakeEvent.data.u64 = kGateWakeEvent;
    if (ss->gate < 0 || ss->wake < 0 || epoll_ctl(ss->gate, EPOLL_CTL_ADD, ss->wake, &wakeEvent) != 0) {
        sSocketStreamRelease(ss);
        return aErrResource;
    }

    aErr err;
    {
        std::lock_guard<std::mutex> reading(ss->readLock);
        std::lock_guard<std::mutex> writing(ss->writeLock);
        err = sSocketStreamReset(ss);
    }
    aStreamRef created = NULL;
    if (err == aErrNone)
        created = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                 sSocketStreamDelete, ss);
    if (!created) {
        sSocketStreamDelete(ss);
        return aErrResource;
    }
    aStream_SetWait(created, sSocketStreamWait);
    aStream_SetGate(created, sSocketStreamGateWait, sSocketStreamGateOpen, sSocketStreamGateHeld,
                    sSocketStreamGateWake);
    aStream_SetLosses(created, sSocketStreamLosses);
    *stream = created;
    return aErrNone;
}
