// HTTP over WinINet: a session, the files it opens, and the exception they throw.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <wininet.h>
#include <atomic>
#include <memory>
#include "afxstr.h"

#define PRE_CONFIG_INTERNET_ACCESS INTERNET_OPEN_TYPE_PRECONFIG

class CInternetException {
public:
    explicit CInternetException(DWORD error, DWORD_PTR context = 1) : m_dwError(error), m_dwContext(context) {}
    BOOL GetErrorMessage(char* buffer, UINT maxChars, UINT* pHelpContext = nullptr) const;
    DWORD m_dwError;
    DWORD_PTR m_dwContext;
};

// A request handle. Close may come from another thread (to unblock a read in
// progress), so the handle is swapped out atomically and closed once.
class CHttpFile {
public:
    explicit CHttpFile(HINTERNET hFile, const char* url) : m_hFile(hFile), m_strUrl(url) {}
    CHttpFile(const CHttpFile&) = delete;
    CHttpFile& operator=(const CHttpFile&) = delete;
    ~CHttpFile() { Close(); }

    UINT Read(void* buffer, UINT count);   // throws CInternetException; 0 at the end of the body
    BOOL QueryInfo(DWORD infoLevel, DWORD& value) const;
    BOOL QueryInfoStatusCode(DWORD& status) const;
    // A header as text (HTTP_QUERY_CONTENT_RANGE, ...); FALSE when absent.
    BOOL QueryInfoText(DWORD infoLevel, CString& value) const;
    void Close();
    const CString& GetFileURL() const { return m_strUrl; }   // after redirects
private:
    std::atomic<HINTERNET> m_hFile;
    CString m_strUrl;
};

class CInternetSession {
public:
    explicit CInternetSession(const char* agent = nullptr, DWORD_PTR context = 1,
                              DWORD accessType = PRE_CONFIG_INTERNET_ACCESS, const char* proxy = nullptr,
                              const char* proxyBypass = nullptr, DWORD flags = 0);
    CInternetSession(const CInternetSession&) = delete;
    CInternetSession& operator=(const CInternetSession&) = delete;
    virtual ~CInternetSession() { Close(); }

    // Opens an http:// or https:// URL; throws CInternetException on failure.
    // Redirects are followed by hand, at most kMaxRedirects of them, never from
    // https to http and never to another scheme.
    static const int kMaxRedirects = 5;
    std::unique_ptr<CHttpFile> OpenURL(const char* url, DWORD_PTR context = 1,
                                       DWORD flags = INTERNET_FLAG_TRANSFER_ASCII,
                                       const char* headers = nullptr, DWORD headersLength = 0);
    // Bounds connecting and each wait for data (best effort: Wine may not honour them).
    void SetTimeouts(DWORD milliseconds);
    // Closing the session also closes every request it opened (safe from any thread).
    void Close();
    HINTERNET GetHandle() const { return m_hSession.load(); }
private:
    std::atomic<HINTERNET> m_hSession;
    DWORD_PTR m_dwContext;
};
