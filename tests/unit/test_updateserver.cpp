// Update server client: request URLs, reply grammar, failures and time-outs,
// against a canned HTTP responder on 127.0.0.1.
// quorvel-test: threaded
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "HTTPRequest.h"
#include "Log.h"
#include "LogCapture.h"
#include "UpdateServerRequest.h"
#include "BackgroundProcess.h"
#include "UpdateServerProcess.h"
#include "testsupport.h"

namespace {

int _listen_loopback(int backlog, int& port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, backlog) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// Answers every request with one canned reply (or, when silent, accepts and
// says nothing until it is destroyed) and records the request targets.
class CannedServer {
public:
    CannedServer()
    {
        listener_ = _listen_loopback(16, port_);
        if (pipe(stop_) != 0)
            throw std::runtime_error("pipe failed");
        thread_ = std::thread([this] { Run(); });
    }
    ~CannedServer()
    {
        char byte = 0;
        EXPECT_EQ(write(stop_[1], &byte, 1), 1);
        thread_.join();
        close(listener_);
        close(stop_[0]);
        close(stop_[1]);
    }

    void Answer(int status, const std::string& body)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = status;
        body_ = body;
        silent_ = false;
    }
    void Silent()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        silent_ = true;
    }
    std::vector<std::string> Targets()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return targets_;
    }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
    const char* BaseUrl()
    {
        base_ = Base();
        return base_.c_str();
    }

private:
    // True when the stop byte arrived.
    bool WaitFor(int fd)
    {
        struct pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while (poll(fds, 2, -1) < 0) {
        }
        return fds[1].revents != 0;
    }

    void Run()
    {
        while (!WaitFor(listener_)) {
            int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                continue;
            std::string head;
            char buffer[1024];
            while (head.find("\r\n\r\n") == std::string::npos) {
                if (WaitFor(fd)) {
                    close(fd);
                    return;
                }
                ssize_t n = read(fd, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                head.append(buffer, static_cast<size_t>(n));
            }
            std::unique_lock<std::mutex> lock(mutex_);
            size_t start = head.find(' ') + 1;
            targets_.push_back(head.substr(start, head.find(' ', start) - start));
            if (silent_) {
                lock.unlock();
                WaitFor(stop_[0]);
                close(fd);
                return;
            }
            std::string reply = "HTTP/1.1 " + std::to_string(status_) + " Canned\r\nContent-Length: " +
                                std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
            lock.unlock();
            EXPECT_EQ(write(fd, reply.data(), reply.size()), static_cast<ssize_t>(reply.size()));
            close(fd);
        }
    }

    int listener_ = -1;
    int port_ = 0;
    int stop_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mutex_;
    int status_ = 200;
    std::string body_ = "ok\n";
    bool silent_ = false;
    std::vector<std::string> targets_;
    std::string base_;
};

const uint32_t SERIAL = 0x0000ABCD;

TEST(HTTPRequest, QueryStringInKeyOrderWithTrailingAmpersand)
{
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"sn", "0000ABCD"}, {"op", "qu"}}),
              "http://h/cgi/u?op=qu&sn=0000ABCD&");
    // Upper-case keys sort before lower-case ones (byte order).
    EXPECT_EQ(HTTPRequest::BuildURL("u", {{"b", "1"}, {"B", "2"}, {"a", "3"}}), "u?B=2&a=3&b=1&");
}

TEST(HTTPRequest, ValuesArePercentEncodedOutsideTheUnreservedSet)
{
    EXPECT_EQ(HTTPRequest::Encode("AZaz09-._~"), "AZaz09-._~");
    EXPECT_EQ(HTTPRequest::Encode("fw 1/2&x=y%"), "fw%201%2F2%26x%3Dy%25");
    EXPECT_EQ(HTTPRequest::Encode(std::string("\xff\x01", 2)), "%FF%01");
}

