// The real updater.exe in scratch installation folders, against the test web
// server, with the platform stand-in: what a user and the vendor would see.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "TestUtil.h"
#include "testserver.h"

namespace {

const char kPlatformTitle[] = "Velmora游戏大厅";

struct Process {
    PROCESS_INFORMATION pi{};
    bool Start(const std::string& exe, const std::string& dir)
    {
        STARTUPINFOA si{};
        si.cb = sizeof(si);
        std::string cmd = "\"" + exe + "\"";
        return ::CreateProcessA(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi) != 0;
    }
    bool Ended(DWORD ms) const { return ::WaitForSingleObject(pi.hProcess, ms) == WAIT_OBJECT_0; }
    DWORD ExitCode() const { DWORD c = 12345; ::GetExitCodeProcess(pi.hProcess, &c); return c; }
    ~Process()
    {
        if (pi.hProcess) {
            if (!Ended(0)) ::TerminateProcess(pi.hProcess, 99);
            ::CloseHandle(pi.hProcess);
            ::CloseHandle(pi.hThread);
        }
    }
};

struct FindData { DWORD pid; std::string cls, title; HWND found; };

BOOL CALLBACK FindProc(HWND h, LPARAM lp)
{
    auto* d = reinterpret_cast<FindData*>(lp);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(h, &pid);
    if (pid != d->pid || !::IsWindowVisible(h)) return TRUE;
    char cls[64] = {}, title[256] = {};
    ::GetClassNameA(h, cls, sizeof(cls));
    ::GetWindowTextA(h, title, sizeof(title));
    if (!d->cls.empty() && d->cls != cls) return TRUE;
    if (d->title != title) return TRUE;
    d->found = h;
    return FALSE;
}

// A visible top-level window of the process with that class and title.
HWND WaitForWindow(const Process& p, const std::string& cls, const std::string& title, DWORD ms = 15000)
{
    for (DWORD waited = 0; waited < ms; waited += 20) {
        FindData d{ p.pi.dwProcessId, cls, title, nullptr };
        ::EnumWindows(FindProc, reinterpret_cast<LPARAM>(&d));
        if (d.found) return d.found;
        if (p.Ended(0)) return nullptr;
        ::Sleep(20);
    }
    return nullptr;
}

// A scratch installation: updater, platform stand-in, settings file.
struct Installation {
    ScratchDir dir{ "inst" };
    std::string exeName = "updater.exe";
    explicit Installation(const std::string& name = "updater.exe") : exeName(name)
    {
        ::CopyFileA((ProgramDir() + "updater.exe").c_str(), (dir / exeName).c_str(), FALSE);
        ::CopyFileA((ProgramDir() + "Quorvanta.exe").c_str(), (dir / "Quorvanta.exe").c_str(), FALSE);
    }
    void Settings(const std::string& ini) const
    {
        std::string stem = exeName.substr(0, exeName.rfind('.'));
        WriteBytes(dir / (stem + ".INI"), ini);
    }
    std::string Read(const std::string& name) const
    {
        std::string b;
        return ReadBytes(dir / name, b) ? b : std::string("<missing>");
    }
    int PlatformStarts() const
    {
        std::string log = Read("standin-started.txt");
        if (log == "<missing>") return 0;
        int n = 0;
        for (char c : log) n += c == '\n';
        return n;
    }
    // Starts the stand-in and waits for its window.
    void StartPlatform(Process& p) const
    {
        ASSERT_TRUE(p.Start(dir / "Quorvanta.exe", dir.Path()));
        ASSERT_NE(WaitForWindow(p, "", kPlatformTitle), nullptr);
    }
    bool Run(Process& p) const { return p.Start(dir / exeName, dir.Path()); }
};

std::string Listing(const std::string& entries)
{
    return "<?xml version=\"1.0\"?><manifest><filelist>" + entries + "</filelist></manifest>";
}

std::string Entry(const std::string& name, size_t size, const std::string& md5, const std::string& url)
{
    return "<file filename=\"" + name + "\" filesize=\"" + std::to_string(size) + "\" fileversion=\"1\" md5=\"" + md5 +
           "\" fileload=\"" + url + "\"/>";
}

std::string SiteSetting(const TestServer& s) { return "[Download]\r\nsite=127.0.0.1:" + std::to_string(s.Port()) + "\r\n"; }

void KillStandIns()
{
    // Ends every running stand-in, found by its window.
    for (int i = 0; i < 10; ++i) {
        HWND h = ::FindWindowA(nullptr, kPlatformTitle);
        if (!h) return;
        DWORD pid = 0;
        ::GetWindowThreadProcessId(h, &pid);
        HANDLE hp = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
        if (hp) { ::TerminateProcess(hp, 0); ::WaitForSingleObject(hp, 5000); ::CloseHandle(hp); }
    }
}

} // namespace

