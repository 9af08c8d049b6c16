// Owns a kernel handle (thread, event, file) and closes it once.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

class CScopedHandle {
public:
    CScopedHandle() = default;
    explicit CScopedHandle(HANDLE h) : m_h(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;
    CScopedHandle(CScopedHandle&& other) noexcept : m_h(other.release()) {}
    CScopedHandle& operator=(CScopedHandle&& other) noexcept
    {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~CScopedHandle() { reset(); }

    HANDLE get() const { return m_h; }
    // get() as the address some calls want (an array of one handle).
    const HANDLE* address() const { return &m_h; }
    explicit operator bool() const { return m_h != nullptr; }
    HANDLE release()
    {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    void reset(HANDLE h = nullptr)
    {
        if (m_h) ::CloseHandle(m_h);
        m_h = h == INVALID_HANDLE_VALUE ? nullptr : h;
    }
private:
    HANDLE m_h = nullptr;
};