TEST(UpdateServerRequest, DefaultBaseUrlIsTheBuiltInServer)
{
    EXPECT_STREQ(UpdateServerRequest::DEFAULT_BASE_URL, "http://" QUORVEL_DEFAULT_SERVER_HOST "/cgi/u");
}

TEST(UpdateServerRequest, ExactRequestUrls)
{
    CannedServer server;
    LogCapture log(DEBUG_ServerComm);
    std::string build = "125", firmware = "fw", image;
    UpdateServerRequest::BuildList builds;
    uint32_t serial = 0, recoveryBuild = 0;
    const uint32_t fingerprint[4] = {0x12345678, 0x9ABCDEF0, 0x1, 0xFFFFFFFF};

    server.Answer(200, "ok\n");
    ASSERT_TRUE(UpdateServerRequest::ping(server.BaseUrl()));
    ASSERT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, build, firmware, server.BaseUrl()));
    ASSERT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "std fw/2", "125", image, server.BaseUrl(), false));
    ASSERT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "x", "7", image, server.BaseUrl(), true));
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, server.BaseUrl()));
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, recoveryBuild, server.BaseUrl()));

    std::vector<std::string> expected = {
        "/cgi/u?op=hi&rv=2&",
        "/cgi/u?op=qu&sn=0000ABCD&",
        "/cgi/u?bld=125&fw=std%20fw%2F2&no_cal=false&op=bird&sn=0000ABCD&",
        "/cgi/u?bld=7&fw=x&no_cal=true&op=bird&sn=0000ABCD&",
        "/cgi/u?op=builds&sn=0000ABCD&",
        "/cgi/u?brief=true&fp=12345678%209ABCDEF0%2000000001%20FFFFFFFF&op=fix&",
    };
    EXPECT_EQ(server.Targets(), expected);
    std::string text = log.text();
    for (const auto& target : expected)
        EXPECT_NE(text.find("GET(" + server.Base().substr(0, server.Base().size() - 6) + target + ")\n"),
                  std::string::npos)
            << target << "\n" << text;
}

TEST(UpdateServerRequest, StatusLineMustBeginWithOk)
{
    struct Case { const char* body; bool ok; };
    const Case cases[] = {
        {"ok\n", true},         {"ok", true},           {"okay\n", true},  {"ok\r\n", true},
        {"\n\n\nok\n", true},   {"ok, fine\n", true},   {"OK\n", false},   {"o\n", false},
        {"", false},            {"\n\n", false},        {" ok\n", false},  {"error\nok\n", false},
    };
    CannedServer server;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        server.Answer(200, c.body);
        EXPECT_EQ(UpdateServerRequest::ping(server.BaseUrl()), c.ok);
    }
}

TEST(UpdateServerRequest, QueryBuildReplies)
{
    struct Case { const char* body; const char* build; const char* firmware; };
    const Case cases[] = {
        {"ok\n125\nstd-fw\n", "125", "std-fw"},
        // Line 2 keeps its carriage return; line 3 ends at it.
        {"ok\r\n125\r\nstd-fw\r\n", "125\r", "std-fw"},
        {"ok\n\n\n126\n\nfw 2\n", "126", "fw 2"},
        {"ok", "old", "oldfw"},
        {"ok\n127\n", "127", "oldfw"},
    };
    CannedServer server;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        server.Answer(200, c.body);
        std::string build = "old", firmware = "oldfw";
        EXPECT_TRUE(UpdateServerRequest::QueryBuild(SERIAL, build, firmware, server.BaseUrl()));
        EXPECT_EQ(build, c.build);
        EXPECT_EQ(firmware, c.firmware);
    }
}

