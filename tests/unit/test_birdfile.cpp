// Reading ".bird" images: loading, scanning, the information block, serial
// stamping, unscrambling and the dump. Images come from the test writer.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "LogCapture.h"
#include "testsupport.h"

using birdwriter::Bytes;
using birdwriter::Image;

namespace {

constexpr uint32_t LOADER_ADDRESS = 0x20000000;
constexpr uint32_t FIRMWARE_ADDRESS = 0x60001000;

std::string Text(const Bytes& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

class BirdFileTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;

    std::string write(const Bytes& file, const std::string& name = "image.bird")
    {
        std::string path = dir.file(name);
        testsupport::WriteFile(path, Text(file));
        return path;
    }
    std::string write(const Image& image, const std::string& name = "image.bird")
    {
        return write(image.File(), name);
    }
    // Loads without throwing, so failures can be inspected.
    static bool load(BirdFile& file, const std::string& path)
    {
        file.path = path;
        return file.Load();
    }
};

Bytes Payload(const BirdBlock& block)
{
    return Bytes(block.payload(), block.payload() + block.payloadLength());
}

TEST_F(BirdFileTest, LoadsCleanImagesOfEachKind)
{
    Bytes loader = birdwriter::Pattern(40, 3), code = birdwriter::Pattern(300, 4);

    // Made for one device.
    BirdFile specific(write(Image()
                                .Loader(LOADER_ADDRESS, loader)
                                .Firmware(FIRMWARE_ADDRESS, code, 5)
                                .Info(1234, "2.10.6", 0x40F5849A, "Avolin")
                                .Checksum(0xCAFEF00D)));
    ASSERT_EQ(3u, specific.blockCount);
    EXPECT_EQ(0x62697264u, specific.signature);
    EXPECT_EQ(0x0101u, specific.version);
    EXPECT_EQ(0xCAFEF00Du, specific.checksum);
    EXPECT_EQ(3u, specific.declaredBlockCount);
    EXPECT_EQ(0u, specific.unparsedBytes);
    EXPECT_FALSE(specific.hasSerialOffsets);
    EXPECT_EQ(1234u, specific.GetBuild());
    EXPECT_EQ("2.10.6", specific.GetVersion());
    EXPECT_EQ(0x40F5849Au, specific.GetSerialNumber());
    EXPECT_TRUE(specific.ValidateSerialNumber(0x40F5849A));
    EXPECT_FALSE(specific.ValidateSerialNumber(0x40F5849B));
    EXPECT_EQ("Avolin", specific.GetModel());
    EXPECT_FALSE(specific.GetStartAddress(nullptr));
    auto loaders = specific.FindBlocks(BirdFile::BLOCK_TYPE_LOADER);
    ASSERT_EQ(1u, loaders.size());
    EXPECT_EQ(LOADER_ADDRESS, loaders[0].address);
    EXPECT_EQ(44u, loaders[0].length);
    EXPECT_EQ(loader, Payload(loaders[0]));
    auto firmware = specific.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
    ASSERT_EQ(1u, firmware.size());
    EXPECT_EQ(5u, firmware[0].flags);
    EXPECT_EQ(FIRMWARE_ADDRESS, firmware[0].address);
    EXPECT_EQ(code, Payload(firmware[0]));
    EXPECT_EQ(0u, specific.FindBlocks(BirdFile::BLOCK_TYPE_INFO)[0].address);
    EXPECT_TRUE(specific.FindBlocks(BirdFile::BLOCK_TYPE_START_ADDRESS).empty());

    // Generic: stamped per device, so it carries the serial offsets.
    BirdFile generic(write(Image()
                               .Firmware(FIRMWARE_ADDRESS, code)
                               .SerialOffsets(FIRMWARE_ADDRESS + 0x10, FIRMWARE_ADDRESS + 0x40)
                               .Info(99, "3.0", 0, "Brevon")));
    EXPECT_TRUE(generic.hasSerialOffsets);
    EXPECT_EQ(FIRMWARE_ADDRESS + 0x10, generic.serialNumberOffset);
    EXPECT_EQ(FIRMWARE_ADDRESS + 0x40, generic.descriptorOffset);
    EXPECT_EQ(0u, generic.GetSerialNumber());

    // Recovery: a start address for the loader.
    BirdFile recovery(write(Image()
                                .Loader(LOADER_ADDRESS, loader)
                                .StartAddress(LOADER_ADDRESS + 0x400)
                                .Firmware(FIRMWARE_ADDRESS, code)
                                .Info(7, "1.0", 0xDEADDEAD, "Cindrel")));
    uint32_t start = 0;
    EXPECT_TRUE(recovery.GetStartAddress(&start));
    EXPECT_EQ(LOADER_ADDRESS + 0x400, start);
    EXPECT_TRUE(BirdFile::VerifyFile(recovery.path));
}

// The payload may expand to eight times the compressed stream, not one byte
// more. Zeros after incompressible bytes raise the ratio a byte at a time.
TEST_F(BirdFileTest, ExpansionBoundIsEightTimesTheCompressedStream)
{
    auto imageWith = [](size_t zeros) {
        Bytes code = birdwriter::Pattern(200, 9);
        code.resize(code.size() + zeros, 0);
        return Image().Firmware(FIRMWARE_ADDRESS, code).Info(1, "1", 1, "Avolin");
    };
    auto excess = [](const Image& image) {
        return long(image.Payload().size()) - 8 * long(birdwriter::Compress(image.Payload()).size());
    };
    size_t zeros = 0;
    while (zeros < 50000 && !(excess(imageWith(zeros)) == 0 && excess(imageWith(zeros + 1)) == 1))
        ++zeros;
    ASSERT_LT(zeros, 50000u) << "no image at exactly eight times found";

    BirdFile exact;
    EXPECT_TRUE(load(exact, write(imageWith(zeros))));
    EXPECT_EQ(2u, exact.blockCount);
    EXPECT_EQ(exact.bufferSize, exact.buffer.size());

    LogCapture log(DEBUG_BirdFile);
    BirdFile over;
    EXPECT_FALSE(load(over, write(imageWith(zeros + 1))));
    EXPECT_TRUE(log.contains("BIRDFILE: Error (-5) decompressing bird file.\n")) << log.text();
    EXPECT_EQ(0u, over.bufferSize);
    EXPECT_TRUE(over.blocks.empty());
}

TEST_F(BirdFileTest, FilesThatAreNoImageFailToLoad)
{
    Bytes body = Image().Firmware(FIRMWARE_ADDRESS, Bytes(32, 1)).Payload();
    struct Case {
        const char* name;
        Bytes file;
        const char* logged;
    } cases[] = {
        {"empty", {}, "decompressing"},
        {"header only", birdwriter::Wrap({}), "decompressing"},
        {"five bytes", {'b', 'i', 'r', 'd', 1}, "decompressing"},
        {"payload not zlib", birdwriter::Wrap(body), "decompressing"},
        {"stream cut short", [&] {
             Bytes f = Image().Firmware(FIRMWARE_ADDRESS, Bytes(32, 1)).File();
             f.resize(f.size() - 3);
             return f;
         }(),
         "decompressing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = write(c.file, std::string(c.name) + ".bird");
        LogCapture log(DEBUG_BirdFile);
        BirdFile file;
        EXPECT_FALSE(load(file, path));
        EXPECT_TRUE(log.contains(c.logged)) << log.text();
        EXPECT_TRUE(file.blocks.empty());
        EXPECT_EQ(0u, file.bufferSize);
        try {
            BirdFile thrown(path);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ("Failed to load bird data", e.what());
        }
    }

    LogCapture log(DEBUG_BirdFile);
    BirdFile missing;
    EXPECT_FALSE(load(missing, dir.file("absent.bird")));
    EXPECT_TRUE(log.contains("BIRDFILE: BIRD file not found [" + dir.file("absent.bird") + "]\n"));
    BirdFile directory;
    EXPECT_FALSE(load(directory, dir.path()));
}

TEST_F(BirdFileTest, ScanMismatchesAreLoggedAndTheLoadSucceeds)
{
    Image two = Image().Firmware(FIRMWARE_ADDRESS, Bytes(20, 7)).Info(5, "5.0", 1, "Avolin");
    {
        LogCapture log(DEBUG_BirdFile);
        BirdFile counted;
        EXPECT_TRUE(load(counted, write(Image(two).DeclareCount(3))));
        EXPECT_EQ(2u, counted.blockCount);
        EXPECT_EQ(3u, counted.declaredBlockCount);
        EXPECT_TRUE(log.contains("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n")) << log.text();
    }
    {
        // Count, firmware header and ten bytes of its 24: cut inside the block.
        LogCapture log(DEBUG_BirdFile);
        BirdFile cut;
        EXPECT_TRUE(load(cut, write(Image(two).TruncatePayload(4 + 5 + 10))));
        EXPECT_EQ(0u, cut.blockCount);
        EXPECT_EQ(15u, cut.unparsedBytes);
        EXPECT_TRUE(log.contains("BIRDFILE: Block parsing mismatch in data size. (15 bytes remaining)\n"))
            << log.text();
    }
    {
        // Cut inside the information block: the firmware block survives.
        BirdFile cut;
        EXPECT_TRUE(load(cut, write(Image(two).TruncatePayload(4 + 5 + 24 + 5 + 30))));
        ASSERT_EQ(1u, cut.blockCount);
        EXPECT_EQ(Bytes(20, 7), Payload(cut.blocks[0]));
        EXPECT_EQ(0u, cut.GetBuild());
    }
    {
        // Cut right after a header: still reported, not taken for a clean end.
        LogCapture log(DEBUG_BirdFile);
        BirdFile cut;
        EXPECT_TRUE(load(cut, write(Image(two).TruncatePayload(4 + 5 + 24 + 5))));
        EXPECT_EQ(1u, cut.blockCount);
        EXPECT_TRUE(log.contains("mismatch in data size. (5 bytes remaining)")) << log.text();
    }
}

TEST_F(BirdFileTest, ImageWithoutInformationBlock)
{
    BirdFile file(write(Image().Firmware(FIRMWARE_ADDRESS, Bytes(8, 1))));
    EXPECT_EQ(0u, file.GetSerialNumber());
    EXPECT_EQ(0u, file.GetBuild());
    EXPECT_EQ("", file.GetVersion());
    EXPECT_EQ("", file.GetModel());
    EXPECT_FALSE(file.ValidateModel("Avolin"));
    EXPECT_FALSE(file.ValidateModel(""));
}

TEST_F(BirdFileTest, InformationFields)
{
    struct Case {
        const char* build;
        const char* version;
        const char* serial;
        const char* model;
        uint32_t wantBuild;
        const char* wantVersion;
        uint32_t wantSerial;
    } cases[] = {
        {"1234", "1.2.3 beta", "0000ABCD", "Avolin", 1234, "1.2.3", 0xABCD},
        // Build: the first 15 characters; serial: the first 8.
        {"1234567890123459", "123456789ABCDEFG", "1A2B3C4D99", "Avolin", 123456789012345u & 0xFFFFFFFF,
         "123456789ABCDEF", 0x1A2B3C4D},
        {"  42", "2.0", "0", "Avolin", 42, "2.0", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.build);
        BirdFile file(write(Image().Firmware(0, Bytes(4, 0)).InfoText(c.build, c.version, c.serial, c.model)));
        EXPECT_EQ(c.wantBuild, file.GetBuild());
        EXPECT_EQ(c.wantVersion, file.GetVersion());
        EXPECT_EQ(c.wantSerial, file.GetSerialNumber());
    }
}

TEST_F(BirdFileTest, ModelMustBeginWithTheGivenName)
{
    BirdFile file(write(Image().Firmware(0, Bytes(4, 0)).Info(1, "1", 1, "Avolin")));
    EXPECT_TRUE(file.ValidateModel("Avolin"));
    EXPECT_TRUE(file.ValidateModel("Avo"));
    EXPECT_FALSE(file.ValidateModel("Avolin2"));
    EXPECT_FALSE(file.ValidateModel("avolin"));
    EXPECT_FALSE(file.ValidateModel("Brevon"));
    EXPECT_FALSE(file.ValidateModel(nullptr));
}

// A block shorter than its fields must not be read past; the missing fields
// are absent. The short block ends the payload, so any overread leaves the
// buffer (and the sanitizer builds catch it), and where a block follows, its
// bytes must not turn up as field values.
TEST_F(BirdFileTest, ShortBlocksHaveNoFieldsBeyondTheirData)
{
    std::string version = "9.9.9           ";
    {
        Image image = Image().Firmware(0, Bytes(4, 0)).Raw(BirdFile::BLOCK_TYPE_INFO, Bytes(16, '7'))
                          .Raw(3, Bytes(version.begin(), version.end()));
        BirdFile file(write(image));
        EXPECT_EQ(uint32_t(777777777777777ull), file.GetBuild());  // 15 sevens, cut to 32 bits
        EXPECT_EQ("", file.GetVersion());
        EXPECT_EQ(0u, file.GetSerialNumber());
        EXPECT_FALSE(file.ValidateModel(""));
    }
    {
        Bytes info(40, ' ');
        memcpy(info.data(), "12", 2);
        memcpy(info.data() + 16, "4.5", 3);
        memcpy(info.data() + 32, "0000ABCD", 8);  // half a serial field
        BirdFile file(write(Image().Raw(BirdFile::BLOCK_TYPE_INFO, info).TruncatePayload(4 + 5 + 40)));
        EXPECT_EQ(12u, file.GetBuild());
        EXPECT_EQ("4.5", file.GetVersion());
        EXPECT_EQ(0u, file.GetSerialNumber());
        EXPECT_EQ("", file.GetModel());
    }
    {
        Bytes offsets = {0, 0, 0x10, 0};  // serial word present, descriptor missing
        BirdFile file(write(Image().Firmware(0, Bytes(64, 0)).Raw(BirdFile::BLOCK_TYPE_SERIAL_OFFSETS, offsets)
                                .TruncatePayload(4 + 5 + 68 + 5 + 4)));
        EXPECT_TRUE(file.hasSerialOffsets);
        EXPECT_EQ(0x1000u, file.serialNumberOffset);
        EXPECT_EQ(0u, file.descriptorOffset);
    }
    {
        BirdFile file(write(Image().Firmware(0, Bytes(4, 0)).Raw(BirdFile::BLOCK_TYPE_SERIAL_OFFSETS, {})
                                .TruncatePayload(4 + 5 + 8 + 5)));
        EXPECT_TRUE(file.hasSerialOffsets);
        EXPECT_EQ(0u, file.serialNumberOffset);
        EXPECT_FALSE(file.ReplaceSerialNumber(1));
    }
    {
        BirdFile file(write(Image().Raw(BirdFile::BLOCK_TYPE_START_ADDRESS, {1, 2}).TruncatePayload(4 + 5 + 2)));
        EXPECT_FALSE(file.GetStartAddress(nullptr));
    }
    {
        // Firmware blocks shorter than their load address have no payload.
        BirdFile file(write(Image()
                                .Raw(BirdFile::BLOCK_TYPE_FIRMWARE, {0xAA, 0xBB})
                                .SerialOffsets(0, 0x10)
                                .Raw(BirdFile::BLOCK_TYPE_FIRMWARE, {})
                                .TruncatePayload(4 + 5 + 2 + 5 + 8 + 5)));
        ASSERT_EQ(3u, file.blockCount);
        EXPECT_EQ(0u, file.blocks[0].address);
        EXPECT_EQ(0u, file.blocks[0].payloadLength());
        EXPECT_FALSE(file.ReplaceSerialNumber(0x12345678));
        EXPECT_TRUE(file.DecodeFirmwareBlocks(std::array<uint32_t, 4>{1, 2, 3, 4}.data()));
        EXPECT_EQ(0xAA, file.blocks[0].data[0]);
    }
    for (size_t length : {0, 1, 2, 3}) {
        SCOPED_TRACE(length);
        BirdFile file;
        EXPECT_TRUE(load(file, write(Image().TruncatePayload(length))));
        EXPECT_EQ(0u, file.blockCount);
        EXPECT_EQ(length, file.unparsedBytes);
    }
}

TEST_F(BirdFileTest, ReplaceSerialNumberStampsFirmwareBlocksOnly)
{
    const uint32_t base = 0x1000, second = 0x8000, loader = 0x4000, high = 0xFFFFFFF0;
    struct Case {
        const char* name;
        uint32_t serialWord;
        uint32_t descriptor;
        bool written;
        int block;          // firmware block expected to change: 0, 1, 2 (high), -1 none
        uint32_t wordAt;    // payload offset of the word in that block, or ~0u
        uint32_t charsAt;   // payload offset of the descriptor, or ~0u
    } cases[] = {
        {"both inside", base + 0x10, base + 0x20, true, 0, 0x10, 0x20},
        {"word only", base + 0x10, 0, true, 0, 0x10, ~0u},
        {"descriptor only", 0, base + 0x20, true, 0, ~0u, 0x20},
        {"exactly at the end", base + 60, base + 48, true, 0, 60, 48},
        {"word straddles the end", base + 62, 0, false, -1, ~0u, ~0u},
        {"descriptor straddles the end", 0, base + 50, false, -1, ~0u, ~0u},
        {"outside every block", 0x50000, 0, false, -1, ~0u, ~0u},
        {"inside a loader only", loader + 4, loader + 8, false, -1, ~0u, ~0u},
        {"second firmware block", second + 4, 0, true, 1, 4, ~0u},
        {"last word below 4 GiB", high + 12, 0, true, 2, 12, ~0u},
        {"word wraps past 4 GiB", high + 14, 0, false, -1, ~0u, ~0u},
        {"no offsets", 0, 0, false, -1, ~0u, ~0u},
    };
    Bytes plain[3] = {birdwriter::Pattern(64, 1), birdwriter::Pattern(64, 2), birdwriter::Pattern(16, 3)};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BirdFile file(write(Image()
                                .Firmware(base, plain[0])
                                .Loader(loader, Bytes(64, 0))
                                .Firmware(second, plain[1])
                                .Firmware(high, plain[2])
                                .SerialOffsets(c.serialWord, c.descriptor)));
        ASSERT_TRUE(file.hasSerialOffsets);
        EXPECT_EQ(c.written, file.ReplaceSerialNumber(0x1234ABCD));
        auto firmware = file.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
        for (int i = 0; i < 3; ++i) {
            Bytes want = plain[i];
            if (i == c.block && c.wordAt != ~0u)
                memcpy(want.data() + c.wordAt, "\xCD\xAB\x34\x12", 4);
            if (i == c.block && c.charsAt != ~0u)
                for (int k = 0; k < 8; ++k)
                    want[c.charsAt + 2 * k] = uint8_t("1234ABCD"[k]);
            EXPECT_EQ(want, Payload(firmware[i])) << "firmware block " << i;
        }
        EXPECT_EQ(Bytes(64, 0), Payload(file.FindBlocks(BirdFile::BLOCK_TYPE_LOADER)[0]));
    }
}

TEST_F(BirdFileTest, UnscramblingInvertsTheWritersScrambling)
{
    const birdwriter::Key key = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00D};
    Bytes code1 = birdwriter::Pattern(100, 5), code2 = birdwriter::Pattern(37, 6), loader(20, 0x55);
    std::string path = write(Image()
                                 .Loader(LOADER_ADDRESS, loader)
                                 .Firmware(FIRMWARE_ADDRESS, code1)
                                 .Firmware(FIRMWARE_ADDRESS + 0x1000, code2)
                                 .Scramble(key));
    BirdFile file(path);
    auto scrambled = file.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
    EXPECT_NE(code1, Payload(scrambled[0]));
    EXPECT_EQ(FIRMWARE_ADDRESS, scrambled[0].address);

