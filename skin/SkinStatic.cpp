#include "SkinStatic.h"

BEGIN_MESSAGE_MAP(CSkinStatic, CStatic)
    ON_WM_ERASEBKGND()
    ON_MESSAGE(WM_SETTEXT, OnSetText)
END_MESSAGE_MAP()

CSkinStatic::CSkinStatic() = default;

CSkinStatic::~CSkinStatic() = default;

void CSkinStatic::PreSubclassWindow()
{
    CStatic::PreSubclassWindow();
    m_transparent.Attach(m_hWnd);
    ModifyStyle(0, SS_OWNERDRAW);
}

void CSkinStatic::DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct)
{
    CDC dc(lpDrawItemStruct->hDC);
    m_transparent.DrawParentBackground(dc, m_hWnd);

    CString text;
    GetWindowText(text);
    CRect rect;
    GetClientRect(&rect);

    dc.SetBkMode(TRANSPARENT);
    // A control without a font selects nothing: the DC's own font is used.
    const HFONT font = GetFont();
    const HGDIOBJ oldFont = font ? dc.SelectObject(font) : nullptr;
    const COLORREF oldColor = dc.SetTextColor(m_clrText);
    dc.DrawText(text, text.GetLength(), &rect, DT_SINGLELINE);
    dc.SetTextColor(oldColor);
    if (oldFont) dc.SelectObject(oldFont);
}

BOOL CSkinStatic::OnEraseBkgnd(CDC*)
{
    // DrawItem paints the whole label, background included.
    return TRUE;
}

LRESULT CSkinStatic::OnSetText(WPARAM, LPARAM)
{
    const LRESULT r = Default();
    // The static control may repaint only part of itself, or nothing, after a
    // text change; the old text must never stay visible under the new one.
    InvalidateRect(nullptr, FALSE);
    return r;
}
