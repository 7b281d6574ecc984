// Attribute files: the read and written forms, merging, typed access, dirty
// tracking, time stamps, and saves that never leave a part of a file.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <regex>
#include <string>

#include "FileSizeLimit.h"
#include "KeyValueStore.h"
#include "LogCapture.h"
#include "testsupport.h"

namespace {

typedef std::map<std::string, std::string> Entries;

class KeyValueStoreTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
    std::string path = dir.file(".settings");

    KeyValueStore loaded(const std::string& text)
    {
        testsupport::WriteFile(path, text);
        return KeyValueStore(path.c_str());
    }
    std::vector<std::string> directoryNames()
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.push_back(entry.path().filename());
        return names;
    }
};

TEST_F(KeyValueStoreTest, ReadForm)
{
    KeyValueStore store = loaded(
        "  LATEST_DOWNLOAD  =  1234  \n"
        "# a comment=ignored\n"
        "   #hash=kept, the key begins with #\n"
        "a=\n"
        "b\n"
        "\n"
        "=empty key\n"
        "url = http://host/cgi/u?a=b&c=d \n"
        "repeated=first\n"
        "no equals sign here\n"
        "\t tab\t=\tinner  spaces \t\n"
        "crlf=value\r\n"
        "repeated=second\n"
        "last=no line end");
    Entries want = {
        {"LATEST_DOWNLOAD", "1234"},
        {"#hash", "kept, the key begins with #"},
        {"a", ""},
        {"", "empty key"},
        {"url", "http://host/cgi/u?a=b&c=d"},
        {"repeated", "second"},
        {"tab", "inner  spaces"},
        {"crlf", "value"},
        {"last", "no line end"},
    };
    EXPECT_EQ(want, store.Entries());
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(path, store.Path());
}

TEST_F(KeyValueStoreTest, ReadingStopsAtAnOverlongLine)
{
    std::string longest = "k=" + std::string(KeyValueStore::MAX_LINE_LENGTH - 3, 'v') + "\n";  // 2047 bytes
    std::string tooLong = "x=" + std::string(KeyValueStore::MAX_LINE_LENGTH - 2, 'v') + "\n";  // 2048 bytes
    KeyValueStore store = loaded("first=1\n" + longest + tooLong + "after=2\n");
    EXPECT_EQ("1", store.GetString("first"));
    EXPECT_EQ(KeyValueStore::MAX_LINE_LENGTH - 3, store.GetString("k").size());
    EXPECT_EQ(nullptr, store["x"]);
    EXPECT_EQ(nullptr, store["after"]);
}

TEST_F(KeyValueStoreTest, SaveWritesEachKeyOnceInByteOrder)
{
    KeyValueStore store = loaded("b=2\nB=1\na=0\nb=3\n");
    store.Save();
    EXPECT_EQ("B=1\na=0\nb=3\n", testsupport::ReadFile(path));

    store.Add("Z", "z");
    store.Save(dir.file("other").c_str());
    EXPECT_EQ(dir.file("other"), store.Path());
    std::string saved = testsupport::ReadFile(dir.file("other"));
    EXPECT_TRUE(std::regex_match(saved, std::regex("B=1\nUPDATED_TIME=.{24}\nZ=z\na=0\nb=3\n"))) << saved;
}

TEST_F(KeyValueStoreTest, LoadMergesIntoWhatIsHeld)
{
    KeyValueStore store;
    store.Add("kept", "1");
    store.Add("replaced", "old");
    testsupport::WriteFile(path, "replaced=new\nadded=2\n");
    store.Load(path.c_str());
    EXPECT_EQ((Entries{{"kept", "1"}, {"replaced", "new"}, {"added", "2"}}), store.Entries());
    EXPECT_FALSE(store.IsDirty());
}

TEST_F(KeyValueStoreTest, MissingFileIsCreatedWithBothTimeStamps)
{
    KeyValueStore store(path.c_str());
    const char* created = store[KeyValueStore::KEY_CREATED_TIME];
    const char* updated = store[KeyValueStore::KEY_UPDATED_TIME];
    ASSERT_NE(nullptr, created);
    ASSERT_NE(nullptr, updated);
    EXPECT_STREQ(created, updated);
    EXPECT_TRUE(std::regex_match(created, std::regex("[A-Z][a-z]{2} [A-Z][a-z]{2} [ 123][0-9] "
                                                     "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}")))
        << created;
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ("CREATED_TIME=" + std::string(created) + "\nUPDATED_TIME=" + created + "\n",
              testsupport::ReadFile(path));
}

TEST_F(KeyValueStoreTest, DirtyTrackingAndUpdateTime)
{
    KeyValueStore store = loaded("UPDATED_TIME=earlier\nn=5\n");
    store.Add("n", 5);
    EXPECT_FALSE(store.IsDirty()) << "same text";
    store.Save();
    store.Save();
    EXPECT_EQ("UPDATED_TIME=earlier\nn=5\n", testsupport::ReadFile(path)) << "clean saves keep the time";

    store.Add("n", 6);
    EXPECT_TRUE(store.IsDirty());
    store.Save();
    EXPECT_FALSE(store.IsDirty());
    EXPECT_STRNE("earlier", store[KeyValueStore::KEY_UPDATED_TIME]);

    KeyValueStore other;
    other.Add("n", "6");
    store.Add(other);
    EXPECT_TRUE(store.IsDirty()) << "merging a non-empty store marks dirty even without a change";
    store.Save();
    store.Add(KeyValueStore());
    EXPECT_FALSE(store.IsDirty());
    store.Clear();
    EXPECT_TRUE(store.IsDirty());
    EXPECT_TRUE(store.Entries().empty());
}

