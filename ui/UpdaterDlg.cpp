#include "UpdaterDlg.h"
#include <shlwapi.h>
#include <cstdlib>
#include <ctime>
#include "Manifest.h"
#include "Platform.h"
#include "Settings.h"
#include "TransparentCtrlHelper.h"
#include "resource.h"

BEGIN_MESSAGE_MAP(CUpdaterDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_ERASEBKGND()
    ON_WM_SIZE()
    ON_WM_QUERYDRAGICON()
    ON_WM_CLOSE()
    ON_WM_DESTROY()
    ON_WM_TIMER()
    ON_MESSAGE(WM_DRAW_PARENT_BKGND, OnDrawParentBkgnd)
    ON_BN_CLICKED(IDCANCEL, OnBnClickedCancel)
END_MESSAGE_MAP()

CUpdaterDlg::CUpdaterDlg(CWnd* pParent)
    : CDialog(IDD_UPDATER_DIALOG, pParent)
{
    m_hIcon = AfxGetApp() ? AfxGetApp()->LoadIcon(IDR_MAINFRAME)
                          : ::LoadIconA(AfxGetInstanceHandle(), MAKEINTRESOURCEA(IDR_MAINFRAME));
    m_bmpBackground.LoadBitmap(IDB_BACKGROUND);
}

CUpdaterDlg::~CUpdaterDlg()
{
    // No report may reach this object once its destruction has begun.
    m_downloader.StopWorker(INFINITE);
    if (m_pMemDC) {
        m_pMemDC->SelectObject(m_pOldBitmap);
        m_pMemDC.reset();
    }
    m_pMemBitmap.reset();
}

void CUpdaterDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PROGRESS_FILE, m_progressFile);
    DDX_Control(pDX, IDC_PROGRESS_TOTAL, m_progressTotal);
    DDX_Control(pDX, IDC_TEXT_FILE, m_textFile);
    DDX_Control(pDX, IDC_TEXT_DONE, m_textDone);
    DDX_Control(pDX, IDCANCEL, m_btnClose);
}

BOOL CUpdaterDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
    m_textFile.SetColor(RGB(222, 172, 50));
    m_textDone.SetColor(RGB(222, 172, 50));

    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    ::PathRemoveFileSpecA(path);
    ::PathAddBackslashA(path);
    m_strExeDir = path;

    CWinApp* app = AfxGetApp();
    const CString site = ManifestBaseUrl(app->GetProfileString(kSectionDownload, kKeySite, kDefaultSite));
    const CString tempDir = m_strExeDir + app->GetProfileString(kSectionSetup, kKeyTempDir, kDefaultTempDir);
    m_downloader.Init(this, site, tempDir, m_strExeDir);

    BITMAP bm{};
    m_bmpBackground.GetBitmap(&bm);
    SetWindowPos(nullptr, 0, 0, bm.bmWidth, bm.bmHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);

    std::srand(static_cast<unsigned>(std::time(nullptr)));
    CString name;
    name.Format("update.xml?=%i", std::rand());
    FetchManifest(site + name);

    m_progressTotal.SetRange32(0, static_cast<int>(m_dwTotalSize >> 10));
    m_progressFile.SetWindowPos(nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    m_progressTotal.SetWindowPos(nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    m_btnClose.SetWindowPos(nullptr, 0, 0, 28, 21, SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    m_btnClose.ShowWindow(SW_SHOW);

    ShowWindow(SW_SHOW);
    BringWindowToTop();
    UpdateWindow();
    SetTimer(START_TIMER_ID, 100, nullptr);
    return TRUE;
}

BOOL CUpdaterDlg::FetchManifest(const char* url)
{
    return ::FetchManifest(url, m_strExeDir, m_downloader, m_dwTotalSize);
}

HCURSOR CUpdaterDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

void CUpdaterDlg::OnClose()
{
    DestroyWindow();
}

void CUpdaterDlg::OnDestroy()
{
    // The worker must not report to a window that is gone.
    m_downloader.Detach();
    Default();
}

void CUpdaterDlg::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent != START_TIMER_ID) {
        Default();
        return;
    }
    KillTimer(START_TIMER_ID);
    m_downloader.Start();
}

void CUpdaterDlg::OnBnClickedCancel()
{
    const int state = m_downloader.GetState();
    if (state == US_ALL_DOWNLOADED || state == US_FAILED) {
        DestroyWindow();
        return;
    }
    m_downloader.Cancel();
    m_btnClose.EnableWindow(FALSE);
    SendMessage(WM_CLOSE);
}

void CUpdaterDlg::StartPlatform()
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    ::PathRemoveFileSpecA(path);
    // Quoted, so that a folder name with spaces is not split into arguments.
    CString command;
    command.Format("\"%s%s\"", path, kPlatformExeName);
    ::WinExec(command, SW_SHOWDEFAULT);
}

void CUpdaterDlg::OnUpdateNotify(UINT32 dwDone, UINT32 dwTotal, int nStatus, const char* pszText)
{
    CString text;
    switch (nStatus) {
    case US_FILE_START:
        m_dwFileSize = dwTotal;
        m_progressFile.SetRange32(0, static_cast<int>(dwTotal >> 10));
        m_progressFile.SetPos(0);
        break;
    case US_PROGRESS:
        text.Format("文件名字:  %s 文件大小: %d KB", pszText ? pszText : "", static_cast<int>(m_dwFileSize >> 10));
        // The first line is the same for every block of a file; each cross-thread
        // text change costs a round trip to the window's thread and a repaint.
        if (text != m_strFileLine) {
            m_textFile.SetWindowText(text);
            m_strFileLine = text;
        }
        text.Format("已经下载:  %d KB", static_cast<int>(dwDone >> 10));
        m_textDone.SetWindowText(text);
        m_progressFile.SetPos(static_cast<int>(dwDone >> 10));
        m_progressTotal.SetPos(static_cast<int>(dwTotal >> 10));
        break;
    case US_FILE_DONE:
        m_dwFileSize = 0;
        break;
    case US_ALL_DOWNLOADED:
        m_btnClose.EnableWindow(FALSE);
        break;
    case US_CANCELLED:
        SendMessage(WM_CLOSE);
        break;
    case US_FINISHED:
        StartPlatform();
        SendMessage(WM_CLOSE);
        break;
    case US_FAILED: {
        // The configured text, read now; the engine's description is not shown.
        CWinApp* app = AfxGetApp();
        text = app ? app->GetProfileString(kSectionMessages, kKeyErrorMsg, kDefaultErrorMsg) : CString(kDefaultErrorMsg);
        ::MessageBoxA(m_hWnd, text, "提示", MB_OK | MB_ICONINFORMATION);
        SendMessage(WM_CLOSE);
        break;
    }
    default:
        break;
    }
}
