// The skinned controls in real windows: the transparent-control protocol, and
// what each control leaves on screen, read back pixel by pixel.
#include <gtest/gtest.h>
#include <objbase.h>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include "SkinButton.h"
#include "SkinProgressCtrl.h"
#include "SkinStatic.h"
#include "TestUtil.h"
#include "TransparentCtrlHelper.h"
#include "UpdaterDlg.h"
#include "resource.h"

namespace {

// ---- pixels

struct Image {
    int w = 0, h = 0;
    std::vector<COLORREF> px;
    COLORREF At(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
    Image Crop(int x0, int y0, int cw, int ch) const
    {
        Image r;
        r.w = cw;
        r.h = ch;
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x) r.px.push_back(At(x0 + x, y0 + y));
        return r;
    }
    bool operator==(const Image& o) const { return w == o.w && h == o.h && px == o.px; }
    bool operator!=(const Image& o) const { return !(*this == o); }
};

std::string Hex(COLORREF c)
{
    char buf[16];
    std::snprintf(buf, sizeof(buf), "%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
    return buf;
}

// "" when equal, else where they first differ (for readable failures).
std::string Diff(const Image& got, const Image& want)
{
    if (got.w != want.w || got.h != want.h) {
        std::ostringstream s;
        s << "size " << got.w << "x" << got.h << " vs " << want.w << "x" << want.h;
        return s.str();
    }
    int count = 0;
    std::ostringstream s;
    for (int y = 0; y < got.h; ++y)
        for (int x = 0; x < got.w; ++x)
            if (got.At(x, y) != want.At(x, y)) {
                if (count++ == 0) s << "first at (" << x << "," << y << "): " << Hex(got.At(x, y)) << " vs " << Hex(want.At(x, y));
            }
    if (count) s << "; " << count << " pixels differ";
    return s.str();
}

// Reads a block of any DC through a 32-bit top-down DIB section.
Image ReadDC(HDC src, int x, int y, int w, int h)
{
    Image img;
    img.w = w;
    img.h = h;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC mem = ::CreateCompatibleDC(src);
    HBITMAP dib = ::CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, dib);
    ::BitBlt(mem, 0, 0, w, h, src, x, y, SRCCOPY);
    ::GdiFlush();
    const auto* p = static_cast<const uint32_t*>(bits);
    img.px.resize(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < img.px.size(); ++i) img.px[i] = RGB((p[i] >> 16) & 0xFF, (p[i] >> 8) & 0xFF, p[i] & 0xFF);
    ::SelectObject(mem, old);
    ::DeleteObject(dib);
    ::DeleteDC(mem);
    return img;
}

// What a window shows in its client area, read back from the screen.
Image Capture(HWND hwnd)
{
    RECT rc;
    ::GetClientRect(hwnd, &rc);
    HDC dc = ::GetDC(hwnd);
    Image img = ReadDC(dc, 0, 0, rc.right, rc.bottom);
    ::ReleaseDC(hwnd, dc);
    return img;
}

Image LoadResourceImage(UINT id)
{
    HBITMAP bmp = ::LoadBitmapA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id));
    BITMAP bm{};
    ::GetObjectA(bmp, sizeof(bm), &bm);
    HDC mem = ::CreateCompatibleDC(nullptr);
    HGDIOBJ old = ::SelectObject(mem, bmp);
    Image img = ReadDC(mem, 0, 0, bm.bmWidth, bm.bmHeight);
    ::SelectObject(mem, old);
    ::DeleteDC(mem);
    ::DeleteObject(bmp);
    return img;
}

// A memory DC over a 32-bit bitmap, to hand to drawing code and read back.
class Canvas {
public:
    Canvas(int w, int h, COLORREF fill = RGB(1, 2, 3)) : m_w(w), m_h(h)
    {
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bi.bmiHeader.biWidth = w;
        bi.bmiHeader.biHeight = -h;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 32;
        bi.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        m_dc = ::CreateCompatibleDC(nullptr);
        m_bmp = ::CreateDIBSection(m_dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        m_old = ::SelectObject(m_dc, m_bmp);
        Fill(fill);
    }
    ~Canvas()
    {
        ::SelectObject(m_dc, m_old);
        ::DeleteObject(m_bmp);
        ::DeleteDC(m_dc);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;
    void Fill(COLORREF c)
    {
        RECT rc = { 0, 0, m_w, m_h };
        HBRUSH br = ::CreateSolidBrush(c);
        ::FillRect(m_dc, &rc, br);
        ::DeleteObject(br);
    }
    void Put(const Image& img, int x0 = 0, int y0 = 0)
    {
        for (int y = 0; y < img.h; ++y)
            for (int x = 0; x < img.w; ++x) ::SetPixel(m_dc, x0 + x, y0 + y, img.At(x, y));
    }
    HDC dc() const { return m_dc; }
    Image Read() const { return ReadDC(m_dc, 0, 0, m_w, m_h); }
private:
    int m_w, m_h;
    HDC m_dc;
    HBITMAP m_bmp;
    HGDIOBJ m_old;
};


// ---- windows

const char kPlainClass[] = "SkinTestPlain";
const COLORREF kClassBrushColor = RGB(0, 128, 0);

void RegisterPlainClass()
{
    static bool done = false;
    if (done) return;
    WNDCLASSA wc{};
    wc.lpfnWndProc = ::DefWindowProcA;
    wc.hInstance = ::GetModuleHandleA(nullptr);
    wc.hCursor = ::LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = ::CreateSolidBrush(kClassBrushColor);
    wc.lpszClassName = kPlainClass;
    ::RegisterClassA(&wc);
    INITCOMMONCONTROLSEX icc = { sizeof(icc), ICC_WIN95_CLASSES };
    ::InitCommonControlsEx(&icc);
    done = true;
}

// A hidden top-level window of the plain class with the given client size.
HWND MakeTopLevel(int clientW, int clientH, DWORD style = WS_POPUP | WS_CLIPCHILDREN, int x = 40, int y = 40)
{
    RegisterPlainClass();
    RECT rc = { 0, 0, clientW, clientH };
    ::AdjustWindowRectEx(&rc, style, FALSE, 0);
    return ::CreateWindowExA(0, kPlainClass, "", style, x, y, rc.right - rc.left, rc.bottom - rc.top, nullptr,
                             nullptr, ::GetModuleHandleA(nullptr), nullptr);
}

HWND MakeChild(HWND parent, const char* cls, const char* text, DWORD style, int x, int y, int w, int h, int id = 0)
{
    return ::CreateWindowExA(0, cls, text, WS_CHILD | style, x, y, w, h, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ::GetModuleHandleA(nullptr), nullptr);
}

// A colour for every client position, so that any offset shows.
COLORREF PatternColor(int x, int y, int seed)
{
    return RGB(x & 0xFF, y & 0xFF, (0x60 + seed * 0x30 + (x >> 8) * 8 + (y >> 8)) & 0xFF);
}

// A top-level window whose face is a known pattern; it lends that pattern to
// its transparent children the way the update window lends its background.
class PatternParent : public CWnd {
public:
    PatternParent(int clientW, int clientH, DWORD style = WS_POPUP | WS_CLIPCHILDREN, int x = 40, int y = 40)
        : m_w(clientW), m_h(clientH), m_canvas(clientW, clientH)
    {
        SetSeed(0);
        SubclassWindow(MakeTopLevel(clientW, clientH, style, x, y));
    }
    void Show()
    {
        ::ShowWindow(m_hWnd, SW_SHOWNOACTIVATE);
        ::UpdateWindow(m_hWnd);
        Pump();
    }
    // Changes the pattern it lends; its own face is left as it was.
    void SetSeed(int seed)
    {
        m_seed = seed;
        Image img;
        img.w = m_w;
        img.h = m_h;
        for (int y = 0; y < m_h; ++y)
            for (int x = 0; x < m_w; ++x) img.px.push_back(PatternColor(x, y, seed));
        m_canvas.Put(img);
    }
    Image Block(int x, int y, int w, int h) const
    {
        Image img;
        img.w = w;
        img.h = h;
        for (int j = 0; j < h; ++j)
            for (int i = 0; i < w; ++i) img.px.push_back(PatternColor(x + i, y + j, m_seed));
        return img;
    }

    LRESULT drawAnswer = -1;  // < 0: copy the pattern and answer 1; else answer this and draw nothing
    LRESULT eraseAnswer = 1;
    std::vector<std::pair<WPARAM, LPARAM>> erases;

protected:
    void OnPaint()
    {
        CPaintDC dc(m_hWnd);
        ::BitBlt(dc, 0, 0, m_w, m_h, m_canvas.dc(), 0, 0, SRCCOPY);
    }
    LRESULT OnErase(WPARAM w, LPARAM l)
    {
        erases.emplace_back(w, l);
        return eraseAnswer;
    }
    LRESULT OnDrawParentBkgnd(WPARAM w, LPARAM l)
    {
        if (drawAnswer >= 0) return drawAnswer;
        CopyParentBackground(m_canvas.dc(), reinterpret_cast<HDC>(w), reinterpret_cast<HWND>(l));
        return 1;
    }
    DECLARE_MESSAGE_MAP()

    int m_w, m_h, m_seed = 0;
    Canvas m_canvas;
};

BEGIN_MESSAGE_MAP(PatternParent, CWnd)
    ON_WM_PAINT()
    ON_MESSAGE(WM_ERASEBKGND, OnErase)
    ON_MESSAGE(WM_DRAW_PARENT_BKGND, OnDrawParentBkgnd)
END_MESSAGE_MAP()

bool IsWhite(COLORREF c) { return c == RGB(255, 255, 255); }

} // namespace

// =====================================================================
// The transparent-control protocol

namespace {

// A child window that answers the skip query as told and counts what it gets.
struct ProbeState {
    LRESULT skipAnswer = 0;
    int queries = 0;
    int erases = 0;
};

LRESULT CALLBACK ProbeProc(HWND h, UINT msg, WPARAM w, LPARAM l)
{
    auto* st = reinterpret_cast<ProbeState*>(::GetWindowLongPtrA(h, GWLP_USERDATA));
    if (st && msg == WM_QUERY_SKIP_REDRAW) {
        ++st->queries;
        return st->skipAnswer;
    }
    if (st && msg == WM_ERASEBKGND) {
        ++st->erases;
        return 1;
    }
    return ::DefWindowProcA(h, msg, w, l);
}

HWND MakeProbe(HWND parent, ProbeState* st, bool visible, bool marked, int x)
{
    static bool registered = false;
    if (!registered) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = ProbeProc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "SkinTestProbe";
        ::RegisterClassA(&wc);
        registered = true;
    }
    HWND h = MakeChild(parent, "SkinTestProbe", "", visible ? WS_VISIBLE : 0, x, 5, 20, 20);
    ::SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(st));
    if (marked) SetTransparentTag(h);
    return h;
}