    EXPECT_TRUE(file.DecodeFirmwareBlocks(key.data()));
    auto decoded = file.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
    EXPECT_EQ(code1, Payload(decoded[0]));
    EXPECT_EQ(code2, Payload(decoded[1]));  // chaining restarts per block
    EXPECT_EQ(FIRMWARE_ADDRESS + 0x1000, decoded[1].address);
    EXPECT_EQ(loader, Payload(file.FindBlocks(BirdFile::BLOCK_TYPE_LOADER)[0]));

    // Decoding again does not give the scrambled bytes back.
    EXPECT_TRUE(file.DecodeFirmwareBlocks(key.data()));
    EXPECT_NE(code1, Payload(file.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE)[0]));

    // Another device's fingerprint gives other bytes.
    BirdFile other(path);
    const birdwriter::Key wrong = {0x01234567, 0x89ABCDEF, 0xDEADBEEF, 0x0BADF00E};
    other.DecodeFirmwareBlocks(wrong.data());
    EXPECT_NE(code1, Payload(other.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE)[0]));
}

TEST_F(BirdFileTest, VerifyFileChecksTheHeaderOnly)
{
    Image image = Image().Firmware(0, Bytes(8, 1));
    std::string oneZero = write(Image(image).Version(1, 0), "v10.bird");
    EXPECT_FALSE(BirdFile::VerifyFile(oneZero));
    BirdFile loaded(oneZero);  // the path constructor does not look at the version
    EXPECT_EQ(0x0100u, loaded.version);
    EXPECT_EQ(1u, loaded.blockCount);

    EXPECT_FALSE(BirdFile::VerifyFile(write(Image(image).Version(0, 1), "v01.bird")));
    EXPECT_TRUE(BirdFile::VerifyFile(write(Image(image).Version(7, 200), "v7.bird")));
    Bytes wrongMagic = image.File();
    wrongMagic[3] = 'e';
    EXPECT_FALSE(BirdFile::VerifyFile(write(wrongMagic, "bire.bird")));
    EXPECT_TRUE(BirdFile::VerifyFile(write(birdwriter::Wrap({}), "header.bird")));  // nothing decompressed
    EXPECT_FALSE(BirdFile::VerifyFile(write({'b', 'i', 'r', 'd', 1}, "short.bird")));
    EXPECT_FALSE(BirdFile::VerifyFile(dir.file("absent.bird")));
}

