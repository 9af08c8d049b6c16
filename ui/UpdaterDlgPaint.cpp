// The update window's face: a cache of the background bitmap at client size,
// copied on every paint and lent to the skin controls for their background.
#include "UpdaterDlg.h"
#include "TransparentCtrlHelper.h"

void CUpdaterDlg::RebuildBackgroundCache()
{
    CClientDC windowDC(m_hWnd);
    CDC bitmapDC;
    bitmapDC.CreateCompatibleDC(&windowDC);
    CScopedSelect selectBackground(bitmapDC, m_bmpBackground.GetSafeHandle());

    CRect rc;
    GetClientRect(&rc);
    const int w = rc.Width(), h = rc.Height();

    m_pBackground.reset();  // the old cache goes before the new one is made
    m_pBackground = std::make_unique<CMemoryBitmapDC>(windowDC, w, h);
    m_pBackground->DC().BitBlt(0, 0, w, h, &bitmapDC, 0, 0, SRCCOPY);

    InvalidateTransparentChildren(m_hWnd);
}

void CUpdaterDlg::OnSize(UINT, int, int)
{
    Default();
    RebuildBackgroundCache();
    InvalidateRect(nullptr, FALSE);
}

void CUpdaterDlg::OnPaint()
{
    CPaintDC dc(m_hWnd);
    CRect rc;
    GetClientRect(&rc);
    if (IsIconic()) {
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
        const int cx = ::GetSystemMetrics(SM_CXICON), cy = ::GetSystemMetrics(SM_CYICON);
        const int x = (rc.Width() - cx + 1) / 2, y = (rc.Height() - cy + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
        return;
    }
    if (m_pBackground) dc.BitBlt(0, 0, rc.Width(), rc.Height(), &m_pBackground->DC(), 0, 0, SRCCOPY);
}

BOOL CUpdaterDlg::OnEraseBkgnd(CDC*)
{
    return TRUE;
}

LRESULT CUpdaterDlg::OnDrawParentBkgnd(WPARAM wParam, LPARAM lParam)
{
    CopyParentBackground(m_pBackground ? m_pBackground->GetSafeHdc() : nullptr, reinterpret_cast<HDC>(wParam),
                         reinterpret_cast<HWND>(lParam));
    return 1;
}
