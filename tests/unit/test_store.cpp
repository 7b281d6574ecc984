// The local store: device directories and their attribute files, finding a
// device, image files in and out, path joining and Base64.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "FileSizeLimit.h"
#include "QuorvelStore.h"
#include "aDirectory.h"
#include "base64.h"
#include "path.h"
#include "testsupport.h"

namespace fs = std::filesystem;

namespace {

class StoreTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string base = dir.file("quorvel");

    template <typename F>
    static std::string thrownText(F action)
    {
        try {
            action();
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "(nothing thrown)";
    }
};

TEST_F(StoreTest, ConstructorCreatesTheStorageDirectory)
{
    QuorvelStore store(base + "/deeper/still");
    EXPECT_TRUE(fs::is_directory(base + "/deeper/still"));
    EXPECT_EQ(base + "/deeper/still", store.BasePath());
    QuorvelStore again(base + "/deeper/still");  // an existing one is fine
}

TEST_F(StoreTest, StoragePathThatCannotBeADirectory)
{
    testsupport::WriteFile(base, "a file");
    EXPECT_EQ("QuorvelStore: " + base + " exists and is a file", thrownText([&] { QuorvelStore store(base); }));
    std::string below = base + "/sub";
    EXPECT_EQ("QuorvelStore: Could not create directory " + below + " error 12",
              thrownText([&] { QuorvelStore store(below); }));
}

TEST_F(StoreTest, AddDeviceCreatesTheDirectoryAndTheAttributeFileOnce)
{
    QuorvelStore store(base);
    QuorvelStoreItem item = store.AddDevice(0x1A2B);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(base, item.basePath);
    EXPECT_EQ("00001A2B", item.name);
    EXPECT_EQ(STORE_ITEM_DEVICE, item.kind);
    std::string settings = base + "/00001A2B/.settings";
    ASSERT_TRUE(fs::is_regular_file(settings));
    std::string first = testsupport::ReadFile(settings);
    EXPECT_NE(std::string::npos, first.find("CREATED_TIME="));
    EXPECT_NE(std::string::npos, first.find("UPDATED_TIME="));
    EXPECT_STREQ(item.attributes["CREATED_TIME"], item.attributes["UPDATED_TIME"]);

    item.attributes.Add("LATEST_DOWNLOAD", "77.bird");
    item.attributes.Save();
    std::string saved = testsupport::ReadFile(settings);
    QuorvelStoreItem again = store.AddDevice("00001A2B");
    EXPECT_EQ(saved, testsupport::ReadFile(settings)) << "a second AddDevice changes nothing";
    EXPECT_EQ(77, again.attributes.GetInt("LATEST_DOWNLOAD", 0));

    testsupport::WriteFile(base + "/FFFFFFFF", "in the way");
    EXPECT_EQ("QuorvelStore: " + base + "/FFFFFFFF exists and is a file",
              thrownText([&] { store.AddDevice(0xFFFFFFFF); }));

    QuorvelStoreItem empty;
    EXPECT_FALSE(empty.IsValid());
    EXPECT_EQ(STORE_ITEM_NONE, empty.kind);
}

// Only an entry named exactly like the device is the device: not a storage
// path that contains the digits, nor a neighbour that begins with them.
TEST_F(StoreTest, FindDeviceMatchesTheEntryNameExactly)
{
    std::string tricky = dir.file("1A2B3C4D-store/quorvel");
    QuorvelStore store(tricky);
    testsupport::WriteFile(tricky + "/1A2B3C4D.old", "old image");
    fs::create_directory(tricky + "/X1A2B3C4D");
    fs::create_directory(tricky + "/1A2B3C4DE");

    QuorvelStoreItem item;
    item.name = "untouched";
    EXPECT_FALSE(store.FindDevice(0x1A2B3C4D, &item));
    EXPECT_EQ("untouched", item.name);
    EXPECT_FALSE(store.FindDevice(0x1A2B3C4D, nullptr));
    EXPECT_FALSE(fs::exists(tricky + "/1A2B3C4D.old/.settings"));

    QuorvelStoreItem added = store.AddDevice(0x1A2B3C4D);
    added.attributes.Add("LATEST_TRANSFER", "5.bird");
    added.attributes.Save();
    ASSERT_TRUE(store.FindDevice(0x1A2B3C4D, &item));
    EXPECT_EQ(tricky, item.basePath);
    EXPECT_EQ("1A2B3C4D", item.name);
    EXPECT_EQ(STORE_ITEM_DEVICE, item.kind);
    EXPECT_EQ(5, item.attributes.GetInt("LATEST_TRANSFER", 0));
    EXPECT_TRUE(store.FindDevice("1A2B3C4D.old", nullptr));

    fs::remove_all(tricky);
    EXPECT_FALSE(store.FindDevice(0x1A2B3C4D, nullptr)) << "a store that cannot be listed holds nothing";
}

TEST_F(StoreTest, ReadBirdFile)
{
    QuorvelStore store(base);
    QuorvelStoreItem item = store.AddDevice(0x40F5849A);
    std::string deviceDir = base + "/40F5849A/";
    EXPECT_EQ("Invalid bird " + deviceDir + "1.bird", thrownText([&] { item.ReadBirdFile("1.bird"); }));

    testsupport::WriteFile(deviceDir + "2.bird", "bird\x01");
    EXPECT_EQ("Invalid bird " + deviceDir + "2.bird", thrownText([&] { item.ReadBirdFile("2.bird"); }));
    testsupport::WriteFile(deviceDir + "3.bird", "bird\x01\x01not zlib");
    EXPECT_EQ("Failed to load bird data", thrownText([&] { item.ReadBirdFile("3.bird"); }));

    birdwriter::Bytes code = birdwriter::Pattern(32, 2);
    birdwriter::Bytes image = birdwriter::Image().Firmware(0x1000, code).Info(4, "4.0", 0x40F5849A, "Avolin").File();
    ASSERT_EQ(aErrNone, item.WriteFile("4.bird", image.data(), image.size()));
    BirdFile loaded = item.ReadBirdFile("4.bird");
    EXPECT_EQ(4u, loaded.GetBuild());
    auto firmware = loaded.FindBlocks(BirdFile::BLOCK_TYPE_FIRMWARE);
    ASSERT_EQ(1u, firmware.size());
    EXPECT_EQ(0, memcmp(code.data(), firmware[0].payload(), code.size()));
}

TEST_F(StoreTest, WriteFileReplacesWholeOrNotAtAll)
{
    QuorvelStore store(base);
    QuorvelStoreItem item = store.AddDevice(7);
    std::string target = base + "/00000007/9.bird";
    const uint8_t first[] = {1, 2, 3};
    EXPECT_EQ(aErrNotFound, item.WriteFile("9.bird", nullptr, 3));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(aErrNone, item.WriteFile("9.bird", first, sizeof first));
    EXPECT_EQ(std::string("\1\2\3"), testsupport::ReadFile(target));
    EXPECT_EQ(aErrNone, item.WriteFile("empty.bird", first, 0));
    EXPECT_EQ("", testsupport::ReadFile(base + "/00000007/empty.bird"));

    std::vector<uint8_t> big(8192, 0xEE);
    {
        FileSizeLimit fullDisk(1024);
        EXPECT_EQ(aErrWrite, item.WriteFile("9.bird", big.data(), big.size()));
    }
    EXPECT_EQ(std::string("\1\2\3"), testsupport::ReadFile(target)) << "the old image stays whole";
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(base + "/00000007"))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{".settings", "9.bird", "empty.bird"}), names) << "no temporary left";
    EXPECT_EQ(aErrNone, item.WriteFile("9.bird", big.data(), big.size()));
    EXPECT_EQ(big.size(), fs::file_size(target));

    QuorvelStoreItem gone(base, "00000008", STORE_ITEM_DEVICE);  // directory never made
    EXPECT_EQ(aErrNotFound, gone.WriteFile("1.bird", first, sizeof first));
    fs::create_directory(base + "/00000007/dir.bird");
    EXPECT_EQ(aErrNotFound, item.WriteFile("dir.bird", first, sizeof first));
}