TEST_F(BirdFileTest, MovingKeepsBlocksValid)
{
    Bytes code = birdwriter::Pattern(64, 8);
    BirdFile target;
    std::vector<BirdBlock> kept;
    {
        BirdFile source(write(Image().Firmware(FIRMWARE_ADDRESS, code)));
        kept = source.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
        target = std::move(source);
    }
    ASSERT_EQ(1u, kept.size());
    EXPECT_EQ(code, Payload(kept[0]));
    EXPECT_EQ(code, Payload(target.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE)[0]));
}

TEST_F(BirdFileTest, DumpBlocksPrintsFiftyBytesALine)
{
    Bytes data;
    for (int i = 0; i < 60; ++i)
        data.push_back(uint8_t(i % 3 == 0 ? 0x07 : 'A' + i % 26));
    std::string path = write(Image().Raw(7, data).Raw(7, {'x'}).Raw(8, {'y'}));
    BirdFile file(path);

    std::string expected = "BIRDFILE: BLOCK DUMP [" + path + "]\n";
    std::string column;
    for (size_t i = 0; i < data.size(); ++i) {
        if (i % 50 == 0) {
            char offset[32];
            snprintf(offset, sizeof offset, "%06zu: ", i);
            expected += " " + column + "\r\n" + offset;
            column.clear();
        }
        char hex[8];
        snprintf(hex, sizeof hex, "%02X ", data[i]);
        expected += hex;
        column += data[i] == 0x07 ? ' ' : char(data[i]);
    }
    expected += " " + column + "\n";
    expected += " \r\n000000: 78  x\n\n";

    testing::internal::CaptureStdout();
    EXPECT_TRUE(file.DumpBlocks(BirdFile::BLOCK_TYPE(7)));
    EXPECT_EQ(expected, testing::internal::GetCapturedStdout());
}

