// The update window in-process: what each report does to its controls, and
// how the window ends.
#include <gtest/gtest.h>
#include <objbase.h>
#include <atomic>
#include <cstring>
#include <thread>
#include <commctrl.h>
#include "TestUtil.h"
#include "UpdaterDlg.h"
#include "resource.h"

namespace {

class TestApp : public CWinApp {
public:
    TestApp() : CWinApp("unit_tests") {}
};

std::string Text(HWND h)
{
    char buf[256] = {};
    ::GetWindowTextA(h, buf, sizeof(buf));
    return buf;
}

class UpdaterWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::CoInitialize(nullptr);
        tempName = "dlgtest-" + std::to_string(::GetCurrentProcessId());
        ini = scratch / "updater.INI";
        WriteBytes(ini, "[Download]\r\nsite=127.0.0.1:1\r\n[Setup]\r\nTempDir=" + tempName + "\r\n");
        app.SetProfileName(ini.c_str());
        dlg = new CUpdaterDlg(nullptr);
        ASSERT_TRUE(dlg->Create(IDD_UPDATER_DIALOG, nullptr));
        wnd = dlg->m_hWnd;
        ::KillTimer(wnd, START_TIMER_ID);  // the tests drive the reports themselves
    }
    void TearDown() override
    {
        if (::IsWindow(wnd)) ::DestroyWindow(wnd);
        delete dlg;
        RemoveTree(ProgramDir() + tempName);
        ::CoUninitialize();
    }
    // Reports from another thread, as the worker does, while this thread handles the messages.
    // Then waits for the frame it left to be shown.
    void Report(UINT32 done, UINT32 total, int status, const char* text)
    {
        FromWorker([&] { dlg->OnUpdateNotify(done, total, status, text); });
        Shown();
    }
    void Shown()
    {
        if (::IsWindow(wnd)) {
            EXPECT_TRUE(PumpUntil([&] { return !dlg->FramePending(); }, 2000));
        }
    }
    HWND Item(int id) const { return ::GetDlgItem(wnd, id); }
    int Pos(int id) const { return static_cast<int>(::SendMessageA(Item(id), PBM_GETPOS, 0, 0)); }
    int High(int id) const { return static_cast<int>(::SendMessageA(Item(id), PBM_GETRANGE, FALSE, 0)); }

    ScratchDir scratch{ "dlg" };
    std::string tempName, ini;
    TestApp app;
    CUpdaterDlg* dlg = nullptr;
    HWND wnd = nullptr;
};

} // namespace

TEST_F(UpdaterWindow, StartsWithTheTemplateTextsAndTheBackgroundSize)
{
    RECT rc;
    ::GetWindowRect(wnd, &rc);
    EXPECT_EQ(rc.right - rc.left, 367);
    EXPECT_EQ(rc.bottom - rc.top, 114);
    EXPECT_TRUE(::IsWindowVisible(wnd));
    EXPECT_EQ(Text(Item(IDC_TEXT_FILE)), "正在连接：更新服务器...");
    EXPECT_EQ(Text(Item(IDC_TEXT_DONE)), "还剩：0个文件，0KB");
    EXPECT_EQ(High(IDC_PROGRESS_TOTAL), 0);  // nothing could be fetched from 127.0.0.1:1
    EXPECT_STREQ(dlg->ExeDir(), ProgramDir().c_str());
    EXPECT_STREQ(dlg->Downloader().GetBaseUrl(), "http://127.0.0.1:1/update/");
    EXPECT_STREQ(dlg->Downloader().GetTempDir(), (ProgramDir() + tempName).c_str());
    EXPECT_TRUE(FileExists(ProgramDir() + tempName));
}

TEST_F(UpdaterWindow, ReportsMoveTheBarsAndRewriteTheLines)
{
    ::SendMessageA(Item(IDC_PROGRESS_TOTAL), PBM_SETRANGE32, 0, 100);
    Report(0, 5000, US_FILE_START, "a.bin");
    EXPECT_EQ(dlg->FileSize(), 5000u);
    EXPECT_EQ(High(IDC_PROGRESS_FILE), 4);
    EXPECT_EQ(Pos(IDC_PROGRESS_FILE), 0);

    Report(3000, 7000, US_PROGRESS, "a.bin");
    EXPECT_EQ(Text(Item(IDC_TEXT_FILE)), "文件名字:  a.bin 文件大小: 4 KB");
    EXPECT_EQ(Text(Item(IDC_TEXT_DONE)), "已经下载:  2 KB");
    EXPECT_EQ(Pos(IDC_PROGRESS_FILE), 2);
    EXPECT_EQ(Pos(IDC_PROGRESS_TOTAL), 6);

    Report(5000, 500 * 1024, US_PROGRESS, "a.bin");  // past the range: the control clamps
    EXPECT_EQ(Pos(IDC_PROGRESS_TOTAL), 100);

    Report(0, 0, US_FILE_DONE, "a.bin");
    EXPECT_EQ(dlg->FileSize(), 0u);
    EXPECT_EQ(Text(Item(IDC_TEXT_FILE)), "文件名字:  a.bin 文件大小: 4 KB");  // kept until the next progress

    Report(0, 1023, US_FILE_START, "tiny.txt");
    EXPECT_EQ(High(IDC_PROGRESS_FILE), 0);
    Report(1023, 6143, US_PROGRESS, "tiny.txt");
    EXPECT_EQ(Text(Item(IDC_TEXT_FILE)), "文件名字:  tiny.txt 文件大小: 0 KB");
    EXPECT_EQ(Text(Item(IDC_TEXT_DONE)), "已经下载:  0 KB");
}

