#pragma once
#include "afxwin.h"

class CSkinButton : public CButton {
    DECLARE_DYNAMIC(CSkinButton)
public:
    CSkinButton() = default;
protected:
    DECLARE_MESSAGE_MAP()
};
