#include "afxstr.h"
#include <cstdio>
#include <cstring>
#include <vector>

static char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int CString::CompareNoCase(const char* psz) const
{
    const char* a = m_str.c_str();
    const char* b = psz ? psz : "";
    for (;; ++a, ++b) {
        char ca = AsciiLower(*a), cb = AsciiLower(*b);
        if (ca != cb) return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb) ? -1 : 1;
        if (!ca) return 0;
    }
}

CString CString::Mid(int first) const
{
    if (first < 0) first = 0;
    if (static_cast<size_t>(first) >= m_str.size()) return CString();
    return CString(m_str.substr(static_cast<size_t>(first)));
}

CString CString::Right(int n) const
{
    if (n <= 0) return CString();
    if (static_cast<size_t>(n) >= m_str.size()) return *this;
    return CString(m_str.substr(m_str.size() - static_cast<size_t>(n)));
}

int CString::Find(char c, int start) const
{
    if (start < 0) start = 0;
    size_t p = m_str.find(c, static_cast<size_t>(start));
    return p == std::string::npos ? -1 : static_cast<int>(p);
}

int CString::Find(const char* sub, int start) const
{
    if (start < 0) start = 0;
    size_t p = m_str.find(sub ? sub : "", static_cast<size_t>(start));
    return p == std::string::npos ? -1 : static_cast<int>(p);
}

int CString::ReverseFind(char c) const
{
    size_t p = m_str.rfind(c);
    return p == std::string::npos ? -1 : static_cast<int>(p);
}

void CString::Format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    FormatV(fmt, args);
    va_end(args);
}

void CString::FormatV(const char* fmt, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n < 0) { m_str.clear(); return; }
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), fmt, args);
    m_str.assign(buf.data(), static_cast<size_t>(n));
}

char* CString::GetBuffer(int n)
{
    if (n < GetLength()) n = GetLength();
    m_str.resize(static_cast<size_t>(n) + 1, '\0');
    return &m_str[0];
}

void CString::ReleaseBuffer()
{
    m_str.resize(std::strlen(m_str.c_str()));
}