TEST(EndToEnd, NothingToUpdateStartsThePlatformAndLeavesTheSettingsAlone)
{
    TestServer server;
    server.ServeFile("/update/update.xml", Listing(""));
    Installation inst;
    const std::string ini = SiteSetting(server) + "[Setup]\r\nTempDir=Tmp\r\n";
    inst.Settings(ini);
    Process platform;
    inst.StartPlatform(platform);

    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ASSERT_TRUE(upd.Ended(20000));
    EXPECT_EQ(upd.ExitCode(), 0u);
    EXPECT_EQ(server.Requests("/update/update.xml"), 1);
    const std::string target = server.RequestTargets().front();
    EXPECT_EQ(target.rfind("/update/update.xml?=", 0), 0u) << target;
    EXPECT_LE(std::stoi(target.substr(20)), 32767);
    EXPECT_FALSE(platform.Ended(0));  // nothing to replace: the running platform was left alone
    EXPECT_EQ(inst.PlatformStarts(), 2);
    EXPECT_EQ(inst.Read("updater.INI"), ini);
    EXPECT_TRUE(FileExists(inst.dir / "Tmp"));
    EXPECT_FALSE(FileExists(inst.dir / "Update"));
    KillStandIns();
}

TEST(EndToEnd, AnUpdateReplacesFilesWritesTheSideFileAndRestartsThePlatform)
{
    TestServer server;
    Installation inst;
    const std::string game = PatternBytes(150000, 21), data = PatternBytes(5000, 22), self = PatternBytes(40000, 23);
    WriteBytes(inst.dir / "game.dat", "old game");
    const std::string oldSelf = inst.Read("updater.exe");
    server.ServeFile("/files/game.dat", game);
    server.ServeFile("/files/data.bin", data);
    server.ServeFile("/files/updater.exe", self);
    server.ServeFile("/update/update.xml",
                     Listing(Entry("game.dat", game.size(), Md5Of(game), server.Url("/files/game.dat")) +
                             Entry("maps\\data.bin", data.size(), Md5Of(data), server.Url("/files/data.bin")) +
                             Entry("updater.exe", self.size(), Md5Of(self), server.Url("/files/updater.exe"))));
    inst.Settings(SiteSetting(server));
    Process platform;
    inst.StartPlatform(platform);

    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ASSERT_TRUE(upd.Ended(30000));
    EXPECT_EQ(upd.ExitCode(), 0u);
    EXPECT_TRUE(platform.Ended(5000));  // stopped before the first file was written
    EXPECT_EQ(inst.PlatformStarts(), 2); // and started again at the end
    EXPECT_EQ(inst.Read("game.dat"), game);
    EXPECT_EQ(inst.Read("maps\\data.bin"), data);
    EXPECT_EQ(inst.Read("updater.EX_"), self);
    EXPECT_EQ(inst.Read("updater.exe"), oldSelf);
    EXPECT_FALSE(FileExists(inst.dir / "Update\\game.dat.dtm"));
    KillStandIns();
}

