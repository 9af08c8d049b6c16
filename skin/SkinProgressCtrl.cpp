#include "SkinProgressCtrl.h"
#include "resource.h"

namespace {
// Only these top-left parts of the bitmaps are shown, stretched to the bar.
const int kFillSrcW = 100, kFillSrcH = 11;
const int kTrackSrcW = 88, kTrackSrcH = 12;
// The fill always starts here, whatever the orientation.
const int kFillX = 7, kFillY = 2;
} // namespace

BEGIN_MESSAGE_MAP(CSkinProgressCtrl, CProgressCtrl)
    ON_WM_NCCALCSIZE()
    ON_WM_NCPAINT()
    ON_WM_PAINT()
    ON_WM_ERASEBKGND()
    ON_MESSAGE(PBM_SETPOS, OnSetPos)
    ON_MESSAGE(PBM_SETRANGE32, OnPositionChange)
    ON_MESSAGE(PBM_SETRANGE, OnPositionChange)
    ON_MESSAGE(PBM_DELTAPOS, OnPositionChange)
    ON_MESSAGE(PBM_STEPIT, OnPositionChange)
END_MESSAGE_MAP()

CSkinProgressCtrl::CSkinProgressCtrl()
{
    m_bmpFill.LoadBitmap(IDB_PROGRESS_FILL);
    m_bmpTrack.LoadBitmap(IDB_PROGRESS_TRACK);
}

CSkinProgressCtrl::~CSkinProgressCtrl() = default;

CRect CSkinProgressCtrl::FillRect() const
{
    if (!m_hWnd) return CRect();
    // The system control keeps the range and position; we only read them.
    int low = 0, high = 0;
    GetRange(low, high);
    CRect rc;
    GetClientRect(&rc);
    return FillRectFor(rc, low, high, GetPos(), (GetStyle() & PBS_VERTICAL) != 0);
}

CRect CSkinProgressCtrl::FillRectFor(const CRect& rc, int low, int high, int pos, bool vertical)
{
    // An empty range has no meaningful fill (and would divide by zero).
    if (high == low) return CRect();
    int w, h;
    if (vertical) {
        const int d = ::MulDiv(rc.Height(), high - pos, high - low);
        w = rc.Width();
        h = rc.bottom - d - 4;
    } else {
        const int d = ::MulDiv(rc.Width(), pos - low, high - low);
        w = d - (rc.left + 1);
        h = rc.Height() - 4;
    }
    // At the lower bound the size is zero or negative; a negative size would
    // make StretchBlt mirror a sliver of fill outside the bar's start.
    if (w <= 0 || h <= 0) return CRect();
    return CRect(kFillX, kFillY, kFillX + w, kFillY + h);
}

LRESULT CSkinProgressCtrl::OnNcCalcSize(BOOL bCalcValidRects, NCCALCSIZE_PARAMS*)
{
    // The whole window is client area: the template's border never shows.
    if (bCalcValidRects) return 0;
    return Default();
}

void CSkinProgressCtrl::OnNcPaint()
{
}

BOOL CSkinProgressCtrl::OnEraseBkgnd(CDC* pDC)
{
    CRect rc;
    GetClientRect(&rc);
    pDC->SetStretchBltMode(HALFTONE);
    CDC memDC;
    memDC.CreateCompatibleDC(pDC);
    CScopedSelect select(memDC, m_bmpTrack.GetSafeHandle());
    pDC->StretchBlt(rc.left, rc.top, rc.Width(), rc.Height(), &memDC, 0, 0, kTrackSrcW, kTrackSrcH, SRCCOPY);
    return TRUE;
}

void CSkinProgressCtrl::OnPaint()
{
    CPaintDC dc(m_hWnd);
    const CRect fill = FillRect();
    if (fill.Width() <= 0 || fill.Height() <= 0) return;

    CDC memDC;
    memDC.CreateCompatibleDC(&dc);
    CScopedSelect select(memDC, m_bmpFill.GetSafeHandle());
    const int oldMode = dc.SetStretchBltMode(HALFTONE);
    dc.StretchBlt(fill.left, fill.top, fill.Width(), fill.Height(), &memDC, 0, 0, kFillSrcW, kFillSrcH, SRCCOPY);
    dc.SetStretchBltMode(oldMode);
}

LRESULT CSkinProgressCtrl::OnSetPos(WPARAM wParam, LPARAM)
{
    // The system control paints at once after a new position. Marking the new
    // fill before it does makes that one paint draw the whole of it, instead of
    // its own part now and all of ours in a second paint later.
    int low = 0, high = 0;
    GetRange(low, high);
    const int asked = static_cast<int>(wParam);
    const int pos = asked < low ? low : asked > high ? high : asked;
    CRect rc;
    GetClientRect(&rc);
    const CRect before = FillRect();
    const CRect expected = FillRectFor(rc, low, high, pos, (GetStyle() & PBS_VERTICAL) != 0);
    const bool marked = Grows(before, expected);
    if (marked) InvalidateRect(&expected, FALSE);

    const LRESULT r = Default();
    // Should the control have done anything else, the general rule repaints.
    const CRect after = FillRect();
    if (!marked || !::EqualRect(&after, &expected)) Repaint(before, after, false);
    return r;
}

LRESULT CSkinProgressCtrl::OnPositionChange(WPARAM, LPARAM)
{
    int lowBefore = 0, highBefore = 0;
    GetRange(lowBefore, highBefore);
    const CRect before = FillRect();

    const LRESULT r = Default();

    int low = 0, high = 0;
    GetRange(low, high);
    Repaint(before, FillRect(), low != lowBefore || high != highBefore);
    return r;
}

bool CSkinProgressCtrl::Grows(const CRect& before, const CRect& after)
{
    return after.Width() >= before.Width() && after.Height() >= before.Height() && !::EqualRect(&before, &after);
}

void CSkinProgressCtrl::Repaint(const CRect& before, const CRect& after, bool rangeChanged)
{
    if (rangeChanged || after.Width() < before.Width() || after.Height() < before.Height()) {
        // The track is drawn only when erasing: without an erase the old,
        // longer fill would stay visible past the new one.
        InvalidateRect(nullptr, TRUE);
    } else if (!::EqualRect(&before, &after)) {
        // The fill is stretched to its length, so all of it changes; drawn
        // over itself without erasing, it does not flicker.
        InvalidateRect(&after, FALSE);
    }
}