TEST(PathTest, BuildPathAlwaysInsertsTheSeparator)
{
    EXPECT_EQ("/a//b", BuildPath("/a/", "b", nullptr));
    EXPECT_EQ("a/b/c", BuildPath("a", "b", "c", nullptr));
    EXPECT_EQ("a", BuildPath("a", nullptr));
    EXPECT_EQ("a//b", BuildPath("a", "/b", nullptr));

    char buffer[64];
    ASSERT_EQ(aErrNone, aDirectory_BuildPath(buffer, sizeof buffer, "/a/", "b", nullptr));
    EXPECT_STREQ("/a/b", buffer);
    ASSERT_EQ(aErrNone, aDirectory_BuildPath(buffer, sizeof buffer, "/a/", "/b", nullptr));
    EXPECT_STREQ("/a//b", buffer);
    ASSERT_EQ(aErrNone, aDirectory_BuildPath(buffer, 8, "abc", "de", nullptr));
    EXPECT_STREQ("abc/de", buffer);
    EXPECT_EQ(aErrOverrun, aDirectory_BuildPath(buffer, 8, "abc", "def", nullptr));
}

TEST(Base64Test, Decoding)
{
    struct Case {
        std::string text;
        bool decodes;
        std::string bytes;
    } cases[] = {
        {"", true, ""},
        {"QUJD", true, "ABC"},
        {"QUI=", true, "AB"},
        {"QQ==", true, "A"},
        {"QUJDRA==", true, "ABCD"},
        {"AAEC/+8=", true, std::string("\x00\x01\x02\xff\xef", 5)},
        {"QUJDR", false, ""},        // length not a multiple of four
        {"QUJ", false, ""},
        {"QU!D", false, ""},         // outside the alphabet
        {"QUJ\n", false, ""},
        {"QUJD\r\n==", false, ""},
        {"QU-_", false, ""},         // the URL-safe alphabet is not ours
        {"Q===", false, ""},         // padding only in the last two places
        {"QQ=A", false, ""},
        {"=QJD", false, ""},
        {"QQ==QUJD", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        size_t length = 99;
        auto out = base64_decode(c.text.data(), c.text.size(), &length);
        if (!c.decodes) {
            EXPECT_EQ(nullptr, out);
            EXPECT_EQ(0u, length);
            continue;
        }
        ASSERT_NE(nullptr, out);
        ASSERT_EQ(c.bytes.size(), length);
        EXPECT_EQ(c.bytes, std::string(reinterpret_cast<const char*>(out.get()), length));
        EXPECT_EQ(0, out[length]) << "a NUL follows the bytes";
    }

    // All byte values, through a plain encoder.
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += char(i);
    for (size_t cut : {256u, 255u, 254u}) {
        std::string plain = bytes.substr(0, cut), text;
        for (size_t i = 0; i < plain.size(); i += 3) {
            uint32_t group = uint32_t(uint8_t(plain[i])) << 16;
            size_t n = std::min<size_t>(3, plain.size() - i);
            if (n > 1)
                group |= uint32_t(uint8_t(plain[i + 1])) << 8;
            if (n > 2)
                group |= uint8_t(plain[i + 2]);
            for (size_t k = 0; k < 4; ++k)
                text += k <= n ? alphabet[(group >> (18 - 6 * k)) & 63] : '=';
        }
        size_t length = 0;
        auto out = base64_decode(text.data(), text.size(), &length);
        ASSERT_NE(nullptr, out);
        EXPECT_EQ(plain, std::string(reinterpret_cast<const char*>(out.get()), length));
    }
}

}  // namespace
