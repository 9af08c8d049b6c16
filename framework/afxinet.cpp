#include "afxinet.h"
#include "afxwin.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
// Wine's WinINet sometimes fails without setting an error: never report the
// text of error 0 ("success") for a failure.
DWORD LastInternetError()
{
    const DWORD error = ::GetLastError();
    return error != 0 ? error : ERROR_INTERNET_INTERNAL_ERROR;
}

bool StartsWithNoCase(const std::string& text, const char* prefix)
{
    return _strnicmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}
} // namespace

BOOL CInternetException::GetErrorMessage(char* buffer, UINT maxChars, UINT* pHelpContext) const
{
    if (pHelpContext) *pHelpContext = 0;
    if (!buffer || maxChars == 0) return FALSE;
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                               ::GetModuleHandleA("wininet.dll"), m_dwError, 0, buffer, maxChars, nullptr);
    while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == ' ')) buffer[--n] = '\0';
    if (n == 0) std::snprintf(buffer, maxChars, "internet error %lu", static_cast<unsigned long>(m_dwError));
    return TRUE;
}

UINT CHttpFile::Read(void* buffer, UINT count)
{
    HINTERNET h = m_hFile.load();
    if (!h) throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED);
    DWORD got = 0;
    if (!::InternetReadFile(h, buffer, count, &got)) throw CInternetException(LastInternetError());
    m_read += got;
    if (got == 0 && count > 0) m_ended = true;
    return got;
}

BOOL CHttpFile::QueryInfo(DWORD infoLevel, DWORD& value) const
{
    HINTERNET h = m_hFile.load();
    DWORD size = sizeof(value), index = 0;
    return h && ::HttpQueryInfoA(h, infoLevel, &value, &size, &index);
}

BOOL CHttpFile::QueryInfoText(DWORD infoLevel, CString& value) const
{
    HINTERNET h = m_hFile.load();
    char text[512] = {};
    DWORD size = sizeof(text) - 1, index = 0;
    if (!h || !::HttpQueryInfoA(h, infoLevel, text, &size, &index)) return FALSE;
    value = text;
    return TRUE;
}

BOOL CHttpFile::QueryInfoStatusCode(DWORD& status) const
{
    return QueryInfo(HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status);
}

bool CHttpFile::LeavesMuchUnread() const
{
    if (m_ended) return false;
    CString text;
    // Only a body with a length or in chunks is read to its end on closing.
    if (QueryInfoText(HTTP_QUERY_TRANSFER_ENCODING, text) && _stricmp(text.GetString(), "chunked") == 0) return true;
    if (!QueryInfoText(HTTP_QUERY_CONTENT_LENGTH, text)) return false;
    char* end = nullptr;
    const unsigned long long length = std::strtoull(text.GetString(), &end, 10);
    return end != text.GetString() && length > m_read && length - m_read > kDrainLimit;
}

void CHttpFile::Close()
{
    if (!m_hFile.load()) return;
    if (m_session && LeavesMuchUnread()) {
        m_session->NoteParked();
        m_hFile.store(nullptr);
        return;
    }
    if (HINTERNET h = m_hFile.exchange(nullptr)) ::InternetCloseHandle(h);
}

CInternetSession::CInternetSession(const char* agent, DWORD_PTR context, DWORD accessType, const char* proxy,
                                   const char* proxyBypass, DWORD flags)
    : m_hSession(nullptr), m_dwContext(context)
{
    if (!agent) agent = AfxGetApp() && AfxGetApp()->m_pszAppName ? AfxGetApp()->m_pszAppName : "updater";
    m_hSession = ::InternetOpenA(agent, accessType, proxy, proxyBypass, flags);
}

std::unique_ptr<CHttpFile> CInternetSession::OpenURL(const char* url, DWORD_PTR context, DWORD flags,
                                                     const char* headers, DWORD headersLength)
{
    // WinINet (Wine's at least) follows a redirect loop forever, so we follow them ourselves.
    std::string current = url;
    // Another scheme (ftp:, file:) would be tried by WinINet, for half a minute.
    if (!StartsWithNoCase(current, "http://") && !StartsWithNoCase(current, "https://"))
        throw CInternetException(ERROR_INTERNET_UNRECOGNIZED_SCHEME, context);
    for (int redirects = 0;; ++redirects) {
        HINTERNET session = m_hSession.load();
        if (!session) throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED, context);
        HINTERNET h = ::InternetOpenUrlA(session, current.c_str(), headers, headers ? headersLength : 0,
                                         flags | INTERNET_FLAG_NO_AUTO_REDIRECT, context);
        if (!h) throw CInternetException(LastInternetError(), context);
        auto file = std::make_unique<CHttpFile>(h, current.c_str(), this);
        DWORD status = 0;
        if (!file->QueryInfoStatusCode(status) ||
            (status != 301 && status != 302 && status != 303 && status != 307 && status != 308))
            return file;
        char location[INTERNET_MAX_URL_LENGTH] = {};
        DWORD size = sizeof(location) - 1, index = 0;
        if (!::HttpQueryInfoA(h, HTTP_QUERY_LOCATION, location, &size, &index)) return file;  // nowhere to go
        if (redirects == kMaxRedirects) throw CInternetException(ERROR_HTTP_REDIRECT_FAILED, context);
        char next[INTERNET_MAX_URL_LENGTH] = {};
        DWORD nextSize = sizeof(next);
        if (!::InternetCombineUrlA(current.c_str(), location, next, &nextSize, ICU_NO_ENCODE))
            throw CInternetException(ERROR_HTTP_INVALID_SERVER_RESPONSE, context);
        const bool fromHttps = StartsWithNoCase(current, "https://");
        const bool toHttps = StartsWithNoCase(next, "https://");
        if (fromHttps && !toHttps) throw CInternetException(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR, context);
        if (!toHttps && !StartsWithNoCase(next, "http://")) throw CInternetException(ERROR_HTTP_REDIRECT_FAILED, context);
        current = next;
    }
}

void CInternetSession::SetTimeouts(DWORD milliseconds)
{
    if (HINTERNET h = m_hSession.load()) {
        ::InternetSetOptionA(h, INTERNET_OPTION_CONNECT_TIMEOUT, &milliseconds, sizeof(milliseconds));
        ::InternetSetOptionA(h, INTERNET_OPTION_RECEIVE_TIMEOUT, &milliseconds, sizeof(milliseconds));
        ::InternetSetOptionA(h, INTERNET_OPTION_SEND_TIMEOUT, &milliseconds, sizeof(milliseconds));
    }
}

void CInternetSession::Close()
{
    if (m_parked.load()) return;
    if (HINTERNET h = m_hSession.exchange(nullptr)) ::InternetCloseHandle(h);
}
