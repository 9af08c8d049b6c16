#include "afxwin.h"

BOOL CBitmap::LoadBitmap(UINT nIDResource)
{
    DeleteObject();
    m_hBitmap = ::LoadBitmapA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(nIDResource));
    return m_hBitmap != nullptr;
}

BOOL CBitmap::CreateCompatibleBitmap(HDC hdc, int cx, int cy)
{
    DeleteObject();
    m_hBitmap = ::CreateCompatibleBitmap(hdc, cx, cy);
    return m_hBitmap != nullptr;
}

int CBitmap::GetBitmap(BITMAP* pBitmap) const
{
    return ::GetObjectA(m_hBitmap, sizeof(BITMAP), pBitmap);
}

BOOL CBitmap::DeleteObject()
{
    if (!m_hBitmap) return FALSE;
    BOOL ok = ::DeleteObject(m_hBitmap);
    m_hBitmap = nullptr;
    return ok;
}

CDC::~CDC()
{
    DeleteDC();
}

BOOL CDC::CreateCompatibleDC(const CDC* pDC)
{
    DeleteDC();
    m_hDC = ::CreateCompatibleDC(pDC ? pDC->m_hDC : nullptr);
    m_bOwned = m_hDC != nullptr;
    return m_bOwned;
}

BOOL CDC::DeleteDC()
{
    BOOL ok = FALSE;
    if (m_bOwned && m_hDC) ok = ::DeleteDC(m_hDC);
    if (m_bOwned) m_hDC = nullptr;
    m_bOwned = false;
    return ok;
}

CMemoryBitmapDC::CMemoryBitmapDC(const CDC& compatible, int width, int height)
{
    m_dc.CreateCompatibleDC(&compatible);
    m_bitmap.CreateCompatibleBitmap(compatible.GetSafeHdc(), width, height);
    m_select.emplace(m_dc.GetSafeHdc(), m_bitmap.GetSafeHandle());
}
