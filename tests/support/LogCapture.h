#ifndef QUORVEL_LOG_CAPTURE_H
#define QUORVEL_LOG_CAPTURE_H

// Collects debug log lines of the given packages for the lifetime of the
// object, then restores the log's stream and mask.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"

class LogCapture {
public:
    explicit LogCapture(uint32_t packages)
        : previousStream_(Log::fh), previousMask_(Log::package_bitmask)
    {
        stream_ = open_memstream(&buffer_, &size_);
        Log::package_bitmask = packages;
        Log::SetOutput(stream_);
    }
    ~LogCapture()
    {
        Log::SetOutput(previousStream_);
        Log::package_bitmask = previousMask_;
        if (stream_)
            fclose(stream_);
        free(buffer_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text()
    {
        if (!stream_)
            return std::string();
        fflush(stream_);
        return std::string(buffer_, size_);
    }
    bool contains(const std::string& part) { return text().find(part) != std::string::npos; }

private:
    FILE* previousStream_;
    uint32_t previousMask_;
    FILE* stream_ = nullptr;
    char* buffer_ = nullptr;
    size_t size_ = 0;
};

#endif