bool HasUpdate(HWND h)
{
    return ::GetUpdateRect(h, nullptr, FALSE) != FALSE;
}

} // namespace

TEST(SkinTransparentHelper, MarkingIsIdempotentAndKeepsTheFirstValue)
{
    HWND a = MakeTopLevel(10, 10);
    HWND b = MakeTopLevel(10, 10);

    EXPECT_FALSE(IsTransparentCtrl(a));
    EXPECT_FALSE(RemoveTransparentTag(a));  // nothing to remove, nothing changes
    EXPECT_EQ(nullptr, ::GetPropA(a, "###tranparentctrl_tag###"));

    EXPECT_TRUE(SetTransparentTag(a));
    EXPECT_TRUE(IsTransparentCtrl(a));
    EXPECT_EQ(static_cast<HANDLE>(a), ::GetPropA(a, "###tranparentctrl_tag###"));
    EXPECT_FALSE(SetTransparentTag(a));

    // A window already marked by someone else keeps that value through Attach.
    HANDLE foreign = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x1234));
    ::SetPropA(b, "###tranparentctrl_tag###", foreign);
    CTransparentCtrlHelper helper;
    EXPECT_TRUE(helper.Attach(b));
    EXPECT_TRUE(helper.Attach(b));
    EXPECT_EQ(foreign, ::GetPropA(b, "###tranparentctrl_tag###"));

    EXPECT_TRUE(RemoveTransparentTag(a));
    EXPECT_FALSE(IsTransparentCtrl(a));
    EXPECT_FALSE(RemoveTransparentTag(a));

    ::DestroyWindow(a);
    ::DestroyWindow(b);
}

TEST(SkinTransparentHelper, RepaintReachesOnlyVisibleMarkedChildrenThatDoNotOptOut)
{
    PatternParent parent(300, 40);
    parent.Show();
    ProbeState hidden, unmarked, optOut, answersZero, answersTwo, grandchild;
    optOut.skipAnswer = 1;
    answersTwo.skipAnswer = 2;
    HWND hHidden = MakeProbe(parent, &hidden, false, true, 5);
    HWND hUnmarked = MakeProbe(parent, &unmarked, true, false, 30);
    HWND hOptOut = MakeProbe(parent, &optOut, true, true, 55);
    HWND hZero = MakeProbe(parent, &answersZero, true, true, 80);
    HWND hTwo = MakeProbe(parent, &answersTwo, true, true, 105);
    HWND hGrand = MakeProbe(hZero, &grandchild, true, true, 0);  // not a direct child
    Pump();
    for (HWND h : { hHidden, hUnmarked, hOptOut, hZero, hTwo, hGrand }) ::ValidateRect(h, nullptr);
    for (ProbeState* st : { &hidden, &unmarked, &optOut, &answersZero, &answersTwo, &grandchild }) st->erases = 0;

    InvalidateTransparentChildren(parent);

    EXPECT_EQ(0, hidden.queries);
    EXPECT_EQ(0, unmarked.queries);
    EXPECT_EQ(0, grandchild.queries);
    EXPECT_EQ(1, optOut.queries);
    EXPECT_EQ(1, answersZero.queries);
    EXPECT_EQ(1, answersTwo.queries);

    EXPECT_FALSE(HasUpdate(hUnmarked));
    EXPECT_FALSE(HasUpdate(hOptOut));
    EXPECT_TRUE(HasUpdate(hZero));
    EXPECT_TRUE(HasUpdate(hTwo));

    // The whole child, and with erase.
    RECT r;
    ::GetUpdateRect(hTwo, &r, FALSE);
    EXPECT_EQ(0, r.left);
    EXPECT_EQ(0, r.top);
    EXPECT_EQ(20, r.right);
    EXPECT_EQ(20, r.bottom);
    ::UpdateWindow(hZero);
    ::UpdateWindow(hTwo);
    EXPECT_EQ(1, answersZero.erases);
    EXPECT_EQ(1, answersTwo.erases);
}

