// A text label drawn straight over its parent's background, in its own colour.
#pragma once
#include "afxwin.h"
#include "TransparentCtrlHelper.h"

class CSkinStatic : public CStatic {
public:
    CSkinStatic();
    ~CSkinStatic() override;

    // Takes effect at the next repaint.
    void SetColor(COLORREF clr) { m_clrText = clr; }
    COLORREF GetColor() const { return m_clrText; }

    void PreSubclassWindow() override;
    void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct) override;

protected:
    BOOL OnEraseBkgnd(CDC* pDC);
    LRESULT OnSetText(WPARAM wParam, LPARAM lParam);
    DECLARE_MESSAGE_MAP()

    CTransparentCtrlHelper m_transparent;
    COLORREF m_clrText = 0;
};
