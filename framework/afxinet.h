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

class CInternetSession;

// A request handle. Close may come from another thread (to unblock a read in
// progress), so the handle is swapped out atomically and closed once.
class CHttpFile {
public:
    CHttpFile(HINTERNET hFile, const char* url, CInternetSession* session = nullptr)
        : m_hFile(hFile), m_strUrl(url), m_session(session) {}
    CHttpFile(const CHttpFile&) = delete;
    CHttpFile& operator=(const CHttpFile&) = delete;
    ~CHttpFile() { Close(); }

    UINT Read(void* buffer, UINT count);   // throws CInternetException; 0 at the end of the body
    BOOL QueryInfo(DWORD infoLevel, DWORD& value) const;
    BOOL QueryInfoStatusCode(DWORD& status) const;
    // A header as text (HTTP_QUERY_CONTENT_RANGE, ...); FALSE when absent.
    BOOL QueryInfoText(DWORD infoLevel, CString& value) const;
    // Ends the request. WinINet (Wine's) reads the rest of an answer with a
    // known length before it lets the connection go, for as long as the server
    // keeps sending, so an answer left with more than kDrainLimit bytes unread
    // is not closed but parked: nothing reads it, the server stops once the
    // connection's buffers are full, and the end of the process drops it.
    static const ULONGLONG kDrainLimit = 64 * 1024;
    void Close();
    // The body was read to its end (a read returned no byte).
    bool Ended() const { return m_ended; }
    const CString& GetFileURL() const { return m_strUrl; }   // after redirects
private:
    bool LeavesMuchUnread() const;

    std::atomic<HINTERNET> m_hFile;
    CString m_strUrl;
    CInternetSession* m_session;
    ULONGLONG m_read = 0;
    bool m_ended = false;
};

class CInternetSession {
public:
    explicit CInternetSession(const char* agent = nullptr, DWORD_PTR context = 1,
                              DWORD accessType = PRE_CONFIG_INTERNET_ACCESS, const char* proxy = nullptr,
                              const char* proxyBypass = nullptr, DWORD flags = 0);
    CInternetSession(const CInternetSession&) = delete;
    CInternetSession& operator=(const CInternetSession&) = delete;
    virtual ~CInternetSession() { Close(); }

    // Opens an http:// or https:// URL (any other scheme fails at once);
    // throws CInternetException on failure. Redirects are followed by hand, at most kMaxRedirects of them, never from
    // https to http and never to another scheme.
    static const int kMaxRedirects = 5;
    std::unique_ptr<CHttpFile> OpenURL(const char* url, DWORD_PTR context = 1,
                                       DWORD flags = INTERNET_FLAG_TRANSFER_ASCII,
                                       const char* headers = nullptr, DWORD headersLength = 0);
    // Bounds connecting and each wait for data (best effort: Wine may not honour them).
    void SetTimeouts(DWORD milliseconds);
    // Closing the session also closes every request it opened (safe from any
    // thread), except once a request was parked (CHttpFile::Close): closing
    // the session would then read that answer to its end, so the session is
    // left to the end of the process.
    void Close();
    HINTERNET GetHandle() const { return m_hSession.load(); }
    // A request of this session was parked.
    void NoteParked() { m_parked.store(true); }
private:
    std::atomic<HINTERNET> m_hSession;
    std::atomic<bool> m_parked{false};
    DWORD_PTR m_dwContext;
};
