#include "BirdWriter.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace birdwriter {

namespace {

std::string field(const std::string& text)
{
    std::string out = text.substr(0, INFO_FIELD);
    out.resize(INFO_FIELD, ' ');
    return out;
}

std::array<uint8_t, 16> keyBytes(const Key& key)
{
    std::array<uint8_t, 16> bytes{};
    for (size_t w = 0; w < 4; ++w)
        for (size_t b = 0; b < 4; ++b)
            bytes[4 * w + b] = uint8_t(key[w] >> (24 - 8 * b));
    return bytes;
}

}  // namespace

void PutBE32(Bytes& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(uint8_t(value >> shift));
}

Image& Image::add(uint8_t type, uint8_t flags, Bytes data)
{
    Block block;
    block.header = uint8_t((type & 0x1F) | ((flags & 0x07) << 5));
    block.data = std::move(data);
    blocks_.push_back(std::move(block));
    return *this;
}

Image& Image::Loader(uint32_t address, const Bytes& code, uint8_t flags)
{
    Bytes data;
    PutBE32(data, address);
    data.insert(data.end(), code.begin(), code.end());
    return add(TYPE_LOADER, flags, std::move(data));
}

Image& Image::Firmware(uint32_t address, const Bytes& code, uint8_t flags)
{
    Bytes data;
    PutBE32(data, address);
    data.insert(data.end(), code.begin(), code.end());
    return add(TYPE_FIRMWARE, flags, std::move(data));
}

Image& Image::SerialOffsets(uint32_t serialWord, uint32_t descriptor)
{
    Bytes data;
    PutBE32(data, serialWord);
    PutBE32(data, descriptor);
    return add(TYPE_SERIAL_OFFSETS, 0, std::move(data));
}

Image& Image::Info(uint32_t build, const std::string& version, uint32_t serial, const std::string& model)
{
    char serialText[16];
    snprintf(serialText, sizeof serialText, "%08X", serial);
    return InfoText(std::to_string(build), version, serialText, model);
}

Image& Image::InfoText(const std::string& build, const std::string& version, const std::string& serial,
                       const std::string& model)
{
    std::string text = field(build) + field(version) + field(serial) + field(model);
    return add(TYPE_INFO, 0, Bytes(text.begin(), text.end()));
}

Image& Image::StartAddress(uint32_t address)
{
    Bytes data;
    PutBE32(data, address);
    return add(TYPE_START_ADDRESS, 0, std::move(data));
}

Image& Image::Raw(uint8_t type, const Bytes& data, uint8_t flags)
{
    return add(type, flags, data);
}

Image& Image::DeclareCount(uint32_t count)
{
    countGiven_ = true;
    count_ = count;
    return *this;
}

Image& Image::TruncatePayload(size_t keep)
{
    truncate_ = true;
    keep_ = keep;
    return *this;
}

Image& Image::Version(uint8_t major, uint8_t minor)
{
    major_ = major;
    minor_ = minor;
    return *this;
}

Image& Image::Checksum(uint32_t checksum)
{
    checksumGiven_ = true;
    checksum_ = checksum;
    return *this;
}

Image& Image::Scramble(const Key& key)
{
    scramble_ = true;
    key_ = key;
    return *this;
}

Image& Image::Compressed(bool compressed)
{
    compressed_ = compressed;
    return *this;
}

Image& Image::Level(int level)
{
    level_ = level;
    return *this;
}

Bytes Image::Payload() const
{
    Bytes out;
    PutBE32(out, countGiven_ ? count_ : uint32_t(blocks_.size()));
    for (const Block& block : blocks_) {
        out.push_back(block.header);
        PutBE32(out, uint32_t(block.data.size()));
        size_t start = out.size();
        out.insert(out.end(), block.data.begin(), block.data.end());
        if (scramble_ && (block.header & 0x1F) == TYPE_FIRMWARE && block.data.size() > 4)
            ScrambleBytes(out.data() + start + 4, block.data.size() - 4, key_);
    }
    uint32_t sum = checksumGiven_ ? checksum_ : uint32_t(crc32(0L, out.data(), uInt(out.size())));
    PutBE32(out, sum);
    if (truncate_ && keep_ < out.size())
        out.resize(keep_);
    return out;
}

Bytes Image::File() const
{
    Bytes payload = Payload();
    return Wrap(compressed_ ? Compress(payload, level_) : payload, major_, minor_);
}

bool Image::Write(const std::string& path, std::string* error) const
{
    return WriteBytes(path, File(), error);
}

void ScrambleBytes(uint8_t* data, size_t length, const Key& key)
{
    std::array<uint8_t, 16> k = keyBytes(key);
    uint8_t previous = 0;
    for (size_t i = 0; i < length; ++i) {
        uint8_t plain = data[i];
        data[i] = uint8_t(plain ^ k[i % 16] ^ previous);
        previous = plain;
    }
}

void UnscrambleBytes(uint8_t* data, size_t length, const Key& key)
{
    std::array<uint8_t, 16> k = keyBytes(key);
    uint8_t previous = 0;
    for (size_t i = 0; i < length; ++i) {
        data[i] = uint8_t(data[i] ^ k[i % 16] ^ previous);
        previous = data[i];
    }
}

Bytes Compress(const Bytes& payload, int level)
{
    uLongf size = compressBound(uLong(payload.size()));
    Bytes out(size);
    int result = compress2(out.data(), &size, payload.data(), uLong(payload.size()), level);
    if (result != Z_OK)
        throw std::runtime_error("birdwriter: zlib compress failed (" + std::to_string(result) + ")");
    out.resize(size);
    return out;
}

Bytes Wrap(const Bytes& body, uint8_t major, uint8_t minor)
{
    Bytes out = {'b', 'i', 'r', 'd', major, minor};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes Pattern(size_t length, uint32_t seed)
{
    // xorshift32: cheap, repeatable, and zlib cannot shrink it much.
    uint32_t state = seed ? seed : 1;
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out[i] = uint8_t(state);
    }
    return out;
}

bool ReadBytes(const std::string& path, Bytes* out, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    return true;
}

bool WriteBytes(const std::string& path, const Bytes& bytes, std::string* error)
{
    FILE* file = path == "-" ? stdout : fopen(path.c_str(), "wb");
    if (!file) {
        if (error)
            *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = (file == stdout ? fflush(file) == 0 : fclose(file) == 0) && ok;
    if (!ok && error)
        *error = "cannot write " + path + ": " + strerror(errno);
    return ok;
}

}  // namespace birdwriter
