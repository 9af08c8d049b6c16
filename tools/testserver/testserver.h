// A small scriptable HTTP/1.1 server for tests: listens on 127.0.0.1 on an
// ephemeral port, serves in-memory routes and can misbehave on purpose
// (missing or wrong Content-Length, short bodies, stalls, resets, ranges
// ignored or answered with other bytes) or answer from afar (SetLatency).
// A 200 route answers a single range ("Range: bytes=a-b", "bytes=a-" or
// "bytes=-n") with 206 and Content-Range as a static server does, or 416 when
// the range starts past the end; the fault modes then apply to the slice.
// Every connection gets "Connection: close". Nothing here waits without a
// bound: destroying the server interrupts stalls and resets every connection
// still being answered.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct TestRoute {
    int status = 200;                 // any status; unknown codes get the reason "Status"
    std::string body;                 // bytes to serve
    std::string contentType = "application/octet-stream";
    bool sendLength = true;           // false: no Content-Length; the body ends when the connection closes
    long long announcedLength = -1;   // >= 0: announce this Content-Length instead of body.size()
    size_t sendBytes = (size_t)-1;    // send at most this many body bytes, then close (short body)
    unsigned stallMs = 0;             // after stallAfter body bytes, wait this long (cut short by the server's stop)
    size_t stallAfter = 0;            // clamped to the number of body bytes actually sent
    // Resets (RST instead of FIN) come 200 ms after the last byte, so that the
    // client is already waiting in a read when the reset lands.
    bool reset = false;               // after headers + sendBytes, close with RST
    bool resetBeforeHeaders = false;  // RST instead of any answer once the request has been read
    unsigned chunkBytes = 0;          // > 0: send the body in pieces of this size, each flushed on its own
    unsigned answerDelayMs = 0;       // wait this long before the answer (cut short by the server's stop)
    std::string extraHeaders;         // raw header lines, each ending in "\r\n" (e.g. a Location)
    bool ignoreRange = false;         // answer every request whole with 200, as a server without ranges does
    std::string rangeBody;            // not empty: ranged answers are cut from these bytes instead (a corrupted range)
    // Not empty: a request with a Range header gets these bytes as its whole
    // answer (status line, headers, body), then the connection closes, as a
    // server that gets ranges wrong would answer. Not counted in BodyBytesSent.
    std::string rangeAnswer;
};

class TestServer {
public:
    TestServer();   // binds and starts; throws std::runtime_error on failure
    ~TestServer();  // stops accepting, interrupts stalls, joins all threads

    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    unsigned short Port() const;
    std::string BaseUrl() const;                          // "http://127.0.0.1:<port>"
    std::string Url(const std::string& path) const;       // BaseUrl() + path

    // path without query string; replaces an earlier route for the same path
    void Serve(const std::string& path, TestRoute route);
    void ServeFile(const std::string& path, const std::string& bytes);
    // A distant link for every answer from now on (0, the default: none). An
    // answer's headers leave two round trips after its request was read: the
    // request's own and the connection's handshake, since every connection
    // carries one request. The body follows at once, as on a link with latency
    // and no bandwidth limit. Requests are counted when read, before the wait.
    void SetLatency(unsigned roundTripMs);

    // Requests of any method (GET, HEAD, ...) whose path matches, query ignored.
    // Counted as soon as the request head has been read, before any answer.
    int Requests(const std::string& path) const;
    // Every request target as received (with query), in arrival order.
    std::vector<std::string> RequestTargets() const;
    // Request line and header lines of the last request to path, as received,
    // without the terminating empty line; "" if there was none.
    std::string LastRequestHeaders(const std::string& path) const;
    // Body bytes sent in answers to requests for path (query ignored), headers not counted.
    unsigned long long BodyBytesSent(const std::string& path) const;
    // Waits until Requests(path) >= count or timeoutMs passed; true if reached.
    bool WaitForRequests(const std::string& path, int count, unsigned timeoutMs) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
