// The test web server's fault modes, as a WinINet client and a raw socket see them.
#include "TestUtil.h"
#include "testserver.h"

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct InetCloser {
    void operator()(void* h) const { InternetCloseHandle(h); }
};
using InetHandle = std::unique_ptr<void, InetCloser>;

InetHandle OpenSession()
{
    return InetHandle(InternetOpenA("testserver-test", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
}

struct Fetched {
    bool opened = false;
    DWORD status = 0, length = 0;
    bool hasLength = false;
    std::string body;
    BOOL lastRead = TRUE;  // result of the read that ended the loop
    DWORD lastError = 0;
};

Fetched InetGet(const std::string& url, const std::string& headers = std::string())
{
    Fetched f;
    InetHandle net = OpenSession();
    InetHandle req(InternetOpenUrlA(net.get(), url.c_str(), headers.empty() ? nullptr : headers.c_str(), (DWORD)headers.size(),
                                    INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_RELOAD, 0));
    if (!(f.opened = req != nullptr))
        return f;
    DWORD size = sizeof f.status;
    HttpQueryInfoA(req.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &f.status, &size, nullptr);
    size = sizeof f.length;
    f.hasLength = HttpQueryInfoA(req.get(), HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &f.length, &size, nullptr) != FALSE;
    std::vector<char> buf(65536);
    DWORD got = 1;
    while (f.lastRead && got > 0) {
        f.lastRead = InternetReadFile(req.get(), buf.data(), (DWORD)buf.size(), &got);
        f.lastError = f.lastRead ? 0 : GetLastError();
        f.body.append(buf.data(), got);
    }
    return f;
}

// A plain client socket; reads give up after 10 s so a server fault fails a test instead of hanging it.
SOCKET Connect(unsigned short port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    DWORD timeoutMs = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    return s;
}

struct RawReply {
    std::string head, body;  // head: status line and headers
    int lastRecv = 0;        // 0: orderly close; SOCKET_ERROR: see error
    int error = 0;
};

RawReply RawRequest(unsigned short port, const std::string& path, const char* method = "GET",
                    const std::string& headers = std::string())
{
    RawReply r;
    SOCKET s = Connect(port);
    std::string request = std::string(method) + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
    send(s, request.data(), (int)request.size(), 0);
    std::string all;
    char buf[65536];
    while ((r.lastRecv = recv(s, buf, sizeof buf, 0)) > 0)
        all.append(buf, r.lastRecv);
    r.error = r.lastRecv == SOCKET_ERROR ? WSAGetLastError() : 0;
    closesocket(s);
    size_t end = all.find("\r\n\r\n");
    r.head = all.substr(0, end);
    if (end != std::string::npos)
        r.body = all.substr(end + 4);
    return r;
}

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = (char)(i * 131 + i / 251);
    return s;
}

TestRoute WithBody(std::string body)
{
    TestRoute r;
    r.body = std::move(body);
    return r;
}

}  // namespace

TEST(TestServer, ServesStatusBodyAndLengthAndAnswers404)
{
    TestServer server;
    server.ServeFile("/a.bin", "first");
    server.ServeFile("/a.bin", "hello");  // replaces the earlier route
    TestRoute error = WithBody("<html>boom</html>");
    error.status = 500;
    error.contentType = "text/html";
    server.Serve("/error", error);

    Fetched ok = InetGet(server.Url("/a.bin"));
    ASSERT_TRUE(ok.opened);
    EXPECT_EQ(200u, ok.status);
    EXPECT_TRUE(ok.hasLength);
    EXPECT_EQ(5u, ok.length);
    EXPECT_EQ("hello", ok.body);

    Fetched failed = InetGet(server.Url("/error"));
    EXPECT_EQ(500u, failed.status);
    EXPECT_EQ("<html>boom</html>", failed.body);
    EXPECT_NE(std::string::npos, RawRequest(server.Port(), "/error").head.find("Content-Type: text/html"));

    Fetched missing = InetGet(server.Url("/nowhere.xml"));
    EXPECT_EQ(404u, missing.status);
    EXPECT_EQ(9u, missing.length);
    EXPECT_EQ("not found", missing.body);

    RawReply head = RawRequest(server.Port(), "/a.bin", "HEAD");
    EXPECT_NE(std::string::npos, head.head.find("Content-Length: 5"));
    EXPECT_EQ("", head.body);
    EXPECT_EQ(0, head.lastRecv);
}

