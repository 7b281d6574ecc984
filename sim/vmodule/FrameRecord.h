#ifndef VMODULE_FRAMERECORD_H
#define VMODULE_FRAMERECORD_H

// The traffic record tests read. One line per event, flushed at once, so a
// test that has seen a reply on the wire finds the lines that led to it:
//   rx <seconds> <frame bytes in hex>      a frame from the host
//   tx <seconds> <frame bytes in hex>      a frame to the host
//   ev <seconds> <serial> <what happened>  link opened/closed, bytes dropped,
//                                          heartbeat checks, route control, ...
// <seconds> counts from the program's start with microsecond resolution; frame
// bytes are address, length and data as two upper-case hex digits each.

#include <cstdio>
#include <memory>
#include <string>

#include "Frame.h"

namespace vmodule {

class FrameRecord {
public:
    // Several modules may name one file; they then share one writer.
    static std::shared_ptr<FrameRecord> Open(const std::string& path, std::string& error);
    explicit FrameRecord(FILE* file) : file_(file) {}  // takes the file over
    ~FrameRecord();
    FrameRecord(const FrameRecord&) = delete;
    FrameRecord& operator=(const FrameRecord&) = delete;

    void Received(const Frame& frame);
    void Sent(const Frame& frame);
    void Event(uint32_t serial, const std::string& text);

private:
    void Line(const char* kind, const std::string& rest);

    FILE* file_;
};

// Seconds since the program started, for record lines and tests alike.
double SecondsSinceStart();
std::string HexBytes(const std::string& bytes);

}  // namespace vmodule

#endif