TEST(SkinTransparentHelper, ChildReceivesExactlyTheParentBlockUnderItsWindow)
{
    // Both windows have borders, so that window and client origins differ:
    // the block starts at the child window's corner in the parent's client area.
    PatternParent parent(320, 200, WS_POPUP | WS_CLIPCHILDREN | WS_BORDER);
    HWND child = MakeChild(parent, kPlainClass, "", WS_VISIBLE | WS_BORDER, 37, 53, 61, 29);
    parent.Show();

    Canvas canvas(61, 29);
    CTransparentCtrlHelper helper;
    EXPECT_EQ(1, helper.DrawParentBackground(canvas.dc(), child));
    EXPECT_EQ("", Diff(canvas.Read(), parent.Block(37, 53, 61, 29)));

    // A child partly outside the parent's client area gets the part that exists.
    HWND outer = MakeChild(parent, kPlainClass, "", WS_VISIBLE, 300, 190, 40, 30);
    Canvas c2(40, 30);
    helper.DrawParentBackground(c2.dc(), outer);
    EXPECT_EQ("", Diff(c2.Read().Crop(0, 0, 20, 10), parent.Block(300, 190, 20, 10)));
}

TEST(SkinTransparentHelper, FallsBackToEraseWhenTheParentDoesNotAnswer)
{
    PatternParent parent(100, 60);
    HWND child = MakeChild(parent, kPlainClass, "", WS_VISIBLE, 10, 10, 20, 20);
    parent.Show();
    Canvas canvas(20, 20);
    CTransparentCtrlHelper helper;

    parent.drawAnswer = 0;
    parent.eraseAnswer = 7;
    parent.erases.clear();
    EXPECT_EQ(7, helper.DrawParentBackground(canvas.dc(), child));
    ASSERT_EQ(1u, parent.erases.size());
    EXPECT_EQ(reinterpret_cast<WPARAM>(canvas.dc()), parent.erases[0].first);
    EXPECT_EQ(0, parent.erases[0].second);

    // An answer other than 0 is passed on, and nothing else is asked.
    parent.drawAnswer = 5;
    parent.erases.clear();
    EXPECT_EQ(5, helper.DrawParentBackground(canvas.dc(), child));
    EXPECT_TRUE(parent.erases.empty());

    // A window without a parent gets nothing painted.
    HWND orphan = MakeTopLevel(20, 20);
    Canvas c2(20, 20, RGB(9, 9, 9));
    EXPECT_EQ(0, helper.DrawParentBackground(c2.dc(), orphan));
    EXPECT_EQ(RGB(9, 9, 9), c2.Read().At(10, 10));
    ::DestroyWindow(orphan);
}

// =====================================================================
// The progress bar