namespace {
// Counts what a control is sent, on the control's own thread.
LRESULT CALLBACK CountSends(HWND h, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR counter)
{
    if (msg == PBM_SETPOS || msg == WM_SETTEXT) ++*reinterpret_cast<int*>(counter);
    return ::DefSubclassProc(h, msg, wp, lp);
}
} // namespace

TEST_F(UpdaterWindow, AWholeFileOfReportsSendsOnlyWhatChangesTheFrame)
{
    // 32 MiB in 8 KiB blocks, reported as fast as the worker can: 4096 reports.
    const UINT32 size = 32u << 20, block = 8192;
    ::SendMessageA(Item(IDC_PROGRESS_TOTAL), PBM_SETRANGE32, 0, 0);
    Report(0, size, US_FILE_START, "big.pak");
    int fileBar = 0, totalBar = 0, doneText = 0;
    ASSERT_TRUE(::SetWindowSubclass(Item(IDC_PROGRESS_FILE), CountSends, 1, reinterpret_cast<DWORD_PTR>(&fileBar)));
    ASSERT_TRUE(::SetWindowSubclass(Item(IDC_PROGRESS_TOTAL), CountSends, 1, reinterpret_cast<DWORD_PTR>(&totalBar)));
    ASSERT_TRUE(::SetWindowSubclass(Item(IDC_TEXT_DONE), CountSends, 1, reinterpret_cast<DWORD_PTR>(&doneText)));

    const ULONGLONG start = ::GetTickCount64();
    FromWorker([&] {
        for (UINT32 done = block; done <= size; done += block) dlg->OnUpdateNotify(done, done, US_PROGRESS, "big.pak");
    });
    Shown();
    const ULONGLONG elapsed = ::GetTickCount64() - start;

    // The last frame is exact.
    EXPECT_EQ(Pos(IDC_PROGRESS_FILE), static_cast<int>(size >> 10));
    EXPECT_EQ(Text(Item(IDC_TEXT_DONE)), "已经下载:  32768 KB");
    // A bar is sent a position only when its fill gains a pixel, in a frame
    // at most every 30 ms; the text at most every 50 ms; plus the first and last block.
    RECT bar;
    ::GetClientRect(Item(IDC_PROGRESS_FILE), &bar);
    EXPECT_LE(fileBar, bar.right + 2);
    EXPECT_LE(fileBar, static_cast<int>(elapsed / 30) + 3);
    EXPECT_LE(totalBar, 2);  // an empty range shows nothing to move
    EXPECT_LE(doneText, static_cast<int>(elapsed / 50) + 3);
    EXPECT_LT(fileBar + doneText, 4096 / 4);
    for (HWND h : { Item(IDC_PROGRESS_FILE), Item(IDC_PROGRESS_TOTAL), Item(IDC_TEXT_DONE) })
        ::RemoveWindowSubclass(h, CountSends, 1);
}

namespace {
// The worker's side, seen from the file bar while the window draws a frame.
struct FrameRace {
    std::atomic<bool> bReturned{ false }, drawing{ false };
    bool bReturnedWhileDrawing = false;
};

LRESULT CALLBACK HoldFirstDraw(HWND h, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR data)
{
    auto* race = reinterpret_cast<FrameRace*>(data);
    if (msg == PBM_SETPOS && !race->drawing.exchange(true)) {
        race->bReturnedWhileDrawing = WaitUntil([&] { return race->bReturned.load(); }, 2000);
    }
    return ::DefSubclassProc(h, msg, wp, lp);
}
} // namespace

