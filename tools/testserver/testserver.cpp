#include "testserver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Sockets are non-blocking and every wait is a select() in short slices, so a
// stop request is noticed within one slice without relying on closesocket()
// from another thread to cancel a blocked call (which Wine does not promise).
constexpr long kSliceUs = 20000;
constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kSendPiece = 1 << 20;
constexpr unsigned kResetPauseMs = 200;

const char* ReasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

std::string PathOf(const std::string& target)
{
    std::string path = target;
    // absolute-form ("http://host:port/path"), as a proxy-minded client may send
    size_t scheme = path.find("://");
    if (scheme != std::string::npos && scheme < path.find('/')) {
        size_t slash = path.find('/', scheme + 3);
        path = slash == std::string::npos ? "/" : path.substr(slash);
    }
    size_t cut = path.find_first_of("?#");
    if (cut != std::string::npos)
        path.erase(cut);
    return path;
}

bool ParseNumber(const std::string& text, size_t& value)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = (size_t)std::stoull(text);
    return true;
}

std::string Trimmed(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

enum class RangeAsk { None, Slice, Unsatisfiable };

// The one range a request head asks of total bytes, as a static server reads
// it. Several ranges, other units and malformed values are ignored (None).
RangeAsk ParseRange(const std::string& head, size_t total, size_t& first, size_t& last)
{
    std::string value;
    for (size_t at = head.find("\r\n"); at != std::string::npos;) {
        size_t end = head.find("\r\n", at + 2);
        std::string line = head.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
        at = end;
        size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return (char)std::tolower(c); });
        if (colon != std::string::npos && name == "range")
            value = Trimmed(line.substr(colon + 1));
    }
    if (value.compare(0, 6, "bytes=") != 0 || value.find(',') != std::string::npos)
        return RangeAsk::None;
    std::string bounds = Trimmed(value.substr(6));
    size_t dash = bounds.find('-');
    if (dash == std::string::npos)
        return RangeAsk::None;
    std::string a = Trimmed(bounds.substr(0, dash)), b = Trimmed(bounds.substr(dash + 1));
    size_t from = 0, to = 0;
    if (a.empty()) {  // the last b bytes
        if (!ParseNumber(b, to))
            return RangeAsk::None;
        if (to == 0 || total == 0)
            return RangeAsk::Unsatisfiable;
        first = total > to ? total - to : 0;
        last = total - 1;
        return RangeAsk::Slice;
    }
    if (!ParseNumber(a, from) || (!b.empty() && (!ParseNumber(b, to) || to < from)))
        return RangeAsk::None;
    if (from >= total)
        return RangeAsk::Unsatisfiable;
    first = from;
    last = b.empty() ? total - 1 : std::min(to, total - 1);
    return RangeAsk::Slice;
}

// The request head has a Range header (any letter case).
bool AsksForRange(const std::string& head)
{
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return (char)std::tolower(c); });
    return lower.find("\r\nrange:") != std::string::npos;
}

void SetNonBlocking(SOCKET s)
{
    u_long on = 1;
    ioctlsocket(s, FIONBIO, &on);
}

}  // namespace

struct TestServer::Impl {
    SOCKET listener = INVALID_SOCKET;
    unsigned short port = 0;
    std::atomic<bool> stopping{false};

    std::atomic<unsigned> roundTripMs{0};
    mutable std::mutex mu;
    mutable std::condition_variable cv;  // signalled on stop and on every request
    std::map<std::string, std::shared_ptr<const TestRoute>> routes;
    std::map<std::string, int> counts;
    std::map<std::string, unsigned long long> bodyBytes;
    std::map<std::string, std::string> lastHeads;
    std::vector<std::string> targets;

    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::thread acceptThread;
    std::list<Worker> workers;  // touched by the accept thread, then by the destructor after joining it

