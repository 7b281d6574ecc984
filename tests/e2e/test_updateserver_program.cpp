// The update server program: what it serves from a hand-made tree, what it
// refuses, its request log and its fault switches.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "HTTPRequest.h"
#include "UpdateServerProcess.h"
#include "testsupport.h"

namespace {

using testsupport::TempDir;
using testsupport::UpdateServerProcess;
using testsupport::WriteFile;

struct Reply {
    long status;
    std::string body;
};

Reply Get(const UpdateServerProcess& server, const HTTPRequest::Parameters& parameters)
{
    HTTPResponse response = HTTPRequest::GET(server.url(), parameters);
    return {static_cast<long>(response.get_status()), response.get_response()};
}

// Sends raw bytes and returns everything the server answers.
std::string RawExchange(int port, const std::string& request)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return "";
    }
    EXPECT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    std::string reply;
    char buffer[1024];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        reply.append(buffer, static_cast<size_t>(n));
    close(fd);
    return reply;
}

// 40F5849A: builds 99 and 125, current 125 by being highest; 2181F0EE: a
// "current" file and a firmware identifier; DEADDEAD: the default recovery.
class ServerTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        Put("40F5849A/125.bird", "hello");
        Put("40F5849A/125.version", "2.1.0\n");
        Put("40F5849A/99.bird", "x");
        Put("40F5849A/99.version", "1.9.4\n");
        Put("40F5849A/notes.txt", "not an image");
        Put("40F5849A/0100.bird", "not canonical");
        Put("40F5849A/abc.bird", "not a number");
        std::filesystem::create_directories(tree.file("40F5849A/200.bird"));
        Put("2181F0EE/7.bird", "seven");
        Put("2181F0EE/8.bird", "eight");
        Put("2181F0EE/current", " 7 \n");
        Put("2181F0EE/firmware", "lab-fw\n");
        Put("DEADDEAD/3.bird", "rescue");
        Put("fingerprints", "# words serial build\n"
                            "0A1B2C3D 00000001 DEADBEEF 12345678  40F5849A 99\n"
                            "\n"
                            "1 2 3 4 2181F0EE   # current build\n"
                            "5 6 7 8 zz 1\n");
        Put("secret", "outside");
    }
    void Put(const std::string& name, const std::string& content)
    {
        std::filesystem::path path = tree.file(name);
        std::filesystem::create_directories(path.parent_path());
        WriteFile(path, content);
    }

    TempDir tree;
};

TEST_F(ServerTree, AnswersTheFiveOperations)
{
    UpdateServerProcess server(tree.path());
    struct Case { HTTPRequest::Parameters query; long status; const char* body; };
    const Case cases[] = {
        {{{"op", "hi"}, {"rv", "2"}}, 200, "ok\n"},
        {{{"op", "qu"}, {"sn", "40F5849A"}}, 200, "ok\n125\nstandard\n"},
        {{{"op", "qu"}, {"sn", "2181f0ee"}}, 200, "ok\n7\nlab-fw\n"},
        {{{"op", "builds"}, {"sn", "40F5849A"}}, 200, "ok\n99;1.9.4\n125;2.1.0\n"},
        {{{"op", "builds"}, {"sn", "2181F0EE"}}, 200, "ok\n7;unknown\n8;unknown\n"},
        {{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "125"}, {"fw", "x"}, {"no_cal", "false"}}, 200,
         "ok\naGVsbG8=\n"},
        {{{"op", "bird"}, {"sn", "2181F0EE"}, {"bld", "0"}}, 200, "ok\nc2V2ZW4=\n"},
        {{{"op", "bird"}, {"sn", "2181F0EE"}, {"bld", "8"}}, 200, "ok\nZWlnaHQ=\n"},
        {{{"op", "fix"}, {"fp", "0A1B2C3D 00000001 DEADBEEF 12345678"}, {"brief", "true"}}, 200,
         "ok\n40F5849A\n99\n"},
        {{{"op", "fix"}, {"fp", "00000001 00000002 00000003 00000004"}}, 200, "ok\n2181F0EE\n7\n"},
        {{{"op", "fix"}, {"fp", "00000009 00000002 00000003 00000004"}}, 200, "ok\nDEADDEAD\n3\n"},
        {{{"op", "fix"}, {"fp", "5 6 7 8"}}, 500, "error: fingerprints: bad serial number zz\n"},
        {{{"op", "qu"}, {"sn", "1234"}}, 404, "error: unknown device 00001234\n"},
        {{{"op", "builds"}, {"sn", "1234"}}, 404, "error: unknown device 00001234\n"},
        {{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "100"}}, 404,
         "error: no image of build 100 for device 40F5849A\n"},
        {{{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "200"}}, 404,
         "error: no image of build 200 for device 40F5849A\n"},
        {{{"op", "nope"}}, 400, "error: unknown operation\n"},
        {{}, 400, "error: unknown operation\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(HTTPRequest::BuildURL("", c.query));
        Reply reply = Get(server, c.query);
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.body, c.body);
    }
}