// Every operation on a loaded image, with the invariant that each block lies
// inside the buffer.
void Exercise(BirdFile& file)
{
    const uint8_t* begin = file.buffer.data();
    const uint8_t* end = begin + file.buffer.size();
    ASSERT_EQ(file.bufferSize, file.buffer.size());
    ASSERT_EQ(file.blockCount, file.blocks.size());
    for (const BirdBlock& block : file.blocks) {
        ASSERT_GE(block.data, begin);
        ASSERT_LE(block.data + block.length, end);
    }
    for (int type = 0; type < 32; ++type)
        file.FindBlocks(BirdFile::BLOCK_TYPE(type));
    file.GetSerialNumber();
    file.GetBuild();
    file.GetVersion();
    file.GetModel();
    file.ValidateModel("Avolin");
    file.GetStartAddress(nullptr);
    file.FindSerialNumberOffsets();
    file.ReplaceSerialNumber(0x89ABCDEF);
    const uint32_t key[4] = {1, 2, 3, 4};
    file.DecodeFirmwareBlocks(key);
}

// Damaged images must fail cleanly or load with what could be parsed; never
// crash or read outside the buffer (run under the sanitizer builds).
TEST_F(BirdFileTest, DamagedImagesNeverCrash)
{
    Image image = Image()
                      .Loader(LOADER_ADDRESS, birdwriter::Pattern(12, 1))
                      .Firmware(FIRMWARE_ADDRESS, birdwriter::Pattern(48, 2), 3)
                      .SerialOffsets(FIRMWARE_ADDRESS + 8, FIRMWARE_ADDRESS + 20)
                      .Info(77, "1.0 rc", 0, "Avolin")
                      .StartAddress(LOADER_ADDRESS);
    const Bytes whole = image.File(), payload = image.Payload();
    std::string path = dir.file("damaged.bird");

    // Every prefix of the file: only the whole one decompresses.
    for (size_t n = 0; n <= whole.size(); ++n) {
        SCOPED_TRACE(n);
        testsupport::WriteFile(path, Text(Bytes(whole.begin(), whole.begin() + n)));
        BirdFile file;
        EXPECT_EQ(n == whole.size(), load(file, path));
        Exercise(file);
    }
    // Every prefix of the payload, compressed whole: each loads what it can.
    for (size_t n = 0; n <= payload.size(); ++n) {
        SCOPED_TRACE(n);
        testsupport::WriteFile(path, Text(birdwriter::Wrap(birdwriter::Compress(Bytes(payload.begin(), payload.begin() + n)))));
        BirdFile file;
        ASSERT_TRUE(load(file, path));
        Exercise(file);
        testing::internal::CaptureStdout();
        file.DumpBlocks(BirdFile::BLOCK_TYPE_INFO);
        testing::internal::GetCapturedStdout();
    }
    // Random byte changes, in the payload and in the compressed file.
    std::mt19937 random(20240315);
    for (int round = 0; round < 3000; ++round) {
        bool inPayload = round % 2 == 0;
        Bytes bytes = inPayload ? payload : whole;
        int changes = 1 + int(random() % 4);
        for (int k = 0; k < changes; ++k)
            bytes[random() % bytes.size()] = uint8_t(random());
        if (inPayload)
            bytes = birdwriter::Wrap(birdwriter::Compress(bytes));
        testsupport::WriteFile(path, Text(bytes));
        BirdFile file;
        bool loaded = load(file, path);
        if (inPayload) {
            ASSERT_TRUE(loaded) << "round " << round;
        }
        Exercise(file);
    }
}

}  // namespace
