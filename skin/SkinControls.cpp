#include "SkinButton.h"
#include "SkinProgressCtrl.h"
#include "SkinStatic.h"

IMPLEMENT_DYNAMIC(CSkinProgressCtrl, CProgressCtrl)
BEGIN_MESSAGE_MAP(CSkinProgressCtrl, CProgressCtrl)
END_MESSAGE_MAP()

IMPLEMENT_DYNAMIC(CSkinStatic, CStatic)
BEGIN_MESSAGE_MAP(CSkinStatic, CStatic)
END_MESSAGE_MAP()

IMPLEMENT_DYNAMIC(CSkinButton, CButton)
BEGIN_MESSAGE_MAP(CSkinButton, CButton)
END_MESSAGE_MAP()
