#include "HostLink.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "EventLoop.h"
#include "VirtualModule.h"

namespace vmodule {

namespace {

// A host that stops reading while the module keeps talking loses its link
// rather than the program its memory.
constexpr size_t kMaxUnsent = 1 << 20;

}  // namespace

HostLink::HostLink(VirtualModule& module, EventLoop& loop, int id, int fd, std::string kind, std::string peer)
    : module_(module),
      loop_(loop),
      id_(id),
      fd_(fd),
      kind_(std::move(kind)),
      peer_(std::move(peer)),
      assembler_([this](const Frame& frame) {
                     if (IsOpen()) {
                         ++framesReceived;
                         module_.Receive(*this, frame);
                     }
                 },
                 [this](const std::string& bytes) {
                     module_.Note("link " + std::to_string(id_) + " dropped " + HexBytes(bytes));
                 })
{
    watch_ = loop_.Watch(fd_, [this] { OnReadable(); });
}

HostLink::~HostLink()
{
    if (fd_ >= 0) {
        loop_.Unwatch(watch_);
        close(fd_);
    }
}

void HostLink::OnReadable()
{
    uint8_t buffer[4096];
    ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n > 0) {
        assembler_.Feed(buffer, static_cast<size_t>(n));
        return;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    Close(n == 0 ? "closed by host" : std::string("read failed: ") + strerror(errno));
}

void HostLink::Send(const Frame& frame)
{
    if (!IsOpen())
        return;
    if (!strayByteSent && module_.Fault("stray-byte")) {
        strayByteSent = true;
        SendRaw(std::string(1, '\x03'));
    }
    module_.RecordSent(frame);
    Write(frame.Wire());
}

void HostLink::SendRaw(const std::string& bytes)
{
    if (!IsOpen())
        return;
    module_.Note("link " + std::to_string(id_) + " raw " + HexBytes(bytes));
    Write(bytes);
}

void HostLink::Write(const std::string& bytes)
{
    if (unsent_.empty()) {
        ssize_t n = send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = write(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Close(std::string("write failed: ") + strerror(errno));
            return;
        }
        size_t written = n > 0 ? static_cast<size_t>(n) : 0;
        if (written == bytes.size())
            return;
        unsent_.assign(bytes, written, std::string::npos);
        loop_.WantWrite(watch_, [this] { OnWritable(); });
        return;
    }
    if (unsent_.size() + bytes.size() > kMaxUnsent) {
        Close("host does not read");
        return;
    }
    unsent_ += bytes;
}

void HostLink::OnWritable()
{
    ssize_t n = send(fd_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK)
        n = write(fd_, unsent_.data(), unsent_.size());
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            Close(std::string("write failed: ") + strerror(errno));
        return;
    }
    unsent_.erase(0, static_cast<size_t>(n));
    if (unsent_.empty())
        loop_.WantWrite(watch_, nullptr);
}

void HostLink::Close(const std::string& why)
{
    if (!IsOpen())
        return;
    loop_.Unwatch(watch_);
    close(fd_);
    fd_ = -1;
    unsent_.clear();
    module_.Note("link " + std::to_string(id_) + " closed " + why);
    module_.LinkClosed(*this);
}

}  // namespace vmodule
