#include "TransparentCtrlHelper.h"

const char kTransparentCtrlProp[] = "###tranparentctrl_tag###";

BOOL IsTransparentCtrl(HWND hWnd)
{
    return ::GetPropA(hWnd, kTransparentCtrlProp) != nullptr;
}

BOOL SetTransparentTag(HWND hWnd)
{
    if (IsTransparentCtrl(hWnd)) return FALSE;
    ::SetPropA(hWnd, kTransparentCtrlProp, hWnd);
    return TRUE;
}

BOOL RemoveTransparentTag(HWND hWnd)
{
    if (!IsTransparentCtrl(hWnd)) return FALSE;
    ::RemovePropA(hWnd, kTransparentCtrlProp);
    return TRUE;
}

void InvalidateTransparentChildren(HWND hParent)
{
    for (HWND child = ::GetTopWindow(hParent); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        if (::IsWindowVisible(child) && IsTransparentCtrl(child) &&
            ::SendMessageA(child, WM_QUERY_SKIP_REDRAW, 0, 0) != 1)
            ::InvalidateRect(child, nullptr, TRUE);
    }
}

BOOL CopyParentBackground(HDC hdcSource, HDC hdcDest, HWND hChild)
{
    RECT rc;
    ::GetWindowRect(hChild, &rc);
    HWND parent = ::GetParent(hChild);
    POINT topLeft = { rc.left, rc.top }, bottomRight = { rc.right, rc.bottom };
    ::ScreenToClient(parent, &topLeft);
    ::ScreenToClient(parent, &bottomRight);
    return ::BitBlt(hdcDest, 0, 0, bottomRight.x - topLeft.x, bottomRight.y - topLeft.y, hdcSource, topLeft.x,
                    topLeft.y, SRCCOPY);
}

BOOL CTransparentCtrlHelper::Attach(HWND hWnd)
{
    m_hWnd = hWnd;
    SetTransparentTag(hWnd);
    return TRUE;
}

LRESULT CTransparentCtrlHelper::DrawParentBackground(HDC hdc, HWND hWnd)
{
    HWND parent = ::GetParent(hWnd);
    LRESULT r = ::SendMessageA(parent, WM_DRAW_PARENT_BKGND, reinterpret_cast<WPARAM>(hdc), reinterpret_cast<LPARAM>(hWnd));
    if (r) return r;
    return ::SendMessageA(parent, WM_ERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
}
