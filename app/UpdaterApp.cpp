#include "UpdaterApp.h"
#include <objbase.h>
#include <shlwapi.h>
#include <string>
#include "DownloadManager.h"
#include "support/Files.h"
#include "support/RunLog.h"
#include "Settings.h"
#include "UpdaterDlg.h"
#include "resource.h"

namespace {
// How long the end of the program waits for the worker to notice it should stop.
const DWORD kWorkerStopWaitMs = 800;
}

BEGIN_MESSAGE_MAP(CUpdaterApp, CWinApp)
    ON_COMMAND(ID_HELP, OnHelp)
END_MESSAGE_MAP()

CUpdaterApp::CUpdaterApp() = default;

CUpdaterApp::~CUpdaterApp() = default;

BOOL CUpdaterApp::InitInstance()
{
    INITCOMMONCONTROLSEX icc = { sizeof(icc), ICC_WIN95_CLASSES };
    ::InitCommonControlsEx(&icc);
    CWinApp::InitInstance();
    AfxEnableControlContainer();
    ::CoInitialize(nullptr);

    char exePath[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, exePath, MAX_PATH);
    const CInstallationLock::State lock = m_lock.Take(exePath);
    const CString profile = SettingsPathFor(exePath);
    // A path that does not fit leaves no settings file: every key takes its default.
    SetProfileName(profile.IsEmpty() ? nullptr : profile.GetString());
    if (lock != CInstallationLock::State::Held) {
        char folder[MAX_PATH];
        lstrcpynA(folder, exePath, MAX_PATH);
        ::PathRemoveFileSpecA(folder);
        RunLog::Open(JoinPath(folder, GetProfileString(kSectionSetup, kKeyTempDir, kDefaultTempDir).str()));
    }
    if (lock == CInstallationLock::State::TakenByAnother) {
        // The first one finishes the run and starts the platform.
        RunLog::Write("start: %s; another updater is already running for this folder; this one exits", exePath);
        return FALSE;
    }
    if (lock == CInstallationLock::State::Unavailable)
        RunLog::Write("start: %s; no installation lock can be made (error %lu); the run goes on without one", exePath,
                      m_lock.Error());

    m_pUpdaterDlg = std::make_unique<CUpdaterDlg>(nullptr);
    m_pMainWnd = m_pUpdaterDlg.get();
    // Without its window the run cannot go on, and the message loop would never end.
    return m_pUpdaterDlg->Create(IDD_UPDATER_DIALOG, nullptr);
}

int CUpdaterApp::ExitInstance()
{
    ::CoUninitialize();
    if (m_pUpdaterDlg) {
        // A worker stuck in a read that closing its handle did not end must not
        // outlive the objects it uses: the run is over, so end the process here.
        // (An installation in progress is always waited for.)
        const bool stopped = m_pUpdaterDlg->StopWorker(kWorkerStopWaitMs);
        RunLog::Write("outcome: %s, exit code 0", m_pUpdaterDlg->OutcomeText());
        if (!stopped) ::ExitProcess(static_cast<UINT>(CWinApp::ExitInstance()));
        m_pUpdaterDlg.reset();
    }
    m_pMainWnd = nullptr;
    // A manifest pass given up on may still be running: it must not see the
    // program's static objects (the log among them) destroyed under it.
    if (AbandonedManifestPassRunning()) ::ExitProcess(static_cast<UINT>(CWinApp::ExitInstance()));
    return CWinApp::ExitInstance();
}