TEST_F(UpdaterWindow, TheWorkerNeverWaitsForTheWindowAndTheLastStateIsShown)
{
    Report(0, 100 << 10, US_FILE_START, "a.bin");
    FrameRace race;
    ASSERT_TRUE(::SetWindowSubclass(Item(IDC_PROGRESS_FILE), HoldFirstDraw, 1, reinterpret_cast<DWORD_PTR>(&race)));
    std::atomic<bool> aReturned{ false };
    std::thread worker([&] {
        dlg->OnUpdateNotify(30 << 10, 30 << 10, US_PROGRESS, "a.bin");
        aReturned = true;
        // Frame A is drawn while this one comes: it waits for the next frame, the worker does not.
        WaitUntil([&] { return race.drawing.load(); }, 2000);
        dlg->OnUpdateNotify(100 << 10, 100 << 10, US_PROGRESS, "a.bin");  // the last block
        race.bReturned = true;
    });
    // The worker's first report returns before this thread handles any message.
    EXPECT_TRUE(WaitUntil([&] { return aReturned.load(); }, 2000));
    EXPECT_TRUE(PumpUntil([&] { return race.bReturned.load(); }, 4000));
    worker.join();
    Shown();
    ::RemoveWindowSubclass(Item(IDC_PROGRESS_FILE), HoldFirstDraw, 1);
    EXPECT_TRUE(race.bReturnedWhileDrawing);
    EXPECT_EQ(Pos(IDC_PROGRESS_FILE), 100);
    EXPECT_EQ(Text(Item(IDC_TEXT_DONE)), "已经下载:  100 KB");
}

TEST_F(UpdaterWindow, UnknownCodesAndTheInstallingReportChangeNothing)
{
    Report(2048, 4096, US_PROGRESS, "x.bin");
    const std::string line1 = Text(Item(IDC_TEXT_FILE)), line2 = Text(Item(IDC_TEXT_DONE));
    const int filePos = Pos(IDC_PROGRESS_FILE);
    for (int status : std::vector<int>{ 0, 2, 10, 31, 33, US_INSTALLING, US_CONNECTING }) {
        Report(9999, 9999, status, status == US_INSTALLING ? "开始安装更新，请稍候..." : "zz");
        EXPECT_EQ(Text(Item(IDC_TEXT_FILE)), line1) << status;
        EXPECT_EQ(Text(Item(IDC_TEXT_DONE)), line2) << status;
        EXPECT_EQ(Pos(IDC_PROGRESS_FILE), filePos) << status;
        EXPECT_TRUE(::IsWindowEnabled(Item(IDCANCEL))) << status;
        EXPECT_TRUE(::IsWindow(wnd)) << status;
    }
}

TEST_F(UpdaterWindow, AllDownloadedDisablesTheCloseBoxAndCancelledCloses)
{
    Report(0, 0, US_ALL_DOWNLOADED, nullptr);
    EXPECT_FALSE(::IsWindowEnabled(Item(IDCANCEL)));
    Report(0, 0, US_CANCELLED, nullptr);
    EXPECT_FALSE(::IsWindow(wnd));
}

TEST_F(UpdaterWindow, FinishedClosesAndLeavesThePlatformToTheEngine)
{
    std::string before, after;
    ReadBytes(ProgramDir() + "standin-started.txt", before);
    Report(0, 0, US_FINISHED, nullptr);
    EXPECT_FALSE(::IsWindow(wnd));
    Pump(300);
    ReadBytes(ProgramDir() + "standin-started.txt", after);
    EXPECT_EQ(after, before);  // the engine starts it, once, window or not
}

TEST_F(UpdaterWindow, OnlyTheStartTimerStartsTheWorkerAndTheCloseBoxCancels)
{
    ::SendMessageA(wnd, WM_TIMER, 7, 0);
    Pump();
    EXPECT_EQ(dlg->Downloader().GetState(), 0);
    EXPECT_TRUE(::IsWindow(wnd));
    ::SendMessageA(wnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(Item(IDCANCEL)));
    EXPECT_TRUE(dlg->Downloader().CancelRequested());
    EXPECT_FALSE(::IsWindow(wnd));
}

TEST_F(UpdaterWindow, AClosedWindowGetsNoFurtherReports)
{
    std::string before;
    ReadBytes(ProgramDir() + "standin-started.txt", before);
    ::SendMessageA(wnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(::IsWindow(wnd));
    EXPECT_FALSE(dlg->Downloader().CancelRequested());  // a plain close asks no cancel
    // A worker that runs after the window is gone (here with nothing queued)
    // reports nothing to it, and stops before installing: the window's end
    // came first. It never stopped the platform, so it starts none.
    dlg->Downloader().Start();
    EXPECT_TRUE(dlg->StopWorker(5000));
    EXPECT_EQ(dlg->Downloader().GetState(), US_CANCELLED);
    std::string after;
    ReadBytes(ProgramDir() + "standin-started.txt", after);
    EXPECT_EQ(after, before);
}
