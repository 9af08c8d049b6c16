// The application object: prepares the process, creates the update window and
// tears everything down when that window is gone.
#pragma once
#include <memory>
#include "afxwin.h"
#include "install/InstallLock.h"

class CUpdaterDlg;

class CUpdaterApp : public CWinApp {
public:
    CUpdaterApp();
    ~CUpdaterApp() override;
    BOOL InitInstance() override;
    int ExitInstance() override;

    std::unique_ptr<CUpdaterDlg> m_pUpdaterDlg;
protected:
    // Held for the whole run: one updater per installation folder.
    CInstallationLock m_lock;
    DECLARE_MESSAGE_MAP()
};
