#include "SkinButton.h"
#include "resource.h"

namespace {
const int kSliceCount = 5;  // normal, hover, pressed, disabled, unused
enum { kSliceNormal = 0, kSliceHover = 1, kSlicePressed = 2, kSliceDisabled = 3 };
// Strip pixels of this colour leave the background visible.
const COLORREF kColorKey = RGB(255, 0, 255);

// The first rule that matches wins; focus and the other bits play no part.
int SliceFor(UINT itemState, BOOL bHover)
{
    if (itemState & ODS_DISABLED) return kSliceDisabled;
    if (itemState & ODS_SELECTED) return kSlicePressed;
    if (bHover) return kSliceHover;
    return kSliceNormal;
}
} // namespace

BEGIN_MESSAGE_MAP(CSkinButton, CButton)
    ON_WM_MOUSEMOVE()
    ON_WM_ERASEBKGND()
    ON_MESSAGE(WM_MOUSELEAVE, OnMouseLeave)
END_MESSAGE_MAP()

CSkinButton::CSkinButton() = default;

CSkinButton::~CSkinButton() = default;

void CSkinButton::PreSubclassWindow()
{
    CButton::PreSubclassWindow();
    ModifyStyle(0, BS_OWNERDRAW);
    m_transparent.Attach(m_hWnd);
    m_bitmap.LoadBitmap(IDB_CLOSEBOX);
    BITMAP bm{};
    m_bitmap.GetBitmap(&bm);
    // The button takes the size of one slice and keeps its place.
    SetWindowPos(nullptr, 0, 0, bm.bmWidth / kSliceCount, bm.bmHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CSkinButton::DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct)
{
    CDC dc(lpDrawItemStruct->hDC);
    m_transparent.DrawParentBackground(dc, m_hWnd);

    CRect rect(lpDrawItemStruct->rcItem);
    BITMAP bm{};
    m_bitmap.GetBitmap(&bm);
    const int sliceW = bm.bmWidth / kSliceCount, sliceH = bm.bmHeight;

    CDC memDC;
    memDC.CreateCompatibleDC(&dc);
    CScopedSelect select(memDC, m_bitmap.GetSafeHandle());
    const int slice = SliceFor(lpDrawItemStruct->itemState, m_bHover);
    ::TransparentBlt(dc, 0, 0, rect.Width(), rect.Height(), memDC, slice * sliceW, 0, sliceW, sliceH, kColorKey);

    CString text;
    GetWindowText(text);
    if (!text.IsEmpty()) {
        const int oldMode = dc.SetBkMode(TRANSPARENT);
        if (lpDrawItemStruct->itemState & ODS_SELECTED) rect.OffsetRect(1, 1);
        dc.DrawText(text, text.GetLength(), &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        dc.SetBkMode(oldMode);
    }
}

void CSkinButton::OnMouseMove(UINT, CPoint)
{
    if (!m_bHover) {
        TRACKMOUSEEVENT tme{};
        tme.cbSize = sizeof(tme);
        tme.dwFlags = TME_LEAVE;
        tme.hwndTrack = m_hWnd;
        tme.dwHoverTime = 1;
        // On failure the next mouse move tries again.
        m_bHover = ::_TrackMouseEvent(&tme);
        InvalidateRect(nullptr, FALSE);
    }
    Default();
}

BOOL CSkinButton::OnEraseBkgnd(CDC*)
{
    return TRUE;
}

LRESULT CSkinButton::OnMouseLeave(WPARAM, LPARAM)
{
    m_bHover = FALSE;
    InvalidateRect(nullptr, FALSE);
    // Answered here: the button's own procedure never sees it.
    return 0;
}
