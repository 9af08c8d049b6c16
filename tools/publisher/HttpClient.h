// GET requests as the updater makes them, over libcurl (Linux build only):
// redirects followed by hand with the updater's rules, TLS always verified.
#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct HttpResponse {
    bool transferred = false;      // the body was read to its end
    std::string error;             // why not, in curl's words or ours
    long status = 0;               // of the last response (after redirects)
    std::optional<std::uint64_t> contentLength;
    std::string url;               // where the body came from
    std::string contentRange;      // the final answer's Content-Range, empty when none
};

class HttpClient {
public:
    // caFile: the authorities to trust instead of the system's (empty: the system's).
    static std::unique_ptr<HttpClient> Create(const std::filesystem::path& caFile, std::string& error);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Receives the body in pieces; returning false stops the transfer.
    using Sink = std::function<bool(const char* data, std::size_t n)>;

    // Follows at most 5 redirects (301, 302, 303, 307, 308), never from https
    // to http; only the final response's body reaches sink. A connection that
    // brings no byte for 60 s fails, as in the updater. range, when given, is
    // "first-last": one single-range request, as a patch makes them.
    HttpResponse Get(const std::string& url, const Sink& sink, const std::string& range = std::string());

private:
    struct State;
    explicit HttpClient(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};
