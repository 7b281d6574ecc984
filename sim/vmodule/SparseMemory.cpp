#include "SparseMemory.h"

#include <algorithm>
#include <cstdio>

namespace vmodule {

namespace {

constexpr size_t kDumpBytesPerLine = 32;

std::string HexAddress(uint64_t address)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(address));
    return text;
}

}  // namespace

bool SparseMemory::Write(uint32_t address, const std::string& bytes)
{
    if (bytes.empty())
        return true;
    uint64_t start = address;
    uint64_t end = start + bytes.size();
    if (end > (uint64_t{1} << 32))
        return false;
    // Every run that overlaps or touches [start, end) becomes part of one run.
    auto first = runs_.upper_bound(address);
    if (first != runs_.begin()) {
        auto before = std::prev(first);
        if (before->first + before->second.size() >= start)
            first = before;
    }
    auto last = first;
    uint64_t mergedStart = start, mergedEnd = end;
    size_t replaced = 0;
    for (; last != runs_.end() && last->first <= end; ++last) {
        mergedStart = std::min<uint64_t>(mergedStart, last->first);
        mergedEnd = std::max<uint64_t>(mergedEnd, last->first + last->second.size());
        replaced += last->second.size();
    }
    size_t mergedSize = static_cast<size_t>(mergedEnd - mergedStart);
    if (size_ - replaced + mergedSize > kLimit)
        return false;
    // Within or at the end of one run (how a loader writes its pieces):
    // that run grows in place instead of being copied whole for every piece.
    if (first != last && std::next(first) == last && first->first <= start) {
        std::string& run = first->second;
        size_t offset = static_cast<size_t>(start - first->first);
        if (offset + bytes.size() > run.size())
            run.resize(offset + bytes.size());
        run.replace(offset, bytes.size(), bytes);
        size_ = size_ - replaced + mergedSize;
        return true;
    }
    std::string merged(mergedSize, '\0');
    for (auto run = first; run != last; ++run)
        merged.replace(static_cast<size_t>(run->first - mergedStart), run->second.size(), run->second);
    merged.replace(static_cast<size_t>(start - mergedStart), bytes.size(), bytes);
    runs_.erase(first, last);
    runs_[static_cast<uint32_t>(mergedStart)] = std::move(merged);
    size_ = size_ - replaced + mergedSize;
    return true;
}

std::string SparseMemory::Dump(const std::string& area) const
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (const auto& [address, bytes] : runs_) {
        text += area + " range " + HexAddress(address) + " " + std::to_string(bytes.size()) + "\n";
        for (size_t at = 0; at < bytes.size(); at += kDumpBytesPerLine) {
            text += area + " " + HexAddress(uint64_t{address} + at);
            for (size_t i = at; i < bytes.size() && i < at + kDumpBytesPerLine; ++i) {
                unsigned char b = static_cast<unsigned char>(bytes[i]);
                text += ' ';
                text += digits[b >> 4];
                text += digits[b & 0x0F];
            }
            text += '\n';
        }
    }
    return text;
}

}  // namespace vmodule
