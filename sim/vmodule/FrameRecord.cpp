#include "FrameRecord.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

namespace vmodule {

namespace {

const auto g_start = std::chrono::steady_clock::now();

// Single-threaded program: the table of open records needs no lock.
std::map<std::string, std::weak_ptr<FrameRecord>>& OpenRecords()
{
    static std::map<std::string, std::weak_ptr<FrameRecord>> records;
    return records;
}

}  // namespace

double SecondsSinceStart()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - g_start).count();
}

std::string HexBytes(const std::string& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : bytes) {
        if (!text.empty())
            text.push_back(' ');
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 0x0F]);
    }
    return text;
}

std::shared_ptr<FrameRecord> FrameRecord::Open(const std::string& path, std::string& error)
{
    auto& records = OpenRecords();
    if (auto existing = records[path].lock())
        return existing;
    FILE* file = fopen(path.c_str(), "we");
    if (!file) {
        error = "cannot write record file " + path + ": " + strerror(errno);
        return nullptr;
    }
    auto record = std::make_shared<FrameRecord>(file);
    records[path] = record;
    return record;
}

FrameRecord::~FrameRecord()
{
    fclose(file_);
}

void FrameRecord::Received(const Frame& frame)
{
    Line("rx", HexBytes(frame.Wire()));
}

void FrameRecord::Sent(const Frame& frame)
{
    Line("tx", HexBytes(frame.Wire()));
}

void FrameRecord::Event(uint32_t serial, const std::string& text)
{
    char prefix[16];
    snprintf(prefix, sizeof prefix, "%08X ", static_cast<unsigned>(serial));
    Line("ev", prefix + text);
}

void FrameRecord::Line(const char* kind, const std::string& rest)
{
    fprintf(file_, "%s %.6f %s\n", kind, SecondsSinceStart(), rest.c_str());
    fflush(file_);
}

}  // namespace vmodule