namespace {

// The fill is orange, the track dark grey: red tells them apart.
bool IsFill(COLORREF c) { return GetRValue(c) > 0x80; }

// "" if exactly the columns [from, to) of rows [top, bottom) show fill.
std::string FillMismatch(const Image& img, int from, int to, int top = 2, int bottom = 12)
{
    std::ostringstream s;
    int count = 0;
    for (int y = 0; y < img.h; ++y)
        for (int x = 0; x < img.w; ++x) {
            const bool want = x >= from && x < to && y >= top && y < bottom;
            if (IsFill(img.At(x, y)) != want && count++ == 0)
                s << "(" << x << "," << y << ") is " << Hex(img.At(x, y)) << (want ? ", want fill" : ", want track");
        }
    if (count) s << "; " << count << " pixels wrong";
    return s.str();
}

class CountingBar : public CSkinProgressCtrl {
public:
    int erases = 0;
    int paints = 0;
    LRESULT WindowProc(UINT msg, WPARAM w, LPARAM l) override
    {
        if (msg == WM_ERASEBKGND) ++erases;
        if (msg == WM_PAINT) ++paints;
        return CSkinProgressCtrl::WindowProc(msg, w, l);
    }
};

class SkinProgress : public ::testing::Test {
protected:
    void SetUp() override
    {
        // As in the dialog template: a bordered smooth bar.
        HWND h = MakeChild(parent, PROGRESS_CLASSA, "", WS_VISIBLE | WS_BORDER | PBS_SMOOTH, 10, 20, 348, 14, 1000);
        ASSERT_TRUE(bar.SubclassWindow(h));
        bar.SetWindowPos(nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
        parent.Show();
        Pump();
    }
    Image Shot()
    {
        Pump();
        return Capture(bar);
    }
    PatternParent parent{ 400, 60 };
    CountingBar bar;
};

} // namespace

TEST_F(SkinProgress, HasNoFrameAndShowsOnlyTrackAtTheStart)
{
    CRect wr, cr;
    bar.GetWindowRect(&wr);
    bar.GetClientRect(&cr);
    EXPECT_EQ(348, wr.Width());
    EXPECT_EQ(14, wr.Height());
    EXPECT_EQ(348, cr.Width());
    EXPECT_EQ(14, cr.Height());
    EXPECT_FALSE(IsTransparentCtrl(bar));

    // Range 0..100 at 0: no fill anywhere, not even a mirrored column left of x = 7.
    const Image img = Shot();
    EXPECT_EQ("", FillMismatch(img, 0, 0));
    EXPECT_LT(GetRValue(img.At(6, 5)), 0x80);
    EXPECT_LT(GetRValue(img.At(0, 0)), 0x80);  // track, not a frame
    EXPECT_LT(GetRValue(img.At(347, 13)), 0x80);
}

TEST_F(SkinProgress, FillWidthFollowsPosition)
{
    bar.SetRange32(0, 100);
    bar.SetPos(1);  // d = 3: two columns
    EXPECT_EQ("", FillMismatch(Shot(), 7, 9));
    bar.SetPos(50);  // d = 174: 173 columns
    EXPECT_EQ("", FillMismatch(Shot(), 7, 180));
    bar.SetPos(100);  // reaches the right edge
    EXPECT_EQ("", FillMismatch(Shot(), 7, 348));

    // The worked example: 0..200 at 100 is the same as 50 of 100.
    bar.SetRange32(0, 200);
    bar.SetPos(100);
    EXPECT_EQ("", FillMismatch(Shot(), 7, 180));
    // A range that does not start at 0.
    bar.SetRange32(100, 300);
    bar.SetPos(200);
    EXPECT_EQ("", FillMismatch(Shot(), 7, 180));
}

TEST_F(SkinProgress, ShowsOnlyTheTopLeftOfBothBitmapsAsOneStretch)
{
    // The 100x11 corner of the fill stretched to the fill's size, by hand.
    Canvas fillSrc(100, 11);
    fillSrc.Put(LoadResourceImage(IDB_PROGRESS_FILL).Crop(0, 0, 100, 11));
    auto expectFill = [&](int width) {
        Canvas want(348, 14, RGB(0, 0, 0));
        ::SetStretchBltMode(want.dc(), HALFTONE);
        ::StretchBlt(want.dc(), 7, 2, width, 10, fillSrc.dc(), 0, 0, 100, 11, SRCCOPY);
        const int visible = std::min(width, 348 - 7);
        EXPECT_EQ("", Diff(Shot().Crop(7, 2, visible, 10), want.Read().Crop(7, 2, visible, 10))) << "width " << width;
    };
    bar.SetRange32(0, 100);
    // Each step stretches the whole fill anew: no part may keep an older stretch.
    bar.SetPos(30);
    expectFill(::MulDiv(348, 30, 100) - 1);
    bar.erases = 0;
    bar.SetPos(60);
    // The bar does not rely on how much the system control repaints: the whole
    // new fill is drawn by the time SetPos returns, or it is due, without erase.
    const Image atOnce = Capture(bar);
    CRect due, fill(7, 2, 7 + ::MulDiv(348, 60, 100) - 1, 12), both;
    const bool anythingDue = ::GetUpdateRect(bar, &due, FALSE) != FALSE;
    if (anythingDue) {
        ::IntersectRect(&both, &due, &fill);
        EXPECT_TRUE(::EqualRect(&both, &fill)) << due.left << "," << due.top << "," << due.right << "," << due.bottom;
    }
    expectFill(::MulDiv(348, 60, 100) - 1);
    if (!anythingDue) { EXPECT_EQ("", Diff(atOnce, Shot())); }
    EXPECT_EQ(0, bar.erases);
    bar.SetPos(100);
    expectFill(347);
    bar.SetPos(45);
    expectFill(::MulDiv(348, 45, 100) - 1);

    bar.SetPos(0);
    Canvas trackSrc(88, 12);
    trackSrc.Put(LoadResourceImage(IDB_PROGRESS_TRACK).Crop(0, 0, 88, 12));
    Canvas track(348, 14);
    ::SetStretchBltMode(track.dc(), HALFTONE);
    ::StretchBlt(track.dc(), 0, 0, 348, 14, trackSrc.dc(), 0, 0, 88, 12, SRCCOPY);
    EXPECT_EQ("", Diff(Shot(), track.Read()));
}

TEST_F(SkinProgress, DrawsNoFillAtTheLowerBoundOrOverAnEmptyRange)
{
    bar.SetRange32(0, 100);
    bar.SetPos(50);
    Shot();
    bar.SetPos(0);
    EXPECT_EQ("", FillMismatch(Shot(), 0, 0));

    bar.SetRange32(20, 40);
    bar.SetPos(20);
    EXPECT_EQ("", FillMismatch(Shot(), 0, 0));

    // A file under 1 KB gives the file bar the range 0..0.
    bar.SetRange32(0, 0);
    bar.SetPos(0);
    EXPECT_EQ("", FillMismatch(Shot(), 0, 0));
    bar.SetRange32(7, 7);
    EXPECT_EQ("", FillMismatch(Shot(), 0, 0));
}

TEST_F(SkinProgress, PositionGoingDownClearsTheOldFill)
{
    bar.SetRange32(0, 100);
    bar.SetPos(80);
    EXPECT_EQ("", FillMismatch(Shot(), 7, 7 + ::MulDiv(348, 80, 100) - 1));
    // The bar does not rely on the system control's own repaint for this:
    // all of it is due for a repaint, with erase, so that the track returns.
    bar.SetPos(20);
    CRect due;
    EXPECT_TRUE(::GetUpdateRect(bar, &due, FALSE));
    const CRect whole(0, 0, 348, 14);
    EXPECT_TRUE(::EqualRect(&due, &whole)) << due.left << "," << due.top << "," << due.right << "," << due.bottom;
    bar.erases = 0;
    bar.UpdateWindow();
    EXPECT_EQ(1, bar.erases);
    EXPECT_EQ("", FillMismatch(Shot(), 7, 7 + ::MulDiv(348, 20, 100) - 1));

    // A larger range at the same position shrinks the fill too.
    bar.SetPos(100);
    Shot();
    bar.SetRange32(0, 400);
    EXPECT_EQ("", FillMismatch(Shot(), 7, 7 + 87 - 1));

    // The next file starts again at 0, set from the worker.
    FromWorker([&] {
        bar.SetRange32(0, 50);
        bar.SetPos(0);
    });
    EXPECT_EQ("", FillMismatch(Shot(), 0, 0));
}

TEST_F(SkinProgress, WorkerUpdatesRepaintWithoutErasingWhileGrowing)
{
    bar.SetRange32(0, 1000);
    Shot();
    bar.erases = 0;
    bar.paints = 0;
    for (int pos = 10; pos <= 1000; pos += 10) {
        FromWorker([&] { bar.SetPos(pos); });
        if (pos % 250 == 0) {
            EXPECT_EQ("", FillMismatch(Shot(), 7, 7 + ::MulDiv(348, pos, 1000) - 1)) << "at " << pos;
        }
    }
    // A growing fill is drawn over itself: the track never flashes through.
    // Each of the 100 steps costs one paint, not one for the system control's
    // part and another for the rest.
    EXPECT_EQ(0, bar.erases);
    EXPECT_GT(bar.paints, 0);
    EXPECT_LE(bar.paints, 100);

    FromWorker([&] { bar.SetPos(500); });
    EXPECT_EQ("", FillMismatch(Shot(), 7, 7 + 174 - 1));
    EXPECT_GT(bar.erases, 0);
}

TEST_F(SkinProgress, VerticalBarGrowsDownFromTheTop)
{
    PatternParent p2(60, 120);
    CSkinProgressCtrl vbar;
    vbar.SubclassWindow(MakeChild(p2, PROGRESS_CLASSA, "", WS_VISIBLE | WS_BORDER | PBS_VERTICAL, 5, 5, 14, 100));
    vbar.SetWindowPos(nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    p2.Show();
    vbar.SetRange32(0, 100);
    vbar.SetPos(50);  // d = 50: fill 14 x 46 at (7, 2), clipped to 7 columns
    Pump();
    EXPECT_EQ("", FillMismatch(Capture(vbar), 7, 14, 2, 48));
    vbar.SetPos(0);
    Pump();
    EXPECT_EQ("", FillMismatch(Capture(vbar), 0, 0));
}

// =====================================================================
// The button

namespace {

class ProbeButton : public CSkinButton {
public:
    void SetHover(BOOL b) { m_bHover = b; }
};

// Records what reaches the button control's own procedure.
std::vector<UINT> g_buttonProcMessages;
WNDPROC g_buttonProc = nullptr;
LRESULT CALLBACK RecordingButtonProc(HWND h, UINT msg, WPARAM w, LPARAM l)
{
    g_buttonProcMessages.push_back(msg);
    return ::CallWindowProcA(g_buttonProc, h, msg, w, l);
}

size_t Count(const std::vector<UINT>& v, UINT msg)
{
    size_t n = 0;
    for (UINT m : v) n += m == msg;
    return n;
}

class SkinButtonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        strip = LoadResourceImage(IDB_CLOSEBOX);
        ASSERT_EQ(140, strip.w);
        ASSERT_EQ(21, strip.h);
        // The test can only tell the looks apart if they differ.
        for (int i = 0; i < 4; ++i)
            for (int j = i + 1; j < 4; ++j) ASSERT_NE(Slice(i), Slice(j)) << i << " " << j;

        HWND h = MakeChild(parent, "Button", "", WS_VISIBLE | BS_PUSHBUTTON, 50, 30, 40, 30, IDCANCEL);
        g_buttonProcMessages.clear();
        g_buttonProc = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrA(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordingButtonProc)));
        ASSERT_TRUE(button.SubclassWindow(h));
        parent.Show();
        ::SetCursorPos(0, 0);
        Pump();
    }
    Image Slice(int i) const { return strip.Crop(i * 28, 0, 28, 21); }
    Image Shot()
    {
        Pump();
        return Capture(button);
    }
    // Draws the button as owner drawing would, into a canvas.
    Image DrawInto(Canvas& canvas, UINT state)
    {
        DRAWITEMSTRUCT dis{};
        dis.CtlType = ODT_BUTTON;
        dis.CtlID = IDCANCEL;
        dis.itemAction = ODA_DRAWENTIRE;
        dis.itemState = state;
        dis.hwndItem = button;
        dis.hDC = canvas.dc();
        dis.rcItem = { 0, 0, 28, 21 };
        button.DrawItem(&dis);
        return canvas.Read();
    }
    POINT ScreenCenter() const
    {
        RECT r;
        ::GetWindowRect(button, &r);
        return { (r.left + r.right) / 2, (r.top + r.bottom) / 2 };
    }
    void Hover()
    {
        const POINT c = ScreenCenter();
        ::SetCursorPos(c.x, c.y);
        button.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(14, 10));
    }

    Image strip;
    PatternParent parent{ 200, 100 };
    ProbeButton button;
};

} // namespace

