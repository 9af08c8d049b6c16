// The update window's progress bar: a system progress control whose face is
// drawn from two bitmaps (track and fill) and which has no frame.
#pragma once
#include "afxwin.h"

class CSkinProgressCtrl : public CProgressCtrl {
public:
    CSkinProgressCtrl();
    ~CSkinProgressCtrl() override;

    // Where the fill of a bar with this client area, range and position is
    // drawn; empty when no fill is drawn. Two positions with the same rectangle
    // look the same, so the window need not send the second.
    static CRect FillRectFor(const CRect& client, int low, int high, int pos, bool vertical);

protected:
    // Where the fill is drawn for the control's current style, range and
    // position, in client coordinates; empty when no fill is drawn.
    CRect FillRect() const;
    LRESULT OnNcCalcSize(BOOL bCalcValidRects, NCCALCSIZE_PARAMS* params);
    void OnNcPaint();
    void OnPaint();
    BOOL OnEraseBkgnd(CDC* pDC);
    // Range and position changes: the system control stores them, we repaint.
    LRESULT OnPositionChange(WPARAM wParam, LPARAM lParam);
    LRESULT OnSetPos(WPARAM wParam, LPARAM lParam);
    static bool Grows(const CRect& before, const CRect& after);
    // Marks what a change of the fill from before to after leaves out of date.
    void Repaint(const CRect& before, const CRect& after, bool rangeChanged);
    DECLARE_MESSAGE_MAP()

    CBitmap m_bmpFill;
    CBitmap m_bmpTrack;
};
