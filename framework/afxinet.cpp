#include "afxinet.h"
#include "afxwin.h"
#include <cstdio>

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
    if (!::InternetReadFile(h, buffer, count, &got)) throw CInternetException(::GetLastError());
    return got;
}

BOOL CHttpFile::QueryInfo(DWORD infoLevel, DWORD& value) const
{
    HINTERNET h = m_hFile.load();
    DWORD size = sizeof(value), index = 0;
    return h && ::HttpQueryInfoA(h, infoLevel, &value, &size, &index);
}

BOOL CHttpFile::QueryInfoStatusCode(DWORD& status) const
{
    return QueryInfo(HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, status);
}

void CHttpFile::Close()
{
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
    HINTERNET session = m_hSession.load();
    if (!session) throw CInternetException(ERROR_INTERNET_OPERATION_CANCELLED, context);
    HINTERNET h = ::InternetOpenUrlA(session, url, headers, headers ? headersLength : 0, flags, context);
    if (!h) throw CInternetException(::GetLastError(), context);
    return std::make_unique<CHttpFile>(h, url);
}

void CInternetSession::Close()
{
    if (HINTERNET h = m_hSession.exchange(nullptr)) ::InternetCloseHandle(h);
}