TEST(UpdateServerRequest, BuildListReplies)
{
    typedef UpdateServerRequest::BuildList Map;
    struct Case { const char* body; Map expected; };
    const Case cases[] = {
        // The first of a repeated build is kept; "125" sorts before "99".
        {"ok\n125;2.1.0\n99;1.9.4\n125;2.1.1\n", {{"125", "2.1.0"}, {"99", "1.9.4"}}},
        // Lines shorter than three characters are skipped; no ";" gives an empty version.
        {"ok\n12\n7;\n130\n8;x\n", {{"130", ""}, {"8", "x"}}},
        // Carriage returns belong to neither field.
        {"ok\r\n125;2.1.0\r\n99\r\n", {{"125", "2.1.0"}, {"99", ""}}},
        {"ok\n", {}},
        {"ok\n1;a;b c\n", {{"1", "a;b c"}}},
    };
    CannedServer server;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        server.Answer(200, c.body);
        Map builds{{"stale", "x"}};
        EXPECT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, server.BaseUrl()));
        EXPECT_EQ(builds, c.expected);
    }
    std::vector<std::string> order;
    server.Answer(200, "ok\n99;b\n125;a\n100;c\n");
    Map builds;
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, server.BaseUrl()));
    for (const auto& entry : builds)
        order.push_back(entry.first);
    EXPECT_EQ(order, (std::vector<std::string>{"100", "125", "99"}));
}

TEST(UpdateServerRequest, BuildListLogsEveryLineAndEntry)
{
    CannedServer server;
    LogCapture log(DEBUG_ServerComm);
    server.Answer(200, "ok\n12\n125;2.1.0-long-text\n");
    UpdateServerRequest::BuildList builds;
    ASSERT_TRUE(UpdateServerRequest::GetBuildList(SERIAL, builds, server.BaseUrl()));
    std::string text = log.text();
    EXPECT_NE(text.find("GetBuildList processing entry: [12]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("GetBuildList processing entry: [125;2.1.0-long-text]\n"), std::string::npos);
    EXPECT_NE(text.find("GetBuildList [125][2.1.0-long]\n"), std::string::npos);
    EXPECT_EQ(text.find("GetBuildList [12]"), std::string::npos);
}

TEST(UpdateServerRequest, BuildListIsEmptiedEvenWhenTheRequestFails)
{
    CannedServer server;
    server.Answer(500, "broken");
    UpdateServerRequest::BuildList builds{{"1", "x"}};
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(SERIAL, builds, server.BaseUrl()));
    EXPECT_TRUE(builds.empty());
}

TEST(UpdateServerRequest, RecoveryInfoReplies)
{
    struct Case { const char* body; uint32_t serial; uint32_t build; };
    const Case cases[] = {
        {"ok\n40F5849A\n125\n", 0x40F5849A, 125},
        {"ok\n40F5849A\n0x7D\n", 0x40F5849A, 125},
        {"ok\n40F5849A\n0125\n", 0x40F5849A, 85},
        {"ok\r\nDEADDEAD\r\n7\r\n", 0xDEADDEAD, 7},
        {"ok\n1234\n", 0x1234, 1},
        {"ok\n", 1, 1},
    };
    const uint32_t fingerprint[4] = {1, 2, 3, 4};
    CannedServer server;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        server.Answer(200, c.body);
        uint32_t serial = 1, build = 1;
        EXPECT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, build, server.BaseUrl()));
        EXPECT_EQ(serial, c.serial);
        EXPECT_EQ(build, c.build);
    }
    LogCapture log(DEBUG_ServerComm);
    server.Answer(200, "ok\n40F5849A\n");
    uint32_t serial = 0, build = 0;
    ASSERT_TRUE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, build, server.BaseUrl()));
    EXPECT_NE(log.text().find("GetRecoveryInfo [ok][40F5849A][]\n"), std::string::npos) << log.text();
}