TEST(EndToEnd, AFailedTransferShowsTheConfiguredMessageAndInstallsNothing)
{
    for (bool configured : { true, false }) {
        SCOPED_TRACE(configured ? "configured text" : "built-in text");
        TestServer server;
        Installation inst;
        const std::string good = PatternBytes(3000, 31);
        WriteBytes(inst.dir / "good.bin", "old");
        server.ServeFile("/good.bin", good);
        TestRoute notFound;
        notFound.status = 404;
        notFound.body = "<html><head><title>404 Not Found</title></head><body>gone</body></html>";
        notFound.contentType = "text/html";
        server.Serve("/gone.bin", notFound);
        server.ServeFile("/update/update.xml", Listing(Entry("good.bin", good.size(), Md5Of(good), server.Url("/good.bin")) +
                                                       Entry("gone.bin", 10, "x", server.Url("/gone.bin"))));
        const std::string message = "更新没有成功，请稍后再试";
        inst.Settings(SiteSetting(server) + (configured ? "[messages]\r\nErrorMsg=" + message + "\r\n" : ""));

        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        HWND box = WaitForWindow(upd, "#32770", "提示");
        ASSERT_NE(box, nullptr);
        char text[512] = {};
        ::GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
        EXPECT_EQ(std::string(text), configured ? message : std::string("更新失败，请到www.example.com下载最新版本"));
        EXPECT_FALSE(upd.Ended(300));  // waits for the user
        ::PostMessageA(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(upd.Ended(10000));
        EXPECT_EQ(upd.ExitCode(), 0u);
        EXPECT_EQ(inst.Read("good.bin"), "old");
        EXPECT_TRUE(FileExists(inst.dir / "Update\\good.bin.dtm"));  // left for a later run
        EXPECT_EQ(inst.PlatformStarts(), 0);
    }
}

TEST(EndToEnd, ClosingInTheMiddleOfATransferEndsTheProcessPromptly)
{
    for (bool useEscape : { false, true }) {
        SCOPED_TRACE(useEscape ? "Esc" : "close box");
        TestServer server;
        Installation inst;
        TestRoute slow;
        slow.body = PatternBytes(500000, 41);
        slow.stallAfter = 50000;
        slow.stallMs = 60000;
        server.Serve("/slow.bin", slow);
        server.ServeFile("/update/update.xml", Listing(Entry("slow.bin", slow.body.size(), "x", server.Url("/slow.bin"))));
        inst.Settings(SiteSetting(server));

        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        HWND wnd = WaitForWindow(upd, "#32770", "");
        ASSERT_NE(wnd, nullptr);
        RECT rc;
        ::GetWindowRect(wnd, &rc);
        EXPECT_EQ(rc.right - rc.left, 367);
        EXPECT_EQ(rc.bottom - rc.top, 114);
        ASSERT_TRUE(server.WaitForRequests("/slow.bin", 1, 15000));
        ::Sleep(300);  // the first blocks are in; the read is stalled
        if (useEscape) {
            ::PostMessageA(wnd, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
        } else {
            HWND closeBox = ::GetDlgItem(wnd, IDCANCEL);
            RECT bc;
            ::GetWindowRect(closeBox, &bc);
            EXPECT_EQ(bc.right - bc.left, 28);
            EXPECT_EQ(bc.bottom - bc.top, 21);
            ::PostMessageA(closeBox, BM_CLICK, 0, 0);
        }
        ASSERT_TRUE(upd.Ended(3000));
        EXPECT_EQ(upd.ExitCode(), 0u);
        EXPECT_FALSE(FileExists(inst.dir / "slow.bin"));
        EXPECT_EQ(inst.PlatformStarts(), 0);
    }
}

TEST(EndToEnd, SettingsComeFromTheFileNamedAfterTheExecutable)
{
    TestServer server;
    server.ServeFile("/update/update.xml", Listing(""));
    Installation inst("abc.exe");
    inst.Settings(SiteSetting(server));                            // abc.INI
    WriteBytes(inst.dir / "updater.INI", "[Download]\r\nsite=127.0.0.1:1\r\n");
    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ASSERT_TRUE(upd.Ended(20000));
    EXPECT_EQ(upd.ExitCode(), 0u);
    EXPECT_EQ(server.Requests("/update/update.xml"), 1);
    EXPECT_EQ(inst.PlatformStarts(), 1);
    KillStandIns();
}

TEST(EndToEnd, WithoutUsableSettingsTheDefaultsAreUsedAndTheRunStillEnds)
{
    for (bool garbage : { false, true }) {
        SCOPED_TRACE(garbage ? "garbage settings file" : "no settings file");
        Installation inst;
        std::string junk;
        for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
        if (garbage) inst.Settings(junk);
        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        ASSERT_TRUE(upd.Ended(40000));
        EXPECT_EQ(upd.ExitCode(), 0u);
        EXPECT_TRUE(FileExists(inst.dir / "Update"));
        EXPECT_EQ(inst.Read("updater.INI"), garbage ? junk : std::string("<missing>"));  // never written
        EXPECT_EQ(inst.PlatformStarts(), 1);
        KillStandIns();
    }
}