TEST_F(SkinButtonTest, TakesOneSliceAndIsMarkedOwnerDrawn)
{
    CRect wr, pr;
    button.GetWindowRect(&wr);
    parent.GetWindowRect(&pr);
    EXPECT_EQ(28, wr.Width());
    EXPECT_EQ(21, wr.Height());
    EXPECT_EQ(50, wr.left - pr.left);  // kept its place
    EXPECT_EQ(30, wr.top - pr.top);
    EXPECT_EQ(static_cast<DWORD>(BS_OWNERDRAW), button.GetStyle() & BS_TYPEMASK);
    EXPECT_TRUE(IsTransparentCtrl(button));
}

TEST_F(SkinButtonTest, EveryStateCombinationDrawsItsSlice)
{
    const UINT extras[] = { 0, ODS_FOCUS, ODS_CHECKED | ODS_DEFAULT | ODS_FOCUS | ODS_NOACCEL | ODS_NOFOCUSRECT };
    for (UINT extra : extras)
        for (int selected = 0; selected < 2; ++selected)
            for (int disabled = 0; disabled < 2; ++disabled)
                for (int hover = 0; hover < 2; ++hover) {
                    const int want = disabled ? 3 : selected ? 2 : hover ? 1 : 0;
                    button.SetHover(hover);
                    Canvas canvas(28, 21);
                    const UINT state = extra | (selected ? ODS_SELECTED : 0) | (disabled ? ODS_DISABLED : 0);
                    EXPECT_EQ("", Diff(DrawInto(canvas, state), Slice(want)))
                        << "state " << state << " hover " << hover << " want slice " << want;
                }
    button.SetHover(FALSE);
}

TEST_F(SkinButtonTest, ScreenFollowsPressHoverAndDisable)
{
    EXPECT_EQ("", Diff(Shot(), Slice(0)));

    button.SendMessage(BM_SETSTATE, TRUE);
    EXPECT_EQ("", Diff(Shot(), Slice(2)));
    button.SendMessage(BM_SETSTATE, FALSE);
    EXPECT_EQ("", Diff(Shot(), Slice(0)));

    Hover();
    EXPECT_TRUE(button.IsHover());
    EXPECT_EQ("", Diff(Shot(), Slice(1)));
    button.SendMessage(BM_SETSTATE, TRUE);  // pressed while hovered
    EXPECT_EQ("", Diff(Shot(), Slice(2)));
    button.SendMessage(BM_SETSTATE, FALSE);
    EXPECT_EQ("", Diff(Shot(), Slice(1)));

    // Leaving: the armed tracking reports it and the normal look returns.
    ::SetCursorPos(0, 0);
    EXPECT_TRUE(PumpUntil([&] { return !button.IsHover(); }));
    EXPECT_EQ("", Diff(Shot(), Slice(0)));

    // Disabled from the worker, as when all files are in; it wins over pressed.
    FromWorker([&] { button.EnableWindow(FALSE); });
    EXPECT_EQ("", Diff(Shot(), Slice(3)));
    button.SendMessage(BM_SETSTATE, TRUE);
    EXPECT_EQ("", Diff(Shot(), Slice(3)));
}

TEST_F(SkinButtonTest, MouseLeaveIsAnsweredByTheSkinAlone)
{
    size_t moves = Count(g_buttonProcMessages, WM_MOUSEMOVE);
    Hover();
    EXPECT_EQ(moves + 1, Count(g_buttonProcMessages, WM_MOUSEMOVE));  // default processing still happens
    Pump();
    ASSERT_TRUE(button.IsHover());

    // A second move while hovered neither re-arms nor repaints.
    ::ValidateRect(button, nullptr);
    moves = Count(g_buttonProcMessages, WM_MOUSEMOVE);
    button.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(15, 11));
    EXPECT_FALSE(HasUpdate(button));
    EXPECT_EQ(moves + 1, Count(g_buttonProcMessages, WM_MOUSEMOVE));

    g_buttonProcMessages.clear();
    EXPECT_EQ(0, button.SendMessage(WM_MOUSELEAVE));
    EXPECT_FALSE(button.IsHover());
    EXPECT_TRUE(HasUpdate(button));
    EXPECT_EQ(0u, Count(g_buttonProcMessages, WM_MOUSELEAVE));
    EXPECT_EQ("", Diff(Shot(), Slice(0)));

    // The first move after that arms again and repaints.
    ::ValidateRect(button, nullptr);
    button.SendMessage(WM_MOUSEMOVE, 0, MAKELPARAM(14, 10));
    EXPECT_TRUE(button.IsHover());
    EXPECT_TRUE(HasUpdate(button));
    ::SetCursorPos(0, 0);
    PumpUntil([&] { return !button.IsHover(); });
}

TEST_F(SkinButtonTest, CaptionIsCentredAndShiftsOnePixelWhenPressed)
{
    // The text pixels: where a drawing with the caption differs from one without.
    auto textMask = [&](UINT state) {
        button.SetWindowText("");
        Canvas plain(28, 21);
        const Image without = DrawInto(plain, state);
        button.SetWindowText("x");
        Canvas withText(28, 21);
        const Image with = DrawInto(withText, state);
        std::vector<POINT> mask;
        for (int y = 0; y < 21; ++y)
            for (int x = 0; x < 28; ++x)
                if (with.At(x, y) != without.At(x, y)) mask.push_back({ x, y });
        return mask;
    };
    const std::vector<POINT> up = textMask(0), down = textMask(ODS_SELECTED);
    ASSERT_FALSE(up.empty());
    ASSERT_EQ(up.size(), down.size());
    for (size_t i = 0; i < up.size(); ++i) {
        EXPECT_EQ(up[i].x + 1, down[i].x);
        EXPECT_EQ(up[i].y + 1, down[i].y);
    }
    // Centred: as much room left of the text as right of it, give or take a pixel.
    int minX = 28, maxX = -1;
    for (const POINT& p : up) {
        minX = std::min<int>(minX, p.x);
        maxX = std::max<int>(maxX, p.x);
    }
    EXPECT_LE(std::abs(minX - (27 - maxX)), 2);

    // The background mode is restored, and left alone without a caption.
    Canvas canvas(28, 21);
    ::SetBkMode(canvas.dc(), OPAQUE);
    DrawInto(canvas, 0);
    EXPECT_EQ(OPAQUE, ::GetBkMode(canvas.dc()));
    button.SetWindowText("");
    DrawInto(canvas, 0);
    EXPECT_EQ(OPAQUE, ::GetBkMode(canvas.dc()));
}

TEST_F(SkinButtonTest, EraseDrawsNothing)
{
    Canvas canvas(28, 21, RGB(9, 9, 9));
    EXPECT_EQ(TRUE, button.SendMessage(WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc())));
    EXPECT_EQ(RGB(9, 9, 9), canvas.Read().At(14, 10));
}

// =====================================================================
// The label