    // Waits until s is readable/writable. False on stop, on deadline or on a select error.
    bool WaitSocket(SOCKET s, bool forWrite, Clock::time_point deadline = Clock::time_point::max()) const
    {
        while (!stopping.load()) {
            if (Clock::now() >= deadline)
                return false;
            fd_set set;
            FD_ZERO(&set);
            FD_SET(s, &set);
            timeval tv{0, kSliceUs};
            int r = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &tv);
            if (r > 0)
                return true;
            if (r < 0)
                return false;
        }
        return false;
    }

    // Sleeps up to ms; false if the server is stopping.
    bool Pause(unsigned ms) const
    {
        std::unique_lock<std::mutex> lock(mu);
        return !cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping.load(); });
    }

    bool SendAll(SOCKET s, const char* data, size_t len) const
    {
        while (len > 0) {
            int n = send(s, data, (int)std::min(len, kSendPiece), 0);
            if (n > 0) {
                data += n;
                len -= (size_t)n;
            } else if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
                if (!WaitSocket(s, true))
                    return false;
            } else {
                return false;
            }
        }
        return true;
    }

    // Reads up to the empty line that ends the request head. False if the peer
    // went away, the head is too large, or the server is stopping.
    bool ReadHead(SOCKET s, std::string& head) const
    {
        std::string buf;
        char chunk[4096];
        for (;;) {
            size_t end = buf.find("\r\n\r\n");
            if (end != std::string::npos) {
                head = buf.substr(0, end);
                return true;
            }
            if (buf.size() > kMaxHead)
                return false;
            int n = recv(s, chunk, sizeof chunk, 0);
            if (n > 0)
                buf.append(chunk, (size_t)n);
            else if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
                if (!WaitSocket(s, false))
                    return false;
            } else {
                return false;
            }
        }
    }

    static void CloseWithReset(SOCKET s)
    {
        linger lg{1, 0};
        setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
        closesocket(s);
    }

    // FIN first, then swallow whatever the client still sends for a moment, so
    // unread input does not turn our close into a reset that could eat the response.
    void CloseGracefully(SOCKET s) const
    {
        shutdown(s, SD_SEND);
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(250);
        char sink[4096];
        for (;;) {
            int n = recv(s, sink, sizeof sink, 0);
            if (n > 0)
                continue;
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK && WaitSocket(s, false, deadline))
                continue;
            break;
        }
        closesocket(s);
    }

    std::shared_ptr<const TestRoute> Record(const std::string& target, const std::string& path, const std::string& head)
    {
        std::shared_ptr<const TestRoute> route;
        {
            std::lock_guard<std::mutex> lock(mu);
            targets.push_back(target);
            ++counts[path];
            lastHeads[path] = head;
            auto it = routes.find(path);
            if (it != routes.end())
                route = it->second;
        }
        cv.notify_all();
        return route;
    }

    enum class Ending { Graceful, Reset };

    // A reset is sent only after the client has had time to read what came
    // before it and wait for more: under Wine a reset that lands before the
    // client's recv() is reported as a plain end of stream, not as an error.
    Ending ResetAfterPause() const
    {
        Pause(kResetPauseMs);
        return Ending::Reset;
    }

    void CountBody(const std::string& path, size_t n)
    {
        std::lock_guard<std::mutex> lock(mu);
        bodyBytes[path] += n;
    }

    // What a route answers to one request: the status, the bytes and the
    // Content-Range line after a range was read.
    struct Reply {
        int status;
        const char* body;
        size_t bodySize;
        std::string rangeHeader;
    };

    static Reply ReplyFor(const TestRoute& route, const std::string& request)
    {
        Reply r{route.status, route.body.data(), route.body.size(), std::string()};
        size_t first = 0, last = 0;
        RangeAsk ask = r.status == 200 && !route.ignoreRange ? ParseRange(request, r.bodySize, first, last) : RangeAsk::None;
        if (ask == RangeAsk::Slice) {
            r.status = 206;
            const std::string& from = route.rangeBody.empty() ? route.body : route.rangeBody;
            r.body = from.data() + std::min(first, from.size());
            r.bodySize = std::min(last + 1, from.size()) - std::min(first, from.size());
            r.rangeHeader = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                            std::to_string(route.body.size()) + "\r\n";
        } else if (ask == RangeAsk::Unsatisfiable) {
            r.status = 416;
            r.bodySize = 0;
            r.rangeHeader = "Content-Range: bytes */" + std::to_string(route.body.size()) + "\r\n";
        }
        return r;
    }

    static std::string HeadFor(const TestRoute& route, const Reply& reply)
    {
        std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + ReasonPhrase(reply.status) + "\r\n";
        head += "Content-Type: " + route.contentType + "\r\n";
        if (route.sendLength) {
            long long length = route.announcedLength >= 0 ? route.announcedLength : (long long)reply.bodySize;
            head += "Content-Length: " + std::to_string(length) + "\r\n";
        }
        head += reply.rangeHeader;
        head += route.extraHeaders;
        head += "Connection: close\r\n\r\n";
        return head;
    }

    // Sends total bytes of body in the route's pieces, with its stall; false
    // when the stop or the peer cut it short.
    bool SendBody(SOCKET s, const TestRoute& route, const char* body, size_t total, const std::string& path)
    {
        size_t stallAt = route.stallMs ? std::min(route.stallAfter, total) : std::string::npos;
        size_t piece = route.chunkBytes ? route.chunkBytes : kSendPiece;
        size_t sent = 0;
        for (;;) {
            if (sent == stallAt) {
                if (!Pause(route.stallMs))
                    return false;
                stallAt = std::string::npos;
            }
            if (sent >= total)
                return true;
            size_t n = std::min(piece, total - sent);
            if (stallAt != std::string::npos)
                n = std::min(n, stallAt - sent);
            bool ok = SendAll(s, body + sent, n);
            if (!path.empty())
                CountBody(path, n);  // what a client that went away did not read is counted too
            if (!ok)
                return false;
            sent += n;
            // a gap between pieces makes them arrive as separate reads
            if (route.chunkBytes && sent < total && !Pause(2))
                return false;
        }
    }

    // Anything cut short (stop, peer gone) ends with a reset, so a client
    // never mistakes a dying server for a complete answer.
    Ending Answer(SOCKET s, const TestRoute& route, bool headOnly, const std::string& path = std::string(),
                  const std::string& request = std::string())
    {
        if (route.resetBeforeHeaders)
            return ResetAfterPause();
        const Reply reply = ReplyFor(route, request);
        const std::string head = HeadFor(route, reply);
        if (!SendAll(s, head.data(), head.size()))
            return Ending::Reset;
        size_t total = headOnly ? 0 : std::min(reply.bodySize, route.sendBytes);
        if (!SendBody(s, route, reply.body, total, path))
            return Ending::Reset;
        return route.reset ? ResetAfterPause() : Ending::Graceful;
    }

    // Answer, from as far away as SetLatency says.
    Ending Respond(SOCKET s, const TestRoute& route, bool headOnly, const std::string& path = std::string(),
                   const std::string& request = std::string())
    {
        const unsigned wait = 2 * roundTripMs.load() + route.answerDelayMs;
        if (wait && !Pause(wait))
            return Ending::Reset;
        return Answer(s, route, headOnly, path, request);
    }

    void Finish(SOCKET s, Ending ending) const
    {
        if (ending == Ending::Graceful)
            CloseGracefully(s);
        else
            CloseWithReset(s);
    }

    void HandleConnection(SOCKET s)
    {
        std::string head;
        if (!ReadHead(s, head)) {
            closesocket(s);
            return;
        }
        std::string line = head.substr(0, head.find("\r\n"));
        size_t sp1 = line.find(' ');
        size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
        TestRoute answer;
        bool headOnly = false;
        std::string path;
        if (sp2 == std::string::npos) {
            answer.status = 400;
            answer.body = "bad request";
            answer.contentType = "text/plain";
        } else {
            std::string method = line.substr(0, sp1);
            std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
            path = PathOf(target);
            std::shared_ptr<const TestRoute> route = Record(target, path, head);
            headOnly = method == "HEAD";
            if (method != "GET" && !headOnly) {
                answer.status = 405;
                answer.body = "method not allowed";
                answer.contentType = "text/plain";
            } else if (!route) {
                answer.status = 404;
                answer.body = "not found";
                answer.contentType = "text/plain";
            } else if (!route->rangeAnswer.empty() && AsksForRange(head)) {
                Finish(s, SendAll(s, route->rangeAnswer.data(), route->rangeAnswer.size()) ? Ending::Graceful
                                                                                          : Ending::Reset);
                return;
            } else {
                Finish(s, Respond(s, *route, headOnly, path, head));
                return;
            }
        }
        Finish(s, Respond(s, answer, headOnly, path));
    }

    void AcceptLoop()
    {
        while (!stopping.load()) {
            if (!WaitSocket(listener, false)) {
                Pause(kSliceUs / 1000);  // select failed: do not spin
                continue;
            }
            SOCKET c = accept(listener, nullptr, nullptr);
            if (c == INVALID_SOCKET)
                continue;
            SetNonBlocking(c);
            BOOL noDelay = TRUE;
            setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);

            for (auto it = workers.begin(); it != workers.end();) {
                if (it->done->load()) {
                    it->thread.join();
                    it = workers.erase(it);
                } else {
                    ++it;
                }
            }
            auto done = std::make_shared<std::atomic<bool>>(false);
            try {
                workers.push_back(Worker{std::thread([this, c, done] {
                                             HandleConnection(c);
                                             done->store(true);
                                         }),
                                         done});
            } catch (...) {
                closesocket(c);
            }
        }
    }
};

