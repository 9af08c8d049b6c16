#pragma once
#include "afxwin.h"

class CSkinStatic : public CStatic {
    DECLARE_DYNAMIC(CSkinStatic)
public:
    CSkinStatic() = default;
    void SetColor(COLORREF clr) { m_clrText = clr; }
protected:
    COLORREF m_clrText = 0;
    DECLARE_MESSAGE_MAP()
};