namespace {

class SkinStaticTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        font = ::CreateFontA(-12, 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             NONANTIALIASED_QUALITY, DEFAULT_PITCH, "Tahoma");
        HWND h = MakeChild(parent, "Static", "", WS_VISIBLE | SS_LEFT, kX, kY, kW, kH, 1001);
        ::SendMessageA(h, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        ASSERT_TRUE(label.SubclassWindow(h));
        parent.Show();
        Pump();
    }
    void TearDown() override
    {
        label.DestroyWindow();
        ::DeleteObject(font);
    }
    Image Shot()
    {
        Pump();
        return Capture(label);
    }
    Image Under() const { return parent.Block(kX, kY, kW, kH); }
    // The given text drawn in one line over the label's background, in a
    // reference DC as wide as needed, then cut to the label's size.
    Image Reference(const char* text, UINT format, COLORREF color) const
    {
        Canvas c(kW + 600, kH);
        Image under = parent.Block(kX, kY, kW + 600, kH);
        c.Put(under);
        HGDIOBJ old = ::SelectObject(c.dc(), font);
        ::SetBkMode(c.dc(), TRANSPARENT);
        ::SetTextColor(c.dc(), color);
        RECT r = { 0, 0, kW + 600, kH };
        ::DrawTextA(c.dc(), text, -1, &r, format);
        ::SelectObject(c.dc(), old);
        return c.Read().Crop(0, 0, kW, kH);
    }
    // Columns in which the image differs from what lies under the label.
    std::vector<int> InkColumns(const Image& img) const
    {
        const Image under = Under();
        std::vector<int> cols;
        for (int x = 0; x < img.w; ++x)
            for (int y = 0; y < img.h; ++y)
                if (img.At(x, y) != under.At(x, y)) {
                    cols.push_back(x);
                    break;
                }
        return cols;
    }

    static constexpr int kX = 20, kY = 30, kW = 120, kH = 32;
    PatternParent parent{ 300, 100 };
    CSkinStatic label;
    HFONT font = nullptr;
};

} // namespace

TEST_F(SkinStaticTest, BecomesAnOwnerDrawnMarkedLabel)
{
    EXPECT_EQ(static_cast<DWORD>(SS_OWNERDRAW), label.GetStyle() & SS_TYPEMASK);
    EXPECT_TRUE(IsTransparentCtrl(label));
    EXPECT_EQ(0u, label.GetColor());

    // An empty label shows exactly the parent's background.
    EXPECT_EQ("", Diff(Shot(), Under()));

    Canvas canvas(kW, kH, RGB(9, 9, 9));
    EXPECT_EQ(TRUE, label.SendMessage(WM_ERASEBKGND, reinterpret_cast<WPARAM>(canvas.dc())));
    EXPECT_EQ(RGB(9, 9, 9), canvas.Read().At(5, 5));
}

TEST_F(SkinStaticTest, DrawsOneLineInItsColourOverTheBackground)
{
    label.SetWindowText("Hello");
    Image img = Shot();
    EXPECT_EQ("", Diff(img, Reference("Hello", DT_SINGLELINE, RGB(0, 0, 0))));
    EXPECT_FALSE(InkColumns(img).empty());

    // The colour shows from the next repaint on, not before.
    label.SetColor(RGB(222, 172, 50));
    EXPECT_EQ("", Diff(Shot(), img));
    label.Invalidate(FALSE);
    EXPECT_EQ("", Diff(Shot(), Reference("Hello", DT_SINGLELINE, RGB(222, 172, 50))));

    // Too long: cut at the right edge, no ellipsis, no second line.
    const char* longText = "WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW";
    label.SetWindowText(longText);
    img = Shot();
    EXPECT_EQ("", Diff(img, Reference(longText, DT_SINGLELINE, RGB(222, 172, 50))));
    ASSERT_FALSE(InkColumns(img).empty());
    EXPECT_GE(InkColumns(img).back(), kW - 4);  // the glyphs run to the edge

    // Line breaks stay on the one line: everything below the first line is background.
    label.SetWindowText("AB\r\nCD\nEF");
    img = Shot();
    TEXTMETRICA tm{};
    {
        HDC dc = ::GetDC(label);
        HGDIOBJ old = ::SelectObject(dc, font);
        ::GetTextMetricsA(dc, &tm);
        ::SelectObject(dc, old);
        ::ReleaseDC(label, dc);
    }
    ASSERT_LT(tm.tmHeight + 2, kH);
    EXPECT_FALSE(InkColumns(img).empty());
    EXPECT_EQ("", Diff(img.Crop(0, tm.tmHeight + 1, kW, kH - tm.tmHeight - 1),
                       Under().Crop(0, tm.tmHeight + 1, kW, kH - tm.tmHeight - 1)));
}

TEST_F(SkinStaticTest, AmpersandIsAPrefixNotAGlyph)
{
    label.SetWindowText("&&");
    EXPECT_EQ("", Diff(Shot(), Reference("&", DT_SINGLELINE | DT_NOPREFIX, 0)));

    label.SetWindowText("&W");
    const Image img = Shot();
    EXPECT_NE("", Diff(img, Reference("&W", DT_SINGLELINE | DT_NOPREFIX, 0)));  // no '&' drawn
    EXPECT_EQ(InkColumns(Reference("W", DT_SINGLELINE | DT_NOPREFIX, 0)), InkColumns(img));
}

TEST_F(SkinStaticTest, TextChangeFromTheWorkerLeavesNoTrace)
{
    label.SetColor(RGB(222, 172, 50));
    FromWorker([&] { label.SetWindowText("WWWWWWWWWWWWWWW"); });
    EXPECT_EQ("", Diff(Shot(), Reference("WWWWWWWWWWWWWWW", DT_SINGLELINE, RGB(222, 172, 50))));
    FromWorker([&] { label.SetWindowText("ii"); });
    EXPECT_EQ("", Diff(Shot(), Reference("ii", DT_SINGLELINE, RGB(222, 172, 50))));

    // The label asks for a full repaint itself after a change, whatever the
    // static control repaints on its own.
    label.SetWindowText("WWWWWWWWWWWWWWW");
    CRect due, whole(0, 0, kW, kH);
    EXPECT_TRUE(::GetUpdateRect(label, &due, FALSE));
    EXPECT_TRUE(::EqualRect(&due, &whole)) << due.left << "," << due.top << "," << due.right << "," << due.bottom;
    FromWorker([&] { label.SetWindowText("ii"); });
    EXPECT_EQ("", Diff(Shot(), Reference("ii", DT_SINGLELINE, RGB(222, 172, 50))));
    FromWorker([&] { label.SetWindowText(""); });
    EXPECT_EQ("", Diff(Shot(), Under()));
}

TEST_F(SkinStaticTest, ShowsTheNewBackgroundAfterTheParentRebuildsIt)
{
    label.SetWindowText("Hello");
    Shot();
    parent.SetSeed(2);
    InvalidateTransparentChildren(parent);
    EXPECT_EQ("", Diff(Shot(), Reference("Hello", DT_SINGLELINE, 0)));
}

// =====================================================================
// The update window's painting