TEST_F(KeyValueStoreTest, SettersFormatTheirValues)
{
    KeyValueStore store;
    store.Add("int", -42);
    store.Add("double", 2.5);
    store.AddHex("hex", 0xABCD);
    store.Add("text", "t x");
    store.Add("string", std::string("s"));
    store.Add("null", static_cast<const char*>(nullptr));
    EXPECT_EQ((Entries{{"int", "-42"}, {"double", "2.500000"}, {"hex", "0x0000ABCD"}, {"text", "t x"},
                       {"string", "s"}, {"null", ""}}),
              store.Entries());
    store.Add("huge", 1e300);  // "%f" of a huge value is not cut
    EXPECT_EQ(301u + 7u, store.GetString("huge").size());
}

TEST_F(KeyValueStoreTest, TypedGetters)
{
    KeyValueStore store = loaded(
        "t=true\ntwo=2\none=1\nzero=0\nyes=yes\n"
        "hex1=0x0000ABCD\nhex2=ABCD\nbuild=1234.bird\nneg=-7\nword=abc\nd=2.75\nempty=\n");
    EXPECT_FALSE(store.GetBOOL("t", true));
    EXPECT_TRUE(store.GetBOOL("two", false));
    EXPECT_TRUE(store.GetBOOL("one", false));
    EXPECT_FALSE(store.GetBOOL("zero", true));
    EXPECT_FALSE(store.GetBOOL("yes", true));
    EXPECT_EQ(0xABCDu, store.GetHex("hex1", 0));
    EXPECT_EQ(0xABCDu, store.GetHex("hex2", 0));
    EXPECT_EQ(1234, store.GetInt("build", 0));
    EXPECT_EQ(-7, store.GetInt("neg", 0));
    EXPECT_EQ(0, store.GetInt("word", 9));
    EXPECT_DOUBLE_EQ(2.75, store.GetDouble("d", 0));
    EXPECT_EQ(9, store.GetInt("empty", 9));
    EXPECT_FALSE(store.IsDirty());

    // An absent key read by a typed getter is created empty and saved so.
    EXPECT_EQ(nullptr, store["LATEST_TRANSFER"]);
    EXPECT_EQ("fallback", store.GetString("LATEST_TRANSFER", "fallback"));
    EXPECT_EQ("", store.GetString("LATEST_TRANSFER"));
    EXPECT_EQ(nullptr, store["LATEST_TRANSFER"]) << "GetString and [] create nothing";
    EXPECT_EQ(17, store.GetInt("LATEST_TRANSFER", 17));
    EXPECT_STREQ("", store["LATEST_TRANSFER"]);
    EXPECT_FALSE(store.IsDirty());
    store.Save();
    EXPECT_NE(std::string::npos, ("\n" + testsupport::ReadFile(path)).find("\nLATEST_TRANSFER=\n"));
}

TEST_F(KeyValueStoreTest, CopiesAreIndependent)
{
    KeyValueStore store = loaded("a=1\n");
    KeyValueStore copy = store;
    copy.Add("a", "2");
    copy.Save(dir.file("copy").c_str());
    EXPECT_STREQ("1", store["a"]);
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(path, store.Path());
}

TEST_F(KeyValueStoreTest, SaveWithoutAPathUsesTheDefaultName)
{
    testsupport::TempDir cwd;
    std::string here = std::filesystem::current_path();
    std::filesystem::current_path(cwd.path());
    LogCapture log(DEBUG_Attributes);
    KeyValueStore store;
    store.Add("k", "v");
    store.Save();
    std::filesystem::current_path(here);
    EXPECT_EQ(".settings", store.Path());
    EXPECT_TRUE(log.contains("Attibutes: no filename given for attributes, using default:[.settings]\n"));
    EXPECT_NE(std::string::npos, testsupport::ReadFile(cwd.file(".settings")).find("k=v\n"));
}

// A save that cannot complete must leave the previous file whole (and the
// store dirty), not a truncated one that the next run trusts.
TEST_F(KeyValueStoreTest, FailedSaveLeavesTheOldFile)
{
    const std::string before = "LATEST_DOWNLOAD=1234.bird\nUPDATED_TIME=earlier\n";
    KeyValueStore store = loaded(before);
    chmod(path.c_str(), 0640);
    store.Add("HISTORY", std::string(4096, 'h'));
    {
        FileSizeLimit fullDisk(64);
        LogCapture log(DEBUG_Attributes);
        store.Save();
        EXPECT_TRUE(log.contains("Attibutes: Error - cannot write attributes file: '" + path + "'")) << log.text();
    }
    EXPECT_EQ(before, testsupport::ReadFile(path));
    EXPECT_TRUE(store.IsDirty());
    EXPECT_EQ(std::vector<std::string>{".settings"}, directoryNames()) << "no temporary file left";

    store.Save();
    EXPECT_FALSE(store.IsDirty());
    EXPECT_NE(std::string::npos, testsupport::ReadFile(path).find(std::string(4096, 'h')));
    struct stat info;
    ASSERT_EQ(0, stat(path.c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777) << "the replaced file keeps its permission bits";

    // A path that cannot be written at all: a directory, or no directory.
    LogCapture log(DEBUG_Attributes);
    store.Add("x", "y");
    store.Save(dir.path().c_str());
    EXPECT_TRUE(log.contains("Attibutes: Error - cannot open attributes file for writting: '" + dir.path() + "' (21)"))
        << log.text();
    EXPECT_TRUE(store.IsDirty());
    KeyValueStore nowhere(dir.file("no/such/dir/.settings").c_str());
    EXPECT_NE(nullptr, nowhere[KeyValueStore::KEY_CREATED_TIME]);
    EXPECT_TRUE(log.contains("cannot open attributes file: '" + dir.file("no/such/dir/.settings") + "' (2)"));
}

}  // namespace
