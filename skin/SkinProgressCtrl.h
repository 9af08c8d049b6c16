#pragma once
#include "afxwin.h"

class CSkinProgressCtrl : public CProgressCtrl {
    DECLARE_DYNAMIC(CSkinProgressCtrl)
public:
    CSkinProgressCtrl() = default;
protected:
    DECLARE_MESSAGE_MAP()
};
