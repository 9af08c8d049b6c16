#include "UpdaterDlg.h"
#include <shlwapi.h>
#include <cstdlib>
#include <ctime>
#include <utility>
#include "support/Files.h"
#include "support/RunLog.h"
#include "Settings.h"
#include "TransparentCtrlHelper.h"
#include "resource.h"

namespace {
// How often at most the downloaded-KB text changes during a file.
const ULONGLONG kDoneTextIntervalMs = 50;
// How often at most the window shows a frame: each is several repaints, and
// small files or a file copied from disk report faster than a screen shows.
const ULONGLONG kFrameIntervalMs = 30;
// The colour of both text lines, taken from the background artwork.
const COLORREF kTextColor = RGB(222, 172, 50);
// Sizes are shown in KB, truncated (and the bars count in KB too).
int Kb(UINT32 bytes) { return static_cast<int>(bytes >> 10); }
}

BEGIN_MESSAGE_MAP(CUpdaterDlg, CDialog)
    ON_WM_PAINT()
    ON_WM_ERASEBKGND()
    ON_WM_SIZE()
    ON_WM_QUERYDRAGICON()
    ON_WM_CLOSE()
    ON_WM_DESTROY()
    ON_WM_TIMER()
    ON_MESSAGE(WM_DRAW_PARENT_BKGND, OnDrawParentBkgnd)
    ON_MESSAGE(WM_SHOW_FRAME, OnShowFrame)
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
    m_textFile.SetColor(kTextColor);
    m_textDone.SetColor(kTextColor);

    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    char folder[MAX_PATH];
    lstrcpyA(folder, path);
    ::PathRemoveFileSpecA(folder);
    ::PathAddBackslashA(folder);
    m_strExeDir = folder;

    CWinApp* app = AfxGetApp();
    const CString site = ManifestBaseUrl(app->GetProfileString(kSectionDownload, kKeySite, kDefaultSite));
    const CString tempDir = JoinPath(m_strExeDir.str(), app->GetProfileString(kSectionSetup, kKeyTempDir, kDefaultTempDir).str()).c_str();
    RunLog::Open(tempDir.str());
    RunLog::Write("start: %s, settings %s, site %s", path, app->m_pszProfileName ? app->m_pszProfileName : "(none)",
                  site.GetString());
    // Init fails only without an event handle; the worker then starts at once
    // instead of waiting for it, which changes nothing the user sees.
    m_downloader.Init(this, site, tempDir, m_strExeDir);
    // A run killed while installing left a journal: put the installation back first.
    const bool consistent = m_downloader.RecoverInterruptedInstall();

    BITMAP bm{};
    m_bmpBackground.GetBitmap(&bm);
    SetWindowPos(nullptr, 0, 0, bm.bmWidth, bm.bmHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOCOPYBITS);

    std::srand(static_cast<unsigned>(std::time(nullptr)));
    CString name;
    name.Format("update.xml?=%i", std::rand());
    if (consistent)
        FetchManifest(site + name);
    else
        RunLog::Write("manifest: not fetched; an interrupted installation could not be undone");

    m_hFrameWnd = m_hWnd;
    InitBar(m_fileBar, m_progressFile);
    InitBar(m_totalBar, m_progressTotal);
    SetBarRange(m_totalBar, Kb(m_dwTotalSize));
    m_progressTotal.SetRange32(0, m_totalBar.high);
    m_progressFile.SetWindowPos(nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    m_progressTotal.SetWindowPos(nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    m_btnClose.SetWindowPos(nullptr, 0, 0, 28, 21, SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    m_btnClose.ShowWindow(SW_SHOW);

    ShowWindow(SW_SHOW);
    BringWindowToTop();
    UpdateWindow();
    RunLog::Write("window: shown, %d file(s) to fetch", m_downloader.GetTaskCount());
    SetTimer(START_TIMER_ID, 100, nullptr);
    return TRUE;
}

void CUpdaterDlg::FetchManifest(const char* url)
{
    m_bManifestRead = ::FetchManifest(url, m_strExeDir, m_downloader, m_dwTotalSize) != ManifestFetch::Failed;
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
    if (nIDEvent == FRAME_TIMER_ID) {
        KillTimer(FRAME_TIMER_ID);
        DrawPendingFrame();
        return;
    }
    if (nIDEvent == WATCHDOG_TIMER_ID) {
        // A read that receives nothing cannot be interrupted from the worker's
        // side, so the run is ended from here, as closing the window would.
        const ULONGLONG idle = m_downloader.TransferIdleMs();
        if (idle < CDownloadManager::StallLimitMs() || !m_downloader.Abandon()) return;
        KillTimer(WATCHDOG_TIMER_ID);
        m_bStalled = true;
        RunLog::Write("download: nothing received for %llu ms; the run fails", static_cast<unsigned long long>(idle));
        m_downloader.Detach();
        ShowFailure();
        DestroyWindow();
        return;
    }
    if (nIDEvent != START_TIMER_ID) {
        Default();
        return;
    }
    KillTimer(START_TIMER_ID);
    if (m_downloader.Start()) SetTimer(WATCHDOG_TIMER_ID, 250, nullptr);
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

void CUpdaterDlg::ShowFailure()
{
    // The configured text, read now; the engine's description is not shown.
    CWinApp* app = AfxGetApp();
    const CString text = app ? app->GetProfileString(kSectionMessages, kKeyErrorMsg, kDefaultErrorMsg) : CString(kDefaultErrorMsg);
    ::MessageBoxA(m_hWnd, text, "提示", MB_OK | MB_ICONINFORMATION);
}

void CUpdaterDlg::InitBar(BarView& bar, CSkinProgressCtrl& ctrl)
{
    ctrl.GetClientRect(&bar.client);
    bar.vertical = (ctrl.GetStyle() & PBS_VERTICAL) != 0;
    bar.low = bar.high = bar.pos = 0;
}

void CUpdaterDlg::SetBarRange(BarView& bar, int high)
{
    bar.low = 0;
    bar.high = high;
}

bool CUpdaterDlg::BarMoves(BarView& bar, int pos, bool always)
{
    if (pos == bar.pos) return false;
    if (!always) {
        const CRect shown = CSkinProgressCtrl::FillRectFor(bar.client, bar.low, bar.high, bar.pos, bar.vertical);
        const CRect next = CSkinProgressCtrl::FillRectFor(bar.client, bar.low, bar.high, pos, bar.vertical);
        if (::EqualRect(&shown, &next)) return false;
    }
    bar.pos = pos;
    return true;
}

bool CUpdaterDlg::DoneTextChanges(UINT32 dwDone, bool always, CString& text)
{
    const int kb = Kb(dwDone);
    if (kb == m_nDoneKbShown) return false;
    // Text changes cost a repaint each; a person cannot read them faster than this.
    const ULONGLONG now = ::GetTickCount64();
    if (!always && now - m_ullDoneShownAt < kDoneTextIntervalMs) return false;
    text.Format("已经下载:  %d KB", kb);
    m_nDoneKbShown = kb;
    m_ullDoneShownAt = now;
    return true;
}

void CUpdaterDlg::Frame::Merge(const Frame& later)
{
    // A range is drawn before its position, whichever came first.
    if (later.hasFileLine) {
        hasFileLine = true;
        fileLine = later.fileLine;
    }
    if (later.hasDoneText) {
        hasDoneText = true;
        doneText = later.doneText;
    }
    if (later.fileHigh >= 0) fileHigh = later.fileHigh;
    if (later.filePos >= 0) filePos = later.filePos;
    if (later.totalPos >= 0) totalPos = later.totalPos;
}

void CUpdaterDlg::ShowFrame(const Frame& frame)
{
    if (frame.Empty()) return;
    std::lock_guard<CSlimLock> lock(m_frameLock);
    m_pendingFrame.Merge(frame);
    // One message in the queue at a time, whatever the number of reports.
    if (!m_bFramePosted) m_bFramePosted = ::PostMessage(m_hFrameWnd, WM_SHOW_FRAME, 0, 0) != FALSE;
}

bool CUpdaterDlg::FramePending()
{
    std::lock_guard<CSlimLock> lock(m_frameLock);
    return m_bFramePosted;
}

LRESULT CUpdaterDlg::OnShowFrame(WPARAM, LPARAM)
{
    const ULONGLONG since = ::GetTickCount64() - m_ullFrameDrawnAt;
    // Too soon after the last one: the frame waits, and gathers what comes
    // meanwhile (without a timer it is shown now, or it would never be).
    if (since < kFrameIntervalMs && SetTimer(FRAME_TIMER_ID, static_cast<UINT>(kFrameIntervalMs - since), nullptr))
        return 0;
    DrawPendingFrame();
    return 0;
}

void CUpdaterDlg::DrawPendingFrame()
{
    Frame frame;
    {
        std::lock_guard<CSlimLock> lock(m_frameLock);
        frame = std::exchange(m_pendingFrame, Frame());
        m_bFramePosted = false;
    }
    m_ullFrameDrawnAt = ::GetTickCount64();
    if (frame.hasFileLine) m_textFile.SetWindowText(frame.fileLine);
    if (frame.hasDoneText) m_textDone.SetWindowText(frame.doneText);
    if (frame.fileHigh >= 0) m_progressFile.SetRange32(0, frame.fileHigh);
    if (frame.filePos >= 0) m_progressFile.SetPos(frame.filePos);
    if (frame.totalPos >= 0) m_progressTotal.SetPos(frame.totalPos);
}

const char* CUpdaterDlg::OutcomeText() const
{
    if (m_bStalled) return "failed (the transfer stalled)";
    switch (m_downloader.WorkerResult()) {
    // Without a manifest read to its end nothing was checked or updated.
    case 0: return m_bManifestRead ? "finished" : "failed (no manifest was read; nothing was updated)";
    case 1: return "failed";
    case 2: return "cancelled";
    default: return "cancelled (the window closed before the run ended)";
    }
}

void CUpdaterDlg::ShowFileStart(UINT32 dwSize)
{
    // The range and the empty bar in one frame.
    Frame frame;
    m_dwFileSize = dwSize;
    SetBarRange(m_fileBar, Kb(dwSize));
    frame.fileHigh = m_fileBar.high;
    if (BarMoves(m_fileBar, 0, true)) frame.filePos = 0;
    ShowFrame(frame);
    m_bFileStarted = true;
}

void CUpdaterDlg::ShowProgress(UINT32 dwDone, UINT32 dwTotal, const char* pszText)
{
    Frame frame;
    // The first line is the same for every block of a file.
    if (m_bFileStarted) {
        CString text;
        text.Format("文件名字:  %s 文件大小: %d KB", pszText ? pszText : "", Kb(m_dwFileSize));
        if (text != m_strFileLine) {
            m_strFileLine = text;
            frame.fileLine = text;
            frame.hasFileLine = true;
        }
    }
    // The first and the last block of a file are always shown exactly.
    const bool edge = m_bFileStarted || (m_dwFileSize != 0 && dwDone >= m_dwFileSize);
    m_bFileStarted = false;
    m_dwLastDone = dwDone;
    frame.hasDoneText = DoneTextChanges(dwDone, edge, frame.doneText);
    if (BarMoves(m_fileBar, Kb(dwDone), edge)) frame.filePos = m_fileBar.pos;
    if (BarMoves(m_totalBar, Kb(dwTotal), edge)) frame.totalPos = m_totalBar.pos;
    ShowFrame(frame);
}

void CUpdaterDlg::OnUpdateNotify(UINT32 dwDone, UINT32 dwTotal, int nStatus, const char* pszText)
{
    switch (nStatus) {
    case US_FILE_START:
        ShowFileStart(dwTotal);
        break;
    case US_PROGRESS:
        ShowProgress(dwDone, dwTotal, pszText);
        break;
    case US_FILE_DONE: {
        // A body without a length has no known last block until now.
        Frame frame;
        frame.hasDoneText = DoneTextChanges(m_dwLastDone, true, frame.doneText);
        ShowFrame(frame);
        m_dwFileSize = 0;
        break;
    }
    case US_ALL_DOWNLOADED:
        m_btnClose.EnableWindow(FALSE);
        break;
    case US_CANCELLED:
        SendMessage(WM_CLOSE);
        break;
    case US_FINISHED:
        // The engine has started the platform already.
        SendMessage(WM_CLOSE);
        break;
    case US_FAILED:
        ShowFailure();
        SendMessage(WM_CLOSE);
        break;
    default:
        break;
    }
}
