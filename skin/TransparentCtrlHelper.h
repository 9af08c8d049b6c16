// How a skin control paints its parent's background under itself: the control
// carries a window property, asks its parent with WM_DRAW_PARENT_BKGND while it
// draws, and the parent repaints all such children when its background changes.
#pragma once
#include <windows.h>

#define WM_DRAW_PARENT_BKGND (WM_USER + 0x3FD)   // wParam: child's HDC, lParam: child's HWND
#define WM_QUERY_SKIP_REDRAW 0x1095              // a child answering 1 is left out of the repaint

extern const char kTransparentCtrlProp[];

BOOL IsTransparentCtrl(HWND hWnd);
BOOL SetTransparentTag(HWND hWnd);
BOOL RemoveTransparentTag(HWND hWnd);
void InvalidateTransparentChildren(HWND hParent);
BOOL CopyParentBackground(HDC hdcSource, HDC hdcDest, HWND hChild);

class CTransparentCtrlHelper {
public:
    CTransparentCtrlHelper() = default;
    virtual ~CTransparentCtrlHelper() = default;
    CTransparentCtrlHelper(const CTransparentCtrlHelper&) = delete;
    CTransparentCtrlHelper& operator=(const CTransparentCtrlHelper&) = delete;

    BOOL Attach(HWND hWnd);
    LRESULT DrawParentBackground(HDC hdc, HWND hWnd);
private:
    HWND m_hWnd = nullptr;
};