TestServer::TestServer() : impl_(new Impl)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        throw std::runtime_error("TestServer: WSAStartup failed");

    auto fail = [this](const char* what) {
        std::string msg = std::string("TestServer: ") + what + " failed, error " + std::to_string(WSAGetLastError());
        if (impl_->listener != INVALID_SOCKET)
            closesocket(impl_->listener);
        WSACleanup();
        throw std::runtime_error(msg);
    };

    impl_->listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (impl_->listener == INVALID_SOCKET)
        fail("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(impl_->listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        fail("bind");
    if (listen(impl_->listener, SOMAXCONN) != 0)
        fail("listen");
    int len = sizeof addr;
    if (getsockname(impl_->listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        fail("getsockname");
    impl_->port = ntohs(addr.sin_port);
    SetNonBlocking(impl_->listener);

    try {
        impl_->acceptThread = std::thread([this] { impl_->AcceptLoop(); });
    } catch (const std::exception&) {
        fail("thread start");
    }
}

TestServer::~TestServer()
{
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->stopping.store(true);
    }
    impl_->cv.notify_all();
    impl_->acceptThread.join();
    for (auto& w : impl_->workers)
        w.thread.join();
    closesocket(impl_->listener);
    WSACleanup();
}

unsigned short TestServer::Port() const
{
    return impl_->port;
}

std::string TestServer::BaseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(impl_->port);
}

