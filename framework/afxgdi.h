// GDI wrappers. Ownership is explicit: a CDC built from a handle borrows it,
// one made by CreateCompatibleDC owns it; CBitmap always owns its bitmap.
#pragma once
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <optional>

class CBitmap {
public:
    CBitmap() = default;
    CBitmap(const CBitmap&) = delete;
    CBitmap& operator=(const CBitmap&) = delete;
    ~CBitmap() { DeleteObject(); }

    BOOL LoadBitmap(UINT nIDResource);
    BOOL CreateCompatibleBitmap(HDC hdc, int cx, int cy);
    int GetBitmap(BITMAP* pBitmap) const;
    BOOL DeleteObject();
    HBITMAP GetSafeHandle() const { return m_hBitmap; }
    operator HBITMAP() const { return m_hBitmap; }
private:
    HBITMAP m_hBitmap = nullptr;
};

class CDC {
public:
    CDC() = default;
    explicit CDC(HDC borrowed) : m_hDC(borrowed) {}
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;
    virtual ~CDC();

    HDC m_hDC = nullptr;
    HDC GetSafeHdc() const { return m_hDC; }
    operator HDC() const { return m_hDC; }

    // Creates an owned memory DC; a null pDC means compatible with the screen.
    BOOL CreateCompatibleDC(const CDC* pDC);
    BOOL DeleteDC();

    // Selections return the previous object (a borrowed handle to select back).
    HBITMAP SelectObject(const CBitmap* pBitmap) { return static_cast<HBITMAP>(::SelectObject(m_hDC, pBitmap->GetSafeHandle())); }
    HGDIOBJ SelectObject(HGDIOBJ h) { return ::SelectObject(m_hDC, h); }
    BOOL BitBlt(int x, int y, int w, int h, const CDC* pSrc, int xSrc, int ySrc, DWORD rop)
    { return ::BitBlt(m_hDC, x, y, w, h, pSrc ? pSrc->m_hDC : nullptr, xSrc, ySrc, rop); }
    BOOL StretchBlt(int x, int y, int w, int h, const CDC* pSrc, int xSrc, int ySrc, int wSrc, int hSrc, DWORD rop)
    { return ::StretchBlt(m_hDC, x, y, w, h, pSrc ? pSrc->m_hDC : nullptr, xSrc, ySrc, wSrc, hSrc, rop); }
    int SetStretchBltMode(int mode) { return ::SetStretchBltMode(m_hDC, mode); }
    int SetBkMode(int mode) { return ::SetBkMode(m_hDC, mode); }
    COLORREF SetTextColor(COLORREF c) { return ::SetTextColor(m_hDC, c); }
    int DrawText(const char* text, int n, LPRECT r, UINT fmt) { return ::DrawTextA(m_hDC, text, n, r, fmt); }
    BOOL DrawIcon(int x, int y, HICON hIcon) { return ::DrawIcon(m_hDC, x, y, hIcon); }
protected:
    bool m_bOwned = false;
};

// BeginPaint/EndPaint for the lifetime of the object.
class CPaintDC : public CDC {
public:
    explicit CPaintDC(HWND hWnd) : m_hWnd(hWnd) { m_hDC = ::BeginPaint(hWnd, &m_ps); }
    ~CPaintDC() override { ::EndPaint(m_hWnd, &m_ps); m_hDC = nullptr; }
    PAINTSTRUCT m_ps{};
private:
    HWND m_hWnd;
};

// GetDC/ReleaseDC for the lifetime of the object.
class CClientDC : public CDC {
public:
    explicit CClientDC(HWND hWnd) : m_hWnd(hWnd) { m_hDC = ::GetDC(hWnd); }
    ~CClientDC() override { ::ReleaseDC(m_hWnd, m_hDC); m_hDC = nullptr; }
private:
    HWND m_hWnd;
};

// Selects an object into a DC and selects the previous one back on leaving.
class CScopedSelect {
public:
    CScopedSelect(HDC hdc, HGDIOBJ obj) : m_hdc(hdc), m_prev(::SelectObject(hdc, obj)) {}
    CScopedSelect(const CScopedSelect&) = delete;
    CScopedSelect& operator=(const CScopedSelect&) = delete;
    ~CScopedSelect() { if (m_prev) ::SelectObject(m_hdc, m_prev); }
private:
    HDC m_hdc;
    HGDIOBJ m_prev;
};

// A memory DC with its own bitmap selected for as long as both live: the
// bitmap is deselected (the DC's first bitmap selected back) before either goes.
class CMemoryBitmapDC {
public:
    CMemoryBitmapDC(const CDC& compatible, int width, int height);
    CMemoryBitmapDC(const CMemoryBitmapDC&) = delete;
    CMemoryBitmapDC& operator=(const CMemoryBitmapDC&) = delete;
    ~CMemoryBitmapDC() { m_select.reset(); }

    CDC& DC() { return m_dc; }
    HDC GetSafeHdc() const { return m_dc.GetSafeHdc(); }
private:
    CDC m_dc;          // declared first: destroyed last
    CBitmap m_bitmap;
    std::optional<CScopedSelect> m_select;
};
