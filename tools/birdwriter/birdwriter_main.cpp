// birdwriter: writes ".bird" firmware images from the command line, for
// demos and shell-driven tests. Blocks are written in the order given.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BirdWriter.h"

using birdwriter::Bytes;

namespace {

const char* const USAGE =
    "usage: birdwriter -o FILE [options]\n"
    "Blocks, written in the order given:\n"
    "  --loader ADDR DATA            loader block (load address, then DATA)\n"
    "  --firmware ADDR DATA          firmware block\n"
    "  --serial-offsets SERIAL DESC  addresses of the serial word and descriptor\n"
    "  --info BUILD VERSION SERIAL MODEL\n"
    "                                information block (SERIAL in hex, 0 = generic)\n"
    "  --start-address ADDR          recovery loader start address\n"
    "  --block TYPE DATA             any block type (0-31), DATA as is\n"
    "  --flags N                     flags (0-7) of the next block\n"
    "Image:\n"
    "  -o FILE                       output file, - for standard output\n"
    "  --count N                     declare N blocks (default: as many as given)\n"
    "  --truncate N                  keep only the first N bytes of the payload\n"
    "  --format-version MAJOR.MINOR  header version bytes (default 1.1)\n"
    "  --checksum N                  file checksum word (default: CRC-32)\n"
    "  --scramble W0 W1 W2 W3        scramble firmware blocks with a fingerprint (hex words)\n"
    "  --no-compress                 store the payload without zlib (an invalid image)\n"
    "DATA: @FILE | hex:0A1B2C... | zeros:N | pattern:N[:SEED] | text:STRING\n"
    "Numbers: decimal, or hexadecimal with 0x.\n";

struct UsageError {
    std::string text;
};

uint32_t number(const std::string& text, int base = 0)
{
    if (text.empty())
        throw UsageError{"empty number"};
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text.c_str(), &end, base);
    if (*end != '\0' || errno != 0 || value > 0xFFFFFFFFull || text[0] == '-')
        throw UsageError{"not a 32-bit number: " + text};
    return uint32_t(value);
}

Bytes hexBytes(const std::string& text)
{
    if (text.size() % 2 != 0)
        throw UsageError{"odd number of hex digits: " + text};
    Bytes out;
    for (size_t i = 0; i < text.size(); i += 2)
        out.push_back(uint8_t(number(text.substr(i, 2), 16)));
    return out;
}

Bytes data(const std::string& spec)
{
    std::string error;
    if (spec.compare(0, 1, "@") == 0) {
        Bytes bytes;
        if (!birdwriter::ReadBytes(spec.substr(1), &bytes, &error))
            throw UsageError{error};
        return bytes;
    }
    if (spec.compare(0, 4, "hex:") == 0)
        return hexBytes(spec.substr(4));
    if (spec.compare(0, 6, "zeros:") == 0)
        return Bytes(number(spec.substr(6)), 0);
    if (spec.compare(0, 5, "text:") == 0)
        return Bytes(spec.begin() + 5, spec.end());
    if (spec.compare(0, 8, "pattern:") == 0) {
        std::string rest = spec.substr(8);
        size_t colon = rest.find(':');
        uint32_t seed = colon == std::string::npos ? 1 : number(rest.substr(colon + 1));
        return birdwriter::Pattern(number(rest.substr(0, colon)), seed);
    }
    throw UsageError{"unknown DATA form: " + spec};
}

class Args {
public:
    Args(int argc, char** argv) : words_(argv + 1, argv + argc) {}
    bool more() const { return next_ < words_.size(); }
    std::string take(const std::string& option)
    {
        if (!more())
            throw UsageError{option + " needs more arguments"};
        return words_[next_++];
    }

private:
    std::vector<std::string> words_;
    size_t next_ = 0;
};

uint8_t takeFlags(uint32_t* pending)
{
    uint8_t flags = uint8_t(*pending);
    *pending = 0;
    return flags;
}

int run(int argc, char** argv)
{
    birdwriter::Image image;
    std::string output;
    uint32_t flags = 0;
    Args args(argc, argv);
    while (args.more()) {
        std::string option = args.take("");
        if (option == "-h" || option == "--help") {
            fputs(USAGE, stdout);
            return 0;
        } else if (option == "-o") {
            output = args.take(option);
        } else if (option == "--loader") {
            uint32_t address = number(args.take(option));
            image.Loader(address, data(args.take(option)), takeFlags(&flags));
        } else if (option == "--firmware") {
            uint32_t address = number(args.take(option));
            image.Firmware(address, data(args.take(option)), takeFlags(&flags));
        } else if (option == "--serial-offsets") {
            uint32_t serialWord = number(args.take(option));
            image.SerialOffsets(serialWord, number(args.take(option)));
        } else if (option == "--info") {
            uint32_t build = number(args.take(option), 10);
            std::string version = args.take(option);
            uint32_t serial = number(args.take(option), 16);
            image.Info(build, version, serial, args.take(option));
        } else if (option == "--start-address") {
            image.StartAddress(number(args.take(option)));
        } else if (option == "--block") {
            uint32_t type = number(args.take(option));
            if (type > 31)
                throw UsageError{"block type above 31"};
            image.Raw(uint8_t(type), data(args.take(option)), takeFlags(&flags));
        } else if (option == "--flags") {
            flags = number(args.take(option));
            if (flags > 7)
                throw UsageError{"flags above 7"};
        } else if (option == "--count") {
            image.DeclareCount(number(args.take(option)));
        } else if (option == "--truncate") {
            image.TruncatePayload(number(args.take(option)));
        } else if (option == "--format-version") {
            std::string text = args.take(option);
            size_t dot = text.find('.');
            if (dot == std::string::npos)
                throw UsageError{"--format-version wants MAJOR.MINOR"};
            uint32_t major = number(text.substr(0, dot)), minor = number(text.substr(dot + 1));
            if (major > 255 || minor > 255)
                throw UsageError{"version bytes above 255"};
            image.Version(uint8_t(major), uint8_t(minor));
        } else if (option == "--checksum") {
            image.Checksum(number(args.take(option)));
        } else if (option == "--scramble") {
            birdwriter::Key key{};
            for (uint32_t& word : key)
                word = number(args.take(option), 16);
            image.Scramble(key);
        } else if (option == "--no-compress") {
            image.Compressed(false);
        } else {
            throw UsageError{"unknown option: " + option};
        }
    }
    if (output.empty())
        throw UsageError{"no output file (-o)"};
    std::string error;
    if (!image.Write(output, &error)) {
        fprintf(stderr, "birdwriter: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return run(argc, argv);
    } catch (const UsageError& e) {
        fprintf(stderr, "birdwriter: %s\n%s", e.text.c_str(), USAGE);
        return 2;
    } catch (const std::exception& e) {
        fprintf(stderr, "birdwriter: %s\n", e.what());
        return 1;
    }
}