std::string TestServer::Url(const std::string& path) const
{
    return BaseUrl() + path;
}

void TestServer::Serve(const std::string& path, TestRoute route)
{
    auto shared = std::make_shared<const TestRoute>(std::move(route));
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->routes[path] = std::move(shared);
}

void TestServer::ServeFile(const std::string& path, const std::string& bytes)
{
    TestRoute route;
    route.body = bytes;
    Serve(path, std::move(route));
}

void TestServer::SetLatency(unsigned roundTripMs)
{
    impl_->roundTripMs.store(roundTripMs);
}

int TestServer::Requests(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->counts.find(path);
    return it == impl_->counts.end() ? 0 : it->second;
}

std::vector<std::string> TestServer::RequestTargets() const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->targets;
}

std::string TestServer::LastRequestHeaders(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->lastHeads.find(path);
    return it == impl_->lastHeads.end() ? std::string() : it->second;
}

unsigned long long TestServer::BodyBytesSent(const std::string& path) const
{
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto it = impl_->bodyBytes.find(path);
    return it == impl_->bodyBytes.end() ? 0 : it->second;
}

bool TestServer::WaitForRequests(const std::string& path, int count, unsigned timeoutMs) const
{
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        auto it = impl_->counts.find(path);
        return it != impl_->counts.end() && it->second >= count;
    });
}