TEST(UpdateServerRequest, GetBuildReplies)
{
    CannedServer server;
    std::string image = "previous";
    server.Answer(200, "ok\nQUJD\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "fw", "125", image, server.BaseUrl()));
    EXPECT_EQ(image, "QUJD");
    // A reply without the image line clears the image text.
    server.Answer(200, "ok\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "fw", "125", image, server.BaseUrl()));
    EXPECT_EQ(image, "");
    // A carriage return stays in the image text (the decoder then rejects it).
    server.Answer(200, "ok\r\nQUJD\r\n");
    EXPECT_TRUE(UpdateServerRequest::GetBuild(SERIAL, "fw", "125", image, server.BaseUrl()));
    EXPECT_EQ(image, "QUJD\r");
}

TEST(UpdateServerRequest, NotFoundLeavesOutputsUnchangedAndLogsStatusAndBody)
{
    CannedServer server;
    LogCapture log(DEBUG_ServerComm);
    server.Answer(404, "ok\n999\nfw\n");
    std::string build = "b", firmware = "f", image = "i";
    uint32_t serial = 5, recoveryBuild = 6;
    const uint32_t fingerprint[4] = {1, 2, 3, 4};
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(SERIAL, build, firmware, server.BaseUrl()));
    EXPECT_FALSE(UpdateServerRequest::GetBuild(SERIAL, "fw", "1", image, server.BaseUrl()));
    EXPECT_FALSE(UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, recoveryBuild, server.BaseUrl()));
    EXPECT_FALSE(UpdateServerRequest::ping(server.BaseUrl()));
    EXPECT_EQ(build, "b");
    EXPECT_EQ(firmware, "f");
    EXPECT_EQ(image, "i");
    EXPECT_EQ(serial, 5u);
    EXPECT_EQ(recoveryBuild, 6u);
    std::string text = log.text();
    EXPECT_NE(text.find("QueryBuild ==> [404] [ok\n999\nfw\n]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("GetBuild ==> [404] ["), std::string::npos);
    EXPECT_NE(text.find("GetRecoveryInfo ==> [404] ["), std::string::npos);
    EXPECT_NE(text.find("PING ==> [404] ["), std::string::npos);
}

TEST(UpdateServerRequest, ReplyWithoutOkLogsTheRequest)
{
    CannedServer server;
    LogCapture log(DEBUG_ServerComm);
    server.Answer(200, "error: unknown device\n");
    std::string build = "b", firmware = "f";
    EXPECT_FALSE(UpdateServerRequest::QueryBuild(SERIAL, build, firmware, server.BaseUrl()));
    EXPECT_EQ(build, "b");
    EXPECT_NE(log.text().find("ServerCommClass: QueryBuild failed [" + server.Base() + "?op=qu&sn=0000ABCD&]\n"),
              std::string::npos)
        << log.text();
}

TEST(UpdateServerRequest, ReceivedDataIsLogged)
{
    CannedServer server;
    LogCapture log(DEBUG_ServerComm);
    server.Answer(200, "ok\n");
    ASSERT_TRUE(UpdateServerRequest::ping(server.BaseUrl()));
    std::string text = log.text();
    EXPECT_NE(text.find("rcv_data called (..., 1, 3, "), std::string::npos) << text;
    EXPECT_NE(text.find(std::string(97, ' ') + "ok\n]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("rcv_data returns 3\n"), std::string::npos);
}

TEST(UpdateServerRequest, UnreachableServerFailsWithLibcurlText)
{
    LogCapture log(DEBUG_ServerComm);
    std::string url = "http://127.0.0.1:" + std::to_string(testsupport::UnusedPort()) + "/cgi/u";
    EXPECT_THROW(HTTPRequest::GET(url, {{"op", "hi"}}), std::runtime_error);
    UpdateServerRequest::BuildList builds{{"1", "x"}};
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_FALSE(UpdateServerRequest::GetBuildList(SERIAL, builds, url.c_str()));
    EXPECT_TRUE(builds.empty());
    std::string text = log.text();
    EXPECT_NE(text.find("ping ==> [Couldn't connect to server]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("GetBuildList ==> [Couldn't connect to server]\n"), std::string::npos) << text;
}

TEST(UpdateServerRequest, OnlyHttpAndHttpsAreSpoken)
{
    LogCapture log(DEBUG_ServerComm);
    EXPECT_FALSE(UpdateServerRequest::ping("file:///etc/passwd"));
    EXPECT_NE(log.text().find("ping ==> [Unsupported protocol]\n"), std::string::npos) << log.text();
}

TEST(UpdateServerRequest, HttpsServerMustPresentATrustedCertificate)
{
    // A TLS server with a self-signed certificate: anyone on the path could
    // present one, so the request must fail before any reply is read.
    testsupport::TempDir dir;
    testsupport::ProcResult made = testsupport::Run(
        {"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", dir.file("key.pem"),
         "-out", dir.file("cert.pem"), "-subj", "/CN=127.0.0.1", "-days", "1"});
    ASSERT_EQ(made.status, 0) << made.err;
    int port = testsupport::UnusedPort();
    testsupport::BackgroundProcess tls({"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port),
                                        "-cert", dir.file("cert.pem"), "-key", dir.file("key.pem"), "-www"},
                                       dir.file("s_server.err"));
    std::string line;
    while (!(line = tls.ReadLine()).empty() && line != "ACCEPT") {
    }
    ASSERT_EQ(line, "ACCEPT") << testsupport::ReadFile(dir.file("s_server.err"));

    LogCapture log(DEBUG_ServerComm);
    std::string url = "https://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_NE(log.text().find("ping ==> [SSL peer certificate or SSH remote key was not OK]\n"), std::string::npos)
        << log.text();
}

// Shortens the time-outs for one test.
class ShortTimeouts {
public:
    ShortTimeouts(long connectMs, long lowSpeedS)
    {
        HTTPRequest::connectTimeoutMs = connectMs;
        HTTPRequest::lowSpeedTimeS = lowSpeedS;
    }
    ~ShortTimeouts()
    {
        HTTPRequest::connectTimeoutMs = HTTPRequest::DEFAULT_CONNECT_TIMEOUT_MS;
        HTTPRequest::lowSpeedTimeS = HTTPRequest::DEFAULT_LOW_SPEED_TIME_S;
    }
};

double _seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(UpdateServerRequest, SilentServerTimesOut)
{
    ShortTimeouts timeouts(HTTPRequest::DEFAULT_CONNECT_TIMEOUT_MS, 1);
    CannedServer server;
    LogCapture log(DEBUG_ServerComm);
    server.Silent();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UpdateServerRequest::ping(server.BaseUrl()));
    EXPECT_LT(_seconds_since(start), 10.0);
    EXPECT_NE(log.text().find("ping ==> [Timeout was reached]\n"), std::string::npos) << log.text();
}

TEST(UpdateServerRequest, ConnectionNeverAcceptedTimesOut)
{
    ShortTimeouts timeouts(300, HTTPRequest::DEFAULT_LOW_SPEED_TIME_S);
    // A listener that never accepts, its backlog of one already taken: the
    // kernel drops further connection requests, so connecting hangs.
    int port = 0;
    int listener = _listen_loopback(0, port);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    LogCapture log(DEBUG_ServerComm);
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/cgi/u";
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(UpdateServerRequest::ping(url.c_str()));
    EXPECT_LT(_seconds_since(start), 10.0);
    EXPECT_NE(log.text().find("ping ==> [Timeout was reached]\n"), std::string::npos) << log.text();
    for (int fd : fillers)
        close(fd);
    close(listener);
}

TEST(UpdateServerRequest, ConcurrentRequestsOnSeparateThreads)
{
    CannedServer server;
    server.Answer(200, "ok\nQUJD\n");
    std::string base = server.Base();
    std::vector<std::thread> threads;
    std::vector<int> results(4, 0);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            std::string image;
            results[i] = UpdateServerRequest::GetBuild(SERIAL, "fw", "1", image, base.c_str()) && image == "QUJD";
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(results, std::vector<int>(4, 1));
}

}  // namespace
