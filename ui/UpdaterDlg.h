// The updater's only window: drives the run and shows its progress.
#pragma once
#include <memory>
#include "afxwin.h"
#include "DownloadManager.h"
#include "support/SlimLock.h"
#include "SkinButton.h"
#include "SkinProgressCtrl.h"
#include "SkinStatic.h"
#include "UpdateNotify.h"

#define START_TIMER_ID 100
#define WATCHDOG_TIMER_ID 101
#define FRAME_TIMER_ID 102
// Posted by the worker's report to the window: a frame is waiting to be shown.
#define WM_SHOW_FRAME (WM_APP + 1)

class CUpdaterDlg : public CDialog, public UpdateNotify {
public:
    explicit CUpdaterDlg(CWnd* pParent = nullptr);
    ~CUpdaterDlg() override;

    void OnUpdateNotify(UINT32 dwDone, UINT32 dwTotal, int nStatus, const char* pszText) override;
    // Runs the manifest pass; m_bManifestRead says whether its list was read to the end.
    void FetchManifest(const char* url);
    // Waits for the worker after the window is gone; false if it did not end in time.
    bool StopWorker(DWORD timeoutMs) { return m_downloader.StopWorker(timeoutMs); }

    // How the run ended, in words for the log.
    const char* OutcomeText() const;

    // Read access for tests.
    CDownloadManager& Downloader() { return m_downloader; }
    const CString& ExeDir() const { return m_strExeDir; }
    UINT32 TotalSize() const { return m_dwTotalSize; }
    UINT32 FileSize() const { return m_dwFileSize; }
    bool FramePending();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    void OnPaint();
    BOOL OnEraseBkgnd(CDC* pDC);
    void OnSize(UINT nType, int cx, int cy);
    HCURSOR OnQueryDragIcon();
    void OnClose();
    void OnDestroy();
    void OnTimer(UINT_PTR nIDEvent);
    LRESULT OnDrawParentBkgnd(WPARAM wParam, LPARAM lParam);
    void OnBnClickedCancel();
    void RebuildBackgroundCache();
    void ShowFailure();

    // What a bar shows, so that a report that would change no pixel of it adds
    // nothing to the frame (each change shown is a repaint).
    struct BarView {
        CRect client;
        bool vertical = false;
        int low = 0, high = 0, pos = 0;
    };
    void InitBar(BarView& bar, CSkinProgressCtrl& ctrl);
    // Sets the bar's range as the reports see it; the control gets it with a frame.
    void SetBarRange(BarView& bar, int high);
    // Whether a report changes what a bar or the downloaded-KB text shows (and
    // remembers it as shown).
    bool BarMoves(BarView& bar, int pos, bool always);
    bool DoneTextChanges(UINT32 dwDone, bool always, CString& text);
    // What reports change. A report adds its changes to the frame waiting to
    // be shown and goes on: the worker never waits for the window. The window
    // shows the waiting frame at most every kFrameIntervalMs, so files that
    // arrive faster than a screen shows them cost a few frames, not two each.
    struct Frame {
        bool hasFileLine = false, hasDoneText = false;
        CString fileLine, doneText;
        int fileHigh = -1;  // the upper bar's new range, set before its position
        int filePos = -1;
        int totalPos = -1;
        bool Empty() const { return !hasFileLine && !hasDoneText && fileHigh < 0 && filePos < 0 && totalPos < 0; }
        // Takes a later frame's changes over this one's.
        void Merge(const Frame& later);
    };
    void ShowFrame(const Frame& frame);
    // Shows the waiting frame (the window's thread).
    void DrawPendingFrame();
    // A file's start and its blocks, as the reports give them (worker thread).
    void ShowFileStart(UINT32 dwSize);
    void ShowProgress(UINT32 dwDone, UINT32 dwTotal, const char* pszText);
    LRESULT OnShowFrame(WPARAM wParam, LPARAM lParam);
    DECLARE_MESSAGE_MAP()

    HICON m_hIcon;
    CSkinProgressCtrl m_progressFile;
    CSkinProgressCtrl m_progressTotal;
    CSkinStatic m_textFile;
    CSkinStatic m_textDone;
    CSkinButton m_btnClose;
    CDownloadManager m_downloader;
    CString m_strExeDir;
    UINT32 m_dwFileSize = 0;
    UINT32 m_dwTotalSize = 0;
    std::unique_ptr<CMemoryBitmapDC> m_pBackground;  // the background at client size
    CBitmap m_bmpBackground;
    bool m_bStalled = false;  // the watchdog ended the run (user-interface thread only)
    bool m_bManifestRead = false;  // the manifest pass read the whole list
    // As last shown by the reports (worker thread only, once it runs).
    CString m_strFileLine;
    BarView m_fileBar, m_totalBar;
    bool m_bFileStarted = false;     // no block of the current file shown yet
    int m_nDoneKbShown = -1;
    UINT32 m_dwLastDone = 0;
    ULONGLONG m_ullDoneShownAt = 0;
    // The frame waiting to be shown, and whether the window was told of it.
    CSlimLock m_frameLock;
    Frame m_pendingFrame;
    bool m_bFramePosted = false;
    HWND m_hFrameWnd = nullptr;       // where frames are posted (set once, before the worker runs)
    ULONGLONG m_ullFrameDrawnAt = 0;  // the window's thread only
};
