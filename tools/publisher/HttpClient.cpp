#include "HttpClient.h"
#include <curl/curl.h>
#include <strings.h>
#include <cstring>
#include "rules/SiteRules.h"

namespace {

struct CurlDeleter {
    void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

// curl_global_init once for the process, before the first handle.
bool GlobalInit()
{
    static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    return ok;
}

bool IsRedirect(long status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool StartsWithNoCase(const std::string& s, const char* prefix)
{
    return s.size() >= std::strlen(prefix) && strncasecmp(s.c_str(), prefix, std::strlen(prefix)) == 0;
}

// One request's state for curl's callbacks.
struct Transfer {
    CURL* curl;
    const HttpClient::Sink* sink;
    bool stoppedBySink = false;
    std::string contentRange;  // of the last answer's headers
};

// Keeps the Content-Range of the answer being read; a new status line (a
// redirect's, an interim answer's) starts over.
size_t Header(char* data, size_t size, size_t count, void* user)
{
    auto* t = static_cast<Transfer*>(user);
    const size_t n = size * count;
    const std::string line(data, n);
    if (StartsWithNoCase(line, "HTTP/")) t->contentRange.clear();
    static const char kName[] = "content-range:";
    if (StartsWithNoCase(line, kName)) {
        const size_t from = line.find_first_not_of(" \t", sizeof(kName) - 1);
        const size_t to = line.find_last_not_of(" \t\r\n");
        if (from != std::string::npos && to != std::string::npos && to >= from) t->contentRange = line.substr(from, to - from + 1);
    }
    return n;
}

size_t Write(char* data, size_t size, size_t count, void* user)
{
    auto* t = static_cast<Transfer*>(user);
    long status = 0;
    curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &status);
    const size_t n = size * count;
    if (IsRedirect(status)) return n;  // a redirect's own body is not the file
    if (!(*t->sink)(data, n)) {
        t->stoppedBySink = true;
        return 0;
    }
    return n;
}

// One request on the reused handle: the updater's agent, limits and checks.
void Prepare(Transfer& transfer, const std::string& url, const std::string& range, const std::string& caFile,
             char* errorText)
{
    CURL* c = transfer.curl;
    curl_easy_reset(c);
    errorText[0] = '\0';
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);  // followed below, by the updater's rules
    // The updater's agent, so a server that tells agents apart answers as it answers players.
    curl_easy_setopt(c, CURLOPT_USERAGENT, "updater");
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Write);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &Header);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &transfer);
    if (!range.empty()) curl_easy_setopt(c, CURLOPT_RANGE, range.c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
}

} // namespace

struct HttpClient::State {
    CurlPtr curl;
    std::string caFile;
    char errorText[CURL_ERROR_SIZE] = {};
};

HttpClient::HttpClient(std::unique_ptr<State> state) : m_state(std::move(state)) {}
HttpClient::~HttpClient() = default;

std::unique_ptr<HttpClient> HttpClient::Create(const std::filesystem::path& caFile, std::string& error)
{
    auto state = std::make_unique<State>();
    if (!GlobalInit() || !(state->curl = CurlPtr(curl_easy_init()))) {
        error = "libcurl could not be initialised";
        return nullptr;
    }
    state->caFile = caFile.string();
    return std::unique_ptr<HttpClient>(new HttpClient(std::move(state)));
}

HttpResponse HttpClient::Get(const std::string& url, const Sink& sink, const std::string& range)
{
    HttpResponse response;
    CURL* c = m_state->curl.get();
    std::string current = url;
    for (int redirects = 0;; ++redirects) {
        Transfer transfer{ c, &sink, false, std::string() };
        Prepare(transfer, current, range, m_state->caFile, m_state->errorText);
        const CURLcode rc = curl_easy_perform(c);
        response.url = current;
        response.contentRange = transfer.contentRange;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
        curl_off_t length = -1;
        if (curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length >= 0)
            response.contentLength = static_cast<std::uint64_t>(length);
        else
            response.contentLength.reset();
        if (rc != CURLE_OK) {
            if (transfer.stoppedBySink) response.error = "stopped";
            else response.error = m_state->errorText[0] ? m_state->errorText : curl_easy_strerror(rc);
            return response;
        }
        char* location = nullptr;
        if (!IsRedirect(response.status) || curl_easy_getinfo(c, CURLINFO_REDIRECT_URL, &location) != CURLE_OK ||
            !location) {
            response.transferred = true;
            return response;
        }
        if (redirects == kSiteMaxRedirects) {
            response.error = "more than 5 redirects (the updater gives up there)";
            return response;
        }
        const std::string next = location;
        if (StartsWithNoCase(current, "https://") && !StartsWithNoCase(next, "https://")) {
            response.error = "redirected from https to " + next + " (the updater refuses that)";
            return response;
        }
        if (!StartsWithNoCase(next, "https://") && !StartsWithNoCase(next, "http://")) {
            response.error = "redirected to " + next + ", which is not http or https";
            return response;
        }
        current = next;
    }
}
