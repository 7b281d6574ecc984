// Quorvel -C -f IMAGE: the summary of a good image, warnings for scan
// mismatches, and one error line with status 1 for anything it cannot use.
// Images come from the writer's library and from its command-line tool.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BirdWriter.h"
#include "testsupport.h"

using birdwriter::Bytes;
using birdwriter::Image;
using testsupport::RunQuorvel;
using testsupport::SplitLines;

namespace {

const std::string WRITER = std::string(QUORVEL_BINARY_DIR) + "/tools/birdwriter/birdwriter";

class CheckCommand : public ::testing::Test {
protected:
    testsupport::TempDir dir;

    std::string write(const Image& image, const std::string& name)
    {
        std::string path = dir.file(name);
        std::string error;
        EXPECT_TRUE(image.Write(path, &error)) << error;
        return path;
    }
    testsupport::ProcResult check(const std::string& path)
    {
        return RunQuorvel({"-C", "-f", path, "-i", dir.path()});
    }
    // Standard output without the version line.
    static std::vector<std::string> summary(const testsupport::ProcResult& r)
    {
        std::vector<std::string> lines = SplitLines(r.out);
        if (!lines.empty())
            lines.erase(lines.begin());
        return lines;
    }
};

TEST_F(CheckCommand, SummaryOfADeviceImage)
{
    std::string path = write(Image()
                                 .Loader(0x20000000, birdwriter::Pattern(40))
                                 .Firmware(0x60001000, birdwriter::Pattern(300), 5)
                                 .Info(1234, "2.10.6 release", 0x40F5849A, "Avolin"),
                             "device.bird");
    auto r = check(path);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ((std::vector<std::string>{
                  "BIRD file: " + path,
                  "  Format version: 1.1",
                  "  Build:          1234",
                  "  Version:        2.10.6",
                  "  Serial number:  40F5849A",
                  "  Model:          Avolin",
                  "  Blocks:         3",
                  "    LOADER           flags 0  length         44  address 0x20000000",
                  "    FIRMWARE         flags 5  length        304  address 0x60001000",
                  "    INFO             flags 0  length         64  address -",
              }),
              summary(r));
}

TEST_F(CheckCommand, GenericRecoveryImageShowsOffsetsAndStartAddress)
{
    auto r = check(write(Image()
                             .Loader(0x20000000, Bytes(16, 1))
                             .StartAddress(0x20000400)
                             .Firmware(0x60001000, Bytes(128, 2))
                             .SerialOffsets(0x60001010, 0x60001040)
                             .Info(99, "3.0", 0, "Cindrel")
                             .Raw(9, {1, 2, 3}),
                         "generic.bird"));
    EXPECT_EQ(0, r.status) << r.err;
    auto lines = summary(r);
    auto has = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("  Serial number:  generic (serial number at 0x60001010, descriptor at 0x60001040)")) << r.out;
    EXPECT_TRUE(has("  Start address:  0x20000400")) << r.out;
    EXPECT_TRUE(has("    START_ADDRESS    flags 0  length          4  address -")) << r.out;
    EXPECT_TRUE(has("    SERIAL_OFFSETS   flags 0  length          8  address -")) << r.out;
    EXPECT_TRUE(has("    TYPE_9           flags 0  length          3  address -")) << r.out;
}

TEST_F(CheckCommand, ScanMismatchesAreWarnings)
{
    Image image = Image().Firmware(0x1000, Bytes(64, 3)).Info(5, "5.0", 0x1234, "Brevon");
    struct Case {
        const char* name;
        Image image;
        const char* warning;
    } cases[] = {
        {"count.bird", Image(image).DeclareCount(3), "Warning: the image declares 3 blocks but holds 2"},
        {"cut.bird", Image(image).TruncatePayload(4 + 5 + 68 + 5 + 20),
         "Warning: 25 bytes at the end of the image could not be parsed"},
        {"noinfo.bird", Image().Firmware(0x1000, Bytes(8, 1)), "Warning: the image has no information block"},
        {"v10.bird", Image(image).Version(1, 0), "Warning: format version 1.0; the local store would refuse this image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = check(write(c.image, c.name));
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.err);
        EXPECT_NE(std::string::npos, r.out.find(std::string("\n") + c.warning + "\n")) << r.out;
    }
}

TEST_F(CheckCommand, UnusableFilesGiveOneErrorLine)
{
    Bytes good = Image().Firmware(0x1000, Bytes(64, 3)).File();
    struct Case {
        const char* name;
        Bytes file;
        const char* message;
    } cases[] = {
        {"header.bird", birdwriter::Wrap({}), "Not a valid BIRD file"},
        {"plain.bird", birdwriter::Wrap(Image().Firmware(0, Bytes(8, 1)).Payload()), "Not a valid BIRD file"},
        {"cut.bird", Bytes(good.begin(), good.end() - 5), "Not a valid BIRD file"},
        {"loader.bird", Image().Loader(0x1000, Bytes(8, 1)).Info(1, "1", 1, "Avolin").File(),
         "BIRD file holds no firmware block"},
        {"zero.bird", Image().TruncatePayload(0).File(), "BIRD file holds no firmware block"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = dir.file(c.name);
        testsupport::WriteFile(path, std::string(c.file.begin(), c.file.end()));
        auto r = check(path);
        EXPECT_EQ(1, r.status);
        auto errors = SplitLines(r.err);
        ASSERT_EQ(1u, errors.size()) << r.err;
        EXPECT_EQ(0u, errors[0].find(c.message)) << errors[0];
        EXPECT_NE(std::string::npos, errors[0].find(path));
        EXPECT_EQ(1u, SplitLines(r.out).size()) << "only the version line: " << r.out;
    }

    for (const std::string& path : {dir.file("absent.bird"), dir.path()}) {
        auto r = check(path);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("BIRD file not found: " + path + "\n", r.err);
    }

    auto r = RunQuorvel({"-C", "-i", dir.path()});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(1u, SplitLines(r.err).size()) << r.err;
}

// The tool a demo script would use, end to end.
TEST_F(CheckCommand, ImagesFromTheWriterTool)
{
    std::string code = dir.file("code.bin");
    testsupport::WriteFile(code, std::string(200, 'C'));
    std::string path = dir.file("tool.bird");
    auto w = testsupport::Run({WRITER, "-o", path, "--loader", "0x20000000", "pattern:64",
                               "--flags", "2", "--firmware", "0x60000000", "@" + code,
                               "--serial-offsets", "0x60000010", "0x60000020",
                               "--info", "4711", "1.2.3 beta", "0", "Avolin",
                               "--scramble", "1", "2", "3", "4"});
    ASSERT_EQ(0, w.status) << w.err;
    auto r = check(path);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("  Build:          4711\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("  Version:        1.2.3\n"));
    EXPECT_NE(std::string::npos, r.out.find("    FIRMWARE         flags 2  length        204  address 0x60000000\n"));

    auto bad = testsupport::Run({WRITER, "-o", path, "--firmware", "0x1000"});
    EXPECT_EQ(2, bad.status);
    EXPECT_NE(std::string::npos, bad.err.find("--firmware needs more arguments"));

    auto broken = testsupport::Run({WRITER, "-o", dir.file("broken.bird"), "--format-version", "1.1",
                                    "--firmware", "0x1000", "zeros:64", "--no-compress"});
    ASSERT_EQ(0, broken.status) << broken.err;
    EXPECT_EQ(1, check(dir.file("broken.bird")).status);
}

}  // namespace