namespace {

// The update window's object over a plain window: its painting and its
// answers, without the start-up of the real dialog.
class SkinUpdaterPaint : public ::testing::Test {
protected:
    void Attach(int clientW, int clientH, DWORD extraStyle = 0)
    {
        hwnd = MakeTopLevel(clientW, clientH, WS_POPUP | WS_CLIPCHILDREN | extraStyle);
        ASSERT_TRUE(dlg.SubclassWindow(hwnd));
    }
    void TearDown() override { dlg.DestroyWindow(); }
    void Size()
    {
        RECT rc;
        ::GetClientRect(hwnd, &rc);
        dlg.SendMessage(WM_SIZE, SIZE_RESTORED, MAKELPARAM(rc.right, rc.bottom));
    }
    void Show()
    {
        ::ShowWindow(hwnd, SW_SHOWNOACTIVATE);
        ::UpdateWindow(hwnd);
        Pump();
    }
    void FillWindow(COLORREF c)
    {
        HDC dc = ::GetDC(hwnd);
        RECT rc;
        ::GetClientRect(hwnd, &rc);
        HBRUSH br = ::CreateSolidBrush(c);
        ::FillRect(dc, &rc, br);
        ::DeleteObject(br);
        ::ReleaseDC(hwnd, dc);
    }

    Image background = LoadResourceImage(IDB_BACKGROUND);
    CUpdaterDlg dlg;
    HWND hwnd = nullptr;
};

} // namespace

TEST_F(SkinUpdaterPaint, BeforeTheFirstSizeNothingIsDrawn)
{
    // Created visible, so that its first WM_SIZE came before the object took it over.
    Attach(120, 60, WS_VISIBLE);
    HWND child = MakeChild(hwnd, kPlainClass, "", WS_VISIBLE, 10, 10, 20, 20);
    Pump();
    FillWindow(RGB(9, 9, 9));
    ::InvalidateRect(hwnd, nullptr, TRUE);
    ::UpdateWindow(hwnd);
    EXPECT_EQ(RGB(9, 9, 9), Capture(hwnd).At(100, 50));

    Canvas canvas(20, 20, RGB(7, 7, 7));
    EXPECT_EQ(1, dlg.SendMessage(WM_DRAW_PARENT_BKGND, reinterpret_cast<WPARAM>(canvas.dc()),
                                 reinterpret_cast<LPARAM>(child)));
    EXPECT_EQ(RGB(7, 7, 7), canvas.Read().At(10, 10));
}

TEST_F(SkinUpdaterPaint, PaintsTheBitmapCornerAndLendsItToChildren)
{
    ASSERT_EQ(367, background.w);
    ASSERT_EQ(114, background.h);
    Attach(300, 100);
    HWND child = MakeChild(hwnd, kPlainClass, "", WS_VISIBLE, 123, 45, 61, 17);
    Size();
    Show();
    // The top-left block, 1:1: neither stretched nor tiled.
    const Image shot = Capture(hwnd);
    EXPECT_EQ("", Diff(shot.Crop(0, 0, 120, 45), background.Crop(0, 0, 120, 45)));
    EXPECT_EQ("", Diff(shot.Crop(200, 0, 100, 100), background.Crop(200, 0, 100, 100)));

    Canvas canvas(61, 17);
    EXPECT_EQ(1, dlg.SendMessage(WM_DRAW_PARENT_BKGND, reinterpret_cast<WPARAM>(canvas.dc()),
                                 reinterpret_cast<LPARAM>(child)));
    EXPECT_EQ("", Diff(canvas.Read(), background.Crop(123, 45, 61, 17)));

    // Erasing draws nothing: the cache covers everything.
    Canvas c2(20, 20, RGB(9, 9, 9));
    EXPECT_EQ(1, dlg.SendMessage(WM_ERASEBKGND, reinterpret_cast<WPARAM>(c2.dc())));
    EXPECT_EQ(RGB(9, 9, 9), c2.Read().At(5, 5));
}

TEST_F(SkinUpdaterPaint, EverySizeRebuildsAndRepaintsTheMarkedChildren)
{
    Attach(367, 114);
    CSkinStatic label;
    CSkinStatic hiddenLabel;
    CSkinProgressCtrl bar;
    label.SubclassWindow(MakeChild(hwnd, "Static", "x", WS_VISIBLE | SS_LEFT, 26, 80, 100, 14));
    hiddenLabel.SubclassWindow(MakeChild(hwnd, "Static", "y", SS_LEFT, 26, 96, 100, 14));
    bar.SubclassWindow(MakeChild(hwnd, PROGRESS_CLASSA, "", WS_VISIBLE, 7, 50, 348, 14));
    Size();
    Show();
    for (HWND h : { hwnd, label.m_hWnd, hiddenLabel.m_hWnd, bar.m_hWnd }) ASSERT_FALSE(HasUpdate(h));

    Size();  // same size
    EXPECT_TRUE(HasUpdate(hwnd));
    EXPECT_TRUE(HasUpdate(label));
    EXPECT_FALSE(HasUpdate(bar));
    EXPECT_FALSE(HasUpdate(hiddenLabel));

    // A real resize shrinks and regrows the cache; the face stays right.
    ::SetWindowPos(hwnd, nullptr, 0, 0, 200, 60, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Pump();
    ::SetWindowPos(hwnd, nullptr, 0, 0, 367, 114, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    Pump();
    const Image shot = Capture(hwnd);
    EXPECT_EQ("", Diff(shot.Crop(0, 0, 367, 48), background.Crop(0, 0, 367, 48)));
    EXPECT_EQ("", Diff(shot.Crop(130, 66, 237, 48), background.Crop(130, 66, 237, 48)));
    label.DestroyWindow();
    hiddenLabel.DestroyWindow();
    bar.DestroyWindow();
}

TEST_F(SkinUpdaterPaint, MinimisedShowsTheCentredIcon)
{
    HICON icon = ::LoadIconA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
    ASSERT_NE(nullptr, icon);
    ASSERT_EQ(32, ::GetSystemMetrics(SM_CXICON));
    ASSERT_EQ(32, ::GetSystemMetrics(SM_CYICON));
    auto iconAt = [&](int size, int at) {
        Canvas c(size, size, kClassBrushColor);
        ::DrawIcon(c.dc(), at, at, icon);
        return c.Read();
    };
    for (int size : { 36, 37 }) {
        SCOPED_TRACE(size);
        Attach(size, size);
        Size();
        Show();
        // The style bit is what makes a window iconic; its client area stays as it is.
        ::SetWindowLongPtrA(hwnd, GWL_STYLE, ::GetWindowLongPtrA(hwnd, GWL_STYLE) | WS_MINIMIZE);
        ASSERT_TRUE(::IsIconic(hwnd));
        ::InvalidateRect(hwnd, nullptr, FALSE);
        ::UpdateWindow(hwnd);
        const Image shot = Capture(hwnd);
        const int at = size == 36 ? 2 : 3;
        EXPECT_EQ("", Diff(shot, iconAt(size, at)));
        EXPECT_NE("", Diff(shot, iconAt(size, 5 - at)));
        dlg.DestroyWindow();
    }
}

// The real dialog, as the user sees it.
namespace {

class SkinTestApp : public CWinApp {
public:
    SkinTestApp() : CWinApp("unit_tests") {}
};

// The template's layout in pixels as the 9-point Song font of the template
// gives it (dialog base units 6 x 12), which is what the artwork was drawn
// for. A machine without that font lays the template out larger; the tests
// put the controls where the artwork has room for them.
void PlaceLikeTheArtwork(HWND dlg)
{
    struct Item { int id, x, y, w, h; };
    const Item items[] = {
        { IDCANCEL, 220, 3, 0, 0 },  // keeps its one-slice size
        { IDC_PROGRESS_TOTAL, 5, 49, 232, 9 },
        { IDC_TEXT_FILE, 26, 66, 192, 8 },
        { IDC_TEXT_DONE, 25, 77, 146, 8 },
        { IDC_PROGRESS_FILE, 5, 36, 232, 9 },
    };
    for (const Item& it : items) {
        const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | (it.w ? 0 : SWP_NOSIZE);
        ::SetWindowPos(::GetDlgItem(dlg, it.id), nullptr, ::MulDiv(it.x, 6, 4), ::MulDiv(it.y, 12, 8),
                       ::MulDiv(it.w, 6, 4), ::MulDiv(it.h, 12, 8), flags);
    }
}

class SkinUpdaterWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::CoInitialize(nullptr);
        tempName = "skintest-" + std::to_string(::GetCurrentProcessId());
        const std::string ini = scratch / "updater.INI";
        WriteBytes(ini, "[Download]\r\nsite=127.0.0.1:1\r\n[Setup]\r\nTempDir=" + tempName + "\r\n");
        app.SetProfileName(ini.c_str());
        dlg = std::make_unique<CUpdaterDlg>();
        ASSERT_TRUE(dlg->Create(IDD_UPDATER_DIALOG, nullptr));
        ::KillTimer(*dlg, START_TIMER_ID);  // the test makes the reports itself
        PlaceLikeTheArtwork(*dlg);
        Pump(50);
    }
    void TearDown() override
    {
        if (dlg) dlg->DestroyWindow();
        Pump();
        dlg.reset();
        RemoveTree(ProgramDir() + tempName);
        ::CoUninitialize();
    }
    CRect RectOf(int id) const
    {
        RECT r;
        ::GetWindowRect(::GetDlgItem(*dlg, id), &r);
        ::MapWindowPoints(nullptr, *dlg, reinterpret_cast<POINT*>(&r), 2);
        CRect client, inside;
        ::GetClientRect(*dlg, &client);
        ::IntersectRect(&inside, &r, &client);
        return inside;
    }
    void Report(UINT32 done, UINT32 total, int status, const char* text)
    {
        FromWorker([&] { dlg->OnUpdateNotify(done, total, status, text); });
    }
    // Every pixel of the window outside the controls is the background's.
    std::string BackgroundMismatch(const Image& shot) const
    {
        const int ids[] = { IDCANCEL, IDC_PROGRESS_FILE, IDC_PROGRESS_TOTAL, IDC_TEXT_FILE, IDC_TEXT_DONE };
        std::vector<CRect> controls;
        for (int id : ids) controls.push_back(RectOf(id));
        std::ostringstream s;
        int wrong = 0;
        for (int y = 0; y < shot.h; ++y)
            for (int x = 0; x < shot.w; ++x) {
                const POINT p = { x, y };
                bool inControl = false;
                for (const CRect& r : controls) inControl |= ::PtInRect(&r, p) != 0;
                if (!inControl && shot.At(x, y) != background.At(x, y) && wrong++ == 0)
                    s << "(" << x << "," << y << ") " << Hex(shot.At(x, y)) << " vs " << Hex(background.At(x, y));
            }
        if (wrong) s << "; " << wrong << " pixels";
        return s.str();
    }
    // The label's pixels: text straight on the background, no box behind it.
    void ExpectTextOnBackground(const Image& shot, int id) const
    {
        const CRect r = RectOf(id);
        ASSERT_GT(r.Width() * r.Height(), 0);
        int same = 0, white = 0;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) {
                same += shot.At(x, y) == background.At(x, y);
                white += IsWhite(shot.At(x, y));
            }
        EXPECT_EQ(0, white);
        EXPECT_GT(same, r.Width() * r.Height() / 2);
        EXPECT_LT(same, r.Width() * r.Height());  // and some text on it
    }

    ScratchDir scratch{ "skin" };
    std::string tempName;
    SkinTestApp app;
    std::unique_ptr<CUpdaterDlg> dlg;
    const Image background = LoadResourceImage(IDB_BACKGROUND);
    const Image strip = LoadResourceImage(IDB_CLOSEBOX);
};

} // namespace

