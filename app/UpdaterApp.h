// The application object: prepares the process, creates the update window and
// tears everything down when that window is gone.
#pragma once
#include <memory>
#include "afxwin.h"

class CUpdaterDlg;

class CUpdaterApp : public CWinApp {
public:
    CUpdaterApp();
    ~CUpdaterApp() override;
    BOOL InitInstance() override;
    int ExitInstance() override;

    std::unique_ptr<CUpdaterDlg> m_pUpdaterDlg;
protected:
    DECLARE_MESSAGE_MAP()
};