TEST_F(ServerTree, RefusesValuesThatAreNotPlainNumbers)
{
    UpdateServerProcess server(tree.path());
    const char* serials[] = {"../secret", "..", "40F5849A/..", "/etc", "123456789", "", "+1", "-1", " 1",
                             "0x12", "4O"};
    for (const char* sn : serials) {
        SCOPED_TRACE(sn);
        Reply reply = Get(server, {{"op", "qu"}, {"sn", sn}});
        EXPECT_EQ(reply.status, 400);
        EXPECT_EQ(reply.body, "error: sn must be 1 to 8 hexadecimal digits\n");
        EXPECT_EQ(Get(server, {{"op", "bird"}, {"sn", sn}, {"bld", "125"}}).status, 400);
    }
    const char* builds[] = {"../../secret", "125/..", "12345678901", "4294967296", "-1", "1e3", "", " 125"};
    for (const char* bld : builds) {
        SCOPED_TRACE(bld);
        Reply reply = Get(server, {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", bld}});
        EXPECT_EQ(reply.status, 400);
        EXPECT_EQ(reply.body, "error: bld must be a decimal build number\n");
    }
    const char* fingerprints[] = {"1 2 3", "1 2 3 4 5", "1  2 3 4", "../x 2 3 4", ""};
    for (const char* fp : fingerprints) {
        SCOPED_TRACE(fp);
        EXPECT_EQ(Get(server, {{"op", "fix"}, {"fp", fp}}).status, 400);
    }
    // Escapes are decoded before the check, so an encoded path is refused the same way.
    std::string raw = RawExchange(server.port(), "GET /cgi/u?op=qu&sn=%2E%2E%2Fsecret HTTP/1.0\r\n\r\n");
    EXPECT_EQ(raw.substr(0, 12), "HTTP/1.1 400");
    EXPECT_EQ(raw.find("outside"), std::string::npos);
}

TEST_F(ServerTree, RefusesOtherPathsMethodsAndMalformedRequests)
{
    UpdateServerProcess server(tree.path());
    struct Case { const char* request; const char* statusLine; };
    const Case cases[] = {
        {"GET /cgi/u?op=hi HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK\r\n"},
        {"GET /cgi/u?op=hi HTTP/1.1\nHost: x\n\n", "HTTP/1.1 200 OK\r\n"},
        {"GET /secret HTTP/1.0\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
        {"GET /cgi/u/../secret?op=hi HTTP/1.0\r\n\r\n", "HTTP/1.1 404 Not Found\r\n"},
        {"POST /cgi/u?op=hi HTTP/1.0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed\r\n"},
        {"GET /cgi/u?op=qu&sn=%zz HTTP/1.0\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
        {"hello\r\n\r\n", "HTTP/1.1 400 Bad Request\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        std::string reply = RawExchange(server.port(), c.request);
        EXPECT_EQ(reply.substr(0, std::string(c.statusLine).size()), c.statusLine);
        EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos);
    }
    std::string big = "GET /cgi/u?op=hi&x=" + std::string(20000, 'a') + " HTTP/1.0\r\n\r\n";
    EXPECT_EQ(RawExchange(server.port(), big).substr(0, 12), "HTTP/1.1 413");
}

TEST_F(ServerTree, LogsOneLinePerRequest)
{
    UpdateServerProcess server(tree.path());
    Get(server, {{"op", "qu"}, {"sn", "40F5849A"}});
    Get(server, {{"op", "qu"}, {"sn", "../secret"}});
    RawExchange(server.port(), std::string("GET /cgi/u?op=hi&x=\x1b[2J HTTP/1.0\r\n\r\n"));
    std::vector<std::string> lines = testsupport::SplitLines(server.log());
    ASSERT_EQ(lines.size(), 3u) << server.log();
    EXPECT_NE(lines[0].find(" 127.0.0.1:"), std::string::npos);
    EXPECT_NE(lines[0].find("\"GET /cgi/u?op=qu&sn=40F5849A& HTTP/1.1\" 200 qu 40F5849A current 125 standard"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("400 qu sn must be 1 to 8 hexadecimal digits"), std::string::npos) << lines[1];
    // Control characters from the client do not reach the log.
    EXPECT_NE(lines[2].find("\"GET /cgi/u?op=hi&x=?[2J HTTP/1.0\" 200 hi"), std::string::npos) << lines[2];
}

TEST_F(ServerTree, FaultSwitches)
{
    {
        UpdateServerProcess server(tree.path(), {"--status", "bird=503", "--status", "hi=500"});
        EXPECT_EQ(Get(server, {{"op", "hi"}}).status, 500);
        Reply bird = Get(server, {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "125"}});
        EXPECT_EQ(bird.status, 503);
        EXPECT_EQ(bird.body, "error: forced status 503\n");
        EXPECT_EQ(Get(server, {{"op", "qu"}, {"sn", "40F5849A"}}).status, 200);
    }
    {
        UpdateServerProcess server(tree.path(), {"--okay", "--crlf", "--bad-base64"});
        EXPECT_EQ(Get(server, {{"op", "qu"}, {"sn", "40F5849A"}}).body, "okay\r\n125\r\nstandard\r\n");
        EXPECT_EQ(Get(server, {{"op", "bird"}, {"sn", "40F5849A"}, {"bld", "125"}}).body, "okay\r\naGVsbG8\r\n");
    }
    {
        UpdateServerProcess server(tree.path(), {"--delay", "qu=300"});
        auto start = std::chrono::steady_clock::now();
        Get(server, {{"op", "hi"}});
        auto afterHi = std::chrono::steady_clock::now();
        Get(server, {{"op", "qu"}, {"sn", "40F5849A"}});
        auto afterQu = std::chrono::steady_clock::now();
        EXPECT_GE(afterQu - afterHi, std::chrono::milliseconds(300));
        EXPECT_LT(afterHi - start, std::chrono::milliseconds(300));
    }
}

TEST(UpdateServerProgram, OptionsAndStartUp)
{
    testsupport::ProcResult help = testsupport::Run({QUORVEL_UPDATESERVER_BIN, "--help"});
    EXPECT_EQ(help.status, 0);
    // Its default address is the one Quorvel asks when -u is not given.
    EXPECT_NE(help.out.find("--listen HOST:PORT  address to listen on (default " QUORVEL_DEFAULT_SERVER_HOST),
              std::string::npos)
        << help.out;
    for (std::vector<std::string> args : {std::vector<std::string>{"--bogus"}, {"--listen", "nocolon"},
                                          {"--status", "bird=abc"}, {"--delay", "zz=1"}, {"--root"}}) {
        args.insert(args.begin(), QUORVEL_UPDATESERVER_BIN);
        testsupport::ProcResult r = testsupport::Run(args);
        EXPECT_EQ(r.status, 2) << args[1];
        EXPECT_NE(r.err.find("Usage: quorvel-updateserver"), std::string::npos);
    }

    TempDir dir;
    std::string portFile = dir.file("port");
    UpdateServerProcess server(dir.path(), {"--port-file", portFile});
    EXPECT_EQ(testsupport::ReadFile(portFile), std::to_string(server.port()) + "\n");
    // A second server on the same port fails to start and says why.
    testsupport::ProcResult clash =
        testsupport::Run({QUORVEL_UPDATESERVER_BIN, "--root", dir.path(), "--listen", server.hostPort()});
    EXPECT_EQ(clash.status, 1);
    EXPECT_NE(clash.err.find("cannot listen on 127.0.0.1:" + std::to_string(server.port())), std::string::npos);
}

}  // namespace