TEST(TestServer, LargeChunkedAndStalledBodiesArriveIntact)
{
    TestServer server;
    const std::string big = Pattern(16u << 20);  // many times the socket buffers
    server.ServeFile("/big", big);
    TestRoute pieces = WithBody(Pattern(1000));
    pieces.chunkBytes = 7;
    pieces.stallAfter = 500;  // inside a piece
    pieces.stallMs = 400;
    server.Serve("/pieces", pieces);

    Fetched f = InetGet(server.Url("/big"));
    EXPECT_EQ(big.size(), f.length);
    EXPECT_TRUE(f.body == big) << "got " << f.body.size() << " bytes";

    Clock::time_point start = Clock::now();
    RawReply raw = RawRequest(server.Port(), "/pieces");
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(350));  // the stall happened...
    EXPECT_TRUE(pieces.body == raw.body) << "got " << raw.body.size() << " bytes";  // ...and the rest followed
    EXPECT_EQ(0, raw.lastRecv);
}

TEST(TestServer, MissingAndWrongLengths)
{
    TestServer server;
    TestRoute noLength = WithBody(Pattern(10000));
    noLength.sendLength = false;
    server.Serve("/nolength", noLength);
    TestRoute shortBody = WithBody(std::string(1000, 'x'));
    shortBody.sendBytes = 100;
    server.Serve("/short", shortBody);

    Fetched all = InetGet(server.Url("/nolength"));
    EXPECT_FALSE(all.hasLength);
    EXPECT_EQ(noLength.body, all.body);  // read to the close

    Fetched cut = InetGet(server.Url("/short"));
    EXPECT_EQ(1000u, cut.length);
    EXPECT_EQ(std::string(100, 'x'), cut.body);

    RawReply raw = RawRequest(server.Port(), "/short");
    EXPECT_NE(std::string::npos, raw.head.find("Content-Length: 1000"));
    EXPECT_EQ(100u, raw.body.size());
    EXPECT_EQ(0, raw.lastRecv) << "a short body ends with FIN, not a reset (error " << raw.error << ")";
}

TEST(TestServer, ResetIsAReadError)
{
    TestServer server;
    TestRoute reset = WithBody(std::string(1000, 'x'));
    reset.sendBytes = 100;
    reset.reset = true;
    server.Serve("/reset", reset);
    TestRoute early = WithBody("never");
    early.resetBeforeHeaders = true;
    server.Serve("/early", early);

    Fetched f = InetGet(server.Url("/reset"));
    ASSERT_TRUE(f.opened);
    EXPECT_EQ(200u, f.status);
    EXPECT_FALSE(f.lastRead);
    EXPECT_NE(0u, f.lastError);
    EXPECT_LE(f.body.size(), 100u);
    EXPECT_FALSE(InetGet(server.Url("/early")).opened);

    RawReply raw = RawRequest(server.Port(), "/reset");
    EXPECT_EQ(std::string(100, 'x'), raw.body);
    EXPECT_EQ(SOCKET_ERROR, raw.lastRecv);
    EXPECT_EQ(WSAECONNRESET, raw.error);
    RawReply none = RawRequest(server.Port(), "/early");
    EXPECT_EQ("", none.head);
    EXPECT_EQ(WSAECONNRESET, none.error);
}