TEST_F(SkinUpdaterWindow, ShowsTheArtworkWithoutBoxesOrFrames)
{
    const Image shot = Capture(*dlg);
    ASSERT_EQ(367, shot.w);
    ASSERT_EQ(114, shot.h);
    EXPECT_EQ("", BackgroundMismatch(shot));

    const CRect close = RectOf(IDCANCEL);
    ASSERT_EQ(28, close.Width());
    ASSERT_EQ(21, close.Height());
    EXPECT_EQ("", Diff(shot.Crop(close.left, close.top, 28, 21), strip.Crop(0, 0, 28, 21)));

    // The bars: the whole window is client area, and it shows only track.
    for (int id : { IDC_PROGRESS_FILE, IDC_PROGRESS_TOTAL }) {
        const CRect r = RectOf(id);
        CRect client;
        ::GetClientRect(::GetDlgItem(*dlg, id), &client);
        EXPECT_EQ(348, r.Width());
        EXPECT_EQ(14, r.Height());
        EXPECT_EQ(r.Width(), client.Width());
        EXPECT_EQ(r.Height(), client.Height());
        EXPECT_EQ("", FillMismatch(shot.Crop(r.left, r.top, r.Width(), r.Height()), 0, 0));
    }
    // The second line lies below the window's bottom edge in this layout.
    ExpectTextOnBackground(shot, IDC_TEXT_FILE);
}

TEST_F(SkinUpdaterWindow, ReportsFromTheWorkerRedrawBarsAndTextCleanly)
{
    Report(0, 200 * 1024, US_FILE_START, "big.bin");
    Report(150 * 1024, 0, US_PROGRESS, "big.bin");
    Pump(50);
    Image shot = Capture(*dlg);
    const CRect file = RectOf(IDC_PROGRESS_FILE);
    EXPECT_EQ("", FillMismatch(shot.Crop(file.left, file.top, file.Width(), file.Height()), 7,
                               7 + ::MulDiv(348, 150, 200) - 1));
    EXPECT_EQ("", BackgroundMismatch(shot));
    ExpectTextOnBackground(shot, IDC_TEXT_FILE);
    const Image longText = shot.Crop(0, RectOf(IDC_TEXT_FILE).top, 367, RectOf(IDC_TEXT_FILE).Height());

    // The next file: the bar starts again from nothing, the text is rewritten.
    Report(0, 100 * 1024, US_FILE_START, "b");
    Report(0, 0, US_PROGRESS, "b");
    Pump(50);
    shot = Capture(*dlg);
    EXPECT_EQ("", FillMismatch(shot.Crop(file.left, file.top, file.Width(), file.Height()), 0, 0));
    ExpectTextOnBackground(shot, IDC_TEXT_FILE);
    // The shorter name leaves nothing of the longer one: the line is different
    // and ends earlier.
    const CRect text = RectOf(IDC_TEXT_FILE);
    auto lastInk = [&](const Image& img) {
        int last = -1;
        for (int y = 0; y < img.h; ++y)
            for (int x = 0; x < img.w; ++x)
                if (img.At(x, y) != background.At(x, text.top + y)) last = std::max(last, x);
        return last;
    };
    const Image shortText = shot.Crop(0, text.top, 367, text.Height());
    EXPECT_LT(lastInk(shortText), lastInk(longText));

    // All files in: the close box shows its disabled slice.
    Report(0, 0, US_ALL_DOWNLOADED, nullptr);
    Pump(50);
    const CRect close = RectOf(IDCANCEL);
    EXPECT_EQ("", Diff(Capture(*dlg).Crop(close.left, close.top, 28, 21), strip.Crop(84, 0, 28, 21)));
}
