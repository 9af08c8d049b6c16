// A push button drawn from a strip of five equal slices (normal, hover,
// pressed, disabled, unused) over its parent's background.
#pragma once
#include "afxwin.h"
#include "TransparentCtrlHelper.h"

class CSkinButton : public CButton {
public:
    CSkinButton();
    ~CSkinButton() override;

    BOOL IsHover() const { return m_bHover; }

    void PreSubclassWindow() override;
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;

protected:
    void OnMouseMove(UINT nFlags, CPoint point);
    BOOL OnEraseBkgnd(CDC* pDC);
    LRESULT OnMouseLeave(WPARAM wParam, LPARAM lParam);
    DECLARE_MESSAGE_MAP()

    BOOL m_bHover = FALSE; // pointer over the button and leave tracking armed
    CBitmap m_bitmap;      // the state strip
    CTransparentCtrlHelper m_transparent;
};