TEST(TestServer, AnswersSingleRangesLikeAStaticServerAndCountsBodyBytes)
{
    TestServer server;
    const std::string body = Pattern(100000);
    server.ServeFile("/f.bin", body);
    TestRoute whole = WithBody(body);
    whole.ignoreRange = true;
    server.Serve("/whole.bin", whole);
    TestRoute corrupt = WithBody(body);
    corrupt.rangeBody = Pattern(100001).substr(1);
    server.Serve("/corrupt.bin", corrupt);
    TestRoute scripted = WithBody(body);
    scripted.rangeAnswer = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 1-2/*\r\nContent-Length: 2\r\n\r\nab";
    server.Serve("/scripted.bin", scripted);

    struct Case { const char* range; const char* status; std::string contentRange; size_t first, count; };
    const Case cases[] = {
        { "bytes=10-19", "206", "bytes 10-19/100000", 10, 10 },
        { "bytes=99990-", "206", "bytes 99990-99999/100000", 99990, 10 },
        { "bytes=-5", "206", "bytes 99995-99999/100000", 99995, 5 },
        { "bytes=5-200000", "206", "bytes 5-99999/100000", 5, 99995 },
        { "bytes=100000-", "416", "bytes */100000", 0, 0 },
        { "bytes=0-1,5-6", "200", "", 0, 100000 },  // several ranges: the whole body
        { "bytes=9-3", "200", "", 0, 100000 },      // malformed: ignored
    };
    unsigned long long sent = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.range);
        RawReply r = RawRequest(server.Port(), "/f.bin?x", "GET", std::string("Range: ") + c.range + "\r\n");
        EXPECT_EQ(0u, r.head.find(std::string("HTTP/1.1 ") + c.status + " ")) << r.head;
        EXPECT_NE(std::string::npos, r.head.find("Content-Length: " + std::to_string(c.count) + "\r\n")) << r.head;
        if (c.contentRange.empty())
            EXPECT_EQ(std::string::npos, r.head.find("Content-Range")) << r.head;
        else
            EXPECT_NE(std::string::npos, r.head.find("Content-Range: " + c.contentRange + "\r\n")) << r.head;
        EXPECT_TRUE(r.body == body.substr(c.first, c.count)) << r.body.size() << " bytes";
        sent += c.count;
    }
    EXPECT_EQ(sent, server.BodyBytesSent("/f.bin"));

    // As the updater asks, through WinINet.
    Fetched resumed = InetGet(server.Url("/f.bin"), "Range: bytes=60000-\r\n");
    EXPECT_EQ(206u, resumed.status);
    EXPECT_TRUE(resumed.body == body.substr(60000)) << resumed.body.size() << " bytes";
    // The server counts a piece once its send has returned, which may be after the client has it.
    WaitUntil([&] { return server.BodyBytesSent("/f.bin") == sent + 40000; }, 2000);
    EXPECT_EQ(sent + 40000, server.BodyBytesSent("/f.bin"));

    RawReply ignored = RawRequest(server.Port(), "/whole.bin", "GET", "Range: bytes=10-19\r\n");
    EXPECT_EQ(0u, ignored.head.find("HTTP/1.1 200 OK")) << ignored.head;
    EXPECT_EQ(std::string::npos, ignored.head.find("Content-Range"));
    EXPECT_TRUE(ignored.body == body);
    EXPECT_EQ(100000u, server.BodyBytesSent("/whole.bin"));

    RawReply bad = RawRequest(server.Port(), "/corrupt.bin", "GET", "Range: bytes=10-19\r\n");
    EXPECT_NE(std::string::npos, bad.head.find("Content-Range: bytes 10-19/100000")) << bad.head;
    EXPECT_EQ(corrupt.rangeBody.substr(10, 10), bad.body);
    EXPECT_NE(body.substr(10, 10), bad.body);
    EXPECT_TRUE(RawRequest(server.Port(), "/corrupt.bin").body == body);  // whole answers stay right

    RawReply script = RawRequest(server.Port(), "/scripted.bin", "GET", "rAnGe: bytes=1-2\r\n");
    EXPECT_EQ(scripted.rangeAnswer, script.head + "\r\n\r\n" + script.body);
    EXPECT_TRUE(RawRequest(server.Port(), "/scripted.bin").body == body);  // only a range request gets it
    EXPECT_EQ(100000u, server.BodyBytesSent("/scripted.bin"));
    EXPECT_EQ(0u, server.BodyBytesSent("/nowhere"));
}

TEST(TestServer, CountsRequestsIgnoringTheQuery)
{
    TestServer server;
    server.ServeFile("/update/update.xml", "<update/>");
    EXPECT_EQ(0, server.Requests("/update/update.xml"));

    InetGet(server.Url("/update/update.xml?=4711"));
    InetGet(server.Url("/update/update.xml?=4712"));
    InetGet(server.Url("/missing?x=1"));

    EXPECT_EQ(2, server.Requests("/update/update.xml"));
    EXPECT_EQ(1, server.Requests("/missing"));
    EXPECT_EQ(0, server.Requests("/update"));
    std::vector<std::string> expected{"/update/update.xml?=4711", "/update/update.xml?=4712", "/missing?x=1"};
    EXPECT_EQ(expected, server.RequestTargets());
    std::string head = server.LastRequestHeaders("/update/update.xml");
    EXPECT_EQ(0u, head.find("GET /update/update.xml?=4712 HTTP/1.1\r\n")) << head;
    EXPECT_NE(std::string::npos, head.find("Host: 127.0.0.1:" + std::to_string(server.Port())));
}

TEST(TestServer, LatencyDelaysEachAnswerByTwoRoundTripsAndConnectionsDoNotWaitForEachOther)
{
    TestServer server;
    const std::string body = Pattern(100000);
    server.ServeFile("/a.bin", body);
    const auto roundTrip = std::chrono::milliseconds(300);
    server.SetLatency((unsigned)roundTrip.count());

    Clock::time_point start = Clock::now();
    auto pending = std::async(std::launch::async, [&] { return RawRequest(server.Port(), "/a.bin"); });
    EXPECT_TRUE(server.WaitForRequests("/a.bin", 1, 250)) << "counted when read, before the wait";
    RawReply raw = pending.get();
    EXPECT_GE(Clock::now() - start, 2 * roundTrip);  // the handshake's and the request's
    EXPECT_TRUE(raw.body == body) << raw.body.size() << " bytes";
    EXPECT_EQ(0, raw.lastRecv) << "closed as before, error " << raw.error;

    // Four at once take about as long as one: the wait is per connection.
    start = Clock::now();
    std::vector<std::future<Fetched>> fetches;
    for (int i = 0; i < 4; ++i)
        fetches.push_back(std::async(std::launch::async, [&] { return InetGet(server.Url("/a.bin")); }));
    for (auto& f : fetches) {
        Fetched got = f.get();
        EXPECT_EQ(200u, got.status);
        EXPECT_TRUE(got.body == body) << got.body.size() << " bytes";
    }
    EXPECT_GE(Clock::now() - start, 2 * roundTrip);
    EXPECT_LT(Clock::now() - start, 6 * roundTrip);  // one after another: 8 round trips
    EXPECT_EQ(404u, InetGet(server.Url("/missing")).status);

    server.SetLatency(0);
    start = Clock::now();
    EXPECT_EQ("", RawRequest(server.Port(), "/a.bin", "HEAD").body);
    EXPECT_LT(Clock::now() - start, roundTrip);
}

TEST(TestServer, DestroyingTheServerEndsAStalledTransfer)
{
    struct Winsock {  // our own, for the socket that outlives the server
        Winsock() { WSADATA wsa; WSAStartup(MAKEWORD(2, 2), &wsa); }
        ~Winsock() { WSACleanup(); }
    } winsock;
    auto server = std::make_unique<TestServer>();
    TestRoute stall = WithBody(std::string(1000, 'x'));
    stall.stallAfter = 100;
    stall.stallMs = 60000;
    server->Serve("/stall", stall);

    InetHandle net = OpenSession();
    InetHandle con(InternetConnectA(net.get(), "127.0.0.1", server->Port(), nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    InetHandle req(HttpOpenRequestA(con.get(), "GET", "/stall", nullptr, nullptr, nullptr,
                                    INTERNET_FLAG_DONT_CACHE | INTERNET_FLAG_RELOAD, 0));
    // Safety net only, so a server that never lets go fails the test instead of hanging it.
    // Set before sending: Wine ignores a timeout set later or inherited from the session.
    DWORD timeoutMs = 20000;
    InternetSetOptionA(req.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeoutMs, sizeof timeoutMs);
    ASSERT_TRUE(HttpSendRequestA(req.get(), nullptr, 0, nullptr, 0));

    std::atomic<size_t> received{0};
    auto reader = std::async(std::launch::async, [&] {
        for (;;) {
            char buf[10];  // small reads: a synchronous read waits until its buffer is full
            DWORD got = 0;
            BOOL ok = InternetReadFile(req.get(), buf, sizeof buf, &got);
            received += got;
            if (!ok || got == 0)
                return ok ? 0ul : GetLastError();
        }
    });
    for (int i = 0; i < 1000 && received.load() < 100; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(100u, received.load());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(std::future_status::timeout, reader.wait_for(std::chrono::seconds(0))) << "read should wait in the stall";
    SOCKET idle = Connect(server->Port());  // a second client that never sends its request

    Clock::time_point destroyStart = Clock::now();
    server.reset();
    EXPECT_LT(Clock::now() - destroyStart, std::chrono::seconds(3));  // against a 60 s stall

    ASSERT_EQ(std::future_status::ready, reader.wait_for(std::chrono::seconds(5)));
    unsigned long error = reader.get();
    EXPECT_NE((unsigned long)ERROR_INTERNET_TIMEOUT, error);
    EXPECT_NE((unsigned long)WSAETIMEDOUT, error);
    EXPECT_EQ(100u, received.load());

    char byte;
    int idleEnd = recv(idle, &byte, 1, 0);
    int idleError = idleEnd == SOCKET_ERROR ? WSAGetLastError() : 0;
    closesocket(idle);
    EXPECT_TRUE(idleEnd == 0 || idleError == WSAECONNRESET) << "recv " << idleEnd << ", error " << idleError;
}
