// The real updater.exe in scratch installation folders, against the test web
// server, with the platform stand-in: what a user and the vendor would see.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "E2eUtil.h"
#include "testserver.h"

TEST(EndToEnd, NothingToUpdateLeavesTheRunningPlatformAndTheSettingsAlone)
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
    EXPECT_EQ(inst.PlatformStarts(), 1);  // and no second one started beside it
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
                             // One new folder for Windows, named in two letter cases.
                             Entry("MAPS\\more.bin", game.size(), Md5Of(game), server.Url("/files/game.dat")) +
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
    EXPECT_EQ(inst.Read("maps\\more.bin"), game);
    EXPECT_EQ(inst.Read("updater.EX_"), self);
    EXPECT_EQ(inst.Read("updater.exe"), oldSelf);
    EXPECT_FALSE(FileExists(inst.dir / "Update\\game.dat.dtm"));
    EXPECT_TRUE(NothingKeptAside(inst));
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
        notFound.answerDelayMs = 1000;  // the good file, in flight beside it, has arrived by then
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
        EXPECT_EQ(std::string(text), configured ? message : std::string(kBuiltInErrorText));
        EXPECT_FALSE(upd.Ended(300));  // waits for the user
        ::PostMessageA(::GetDlgItem(box, IDOK), BM_CLICK, 0, 0);
        ASSERT_TRUE(upd.Ended(10000));
        EXPECT_EQ(upd.ExitCode(), 0u);
        EXPECT_EQ(inst.Read("good.bin"), "old");
        EXPECT_TRUE(FileExists(inst.dir / "Update\\good.bin.dtm"));  // left for a later run
        EXPECT_EQ(inst.PlatformStarts(), 0);
        EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: failed"));
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
        EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: cancelled"));
    }
}

TEST(EndToEnd, SettingsComeFromTheFileNamedAfterTheExecutable)
{
    // Only the last extension is replaced: game.updater.exe reads game.updater.INI.
    for (const char* exe : { "abc.exe", "game.updater.exe" }) {
        SCOPED_TRACE(exe);
        TestServer server;
        server.ServeFile("/update/update.xml", Listing(""));
        Installation inst(exe);
        inst.Settings(SiteSetting(server));
        // Where a wrong rule would look: a site nobody answers on.
        for (const char* decoy : { "updater.INI", "game.INI", "game.updater.exe.INI" })
            WriteBytes(inst.dir / decoy, "[Download]\r\nsite=127.0.0.1:1\r\n");
        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        ASSERT_TRUE(upd.Ended(20000));
        EXPECT_EQ(upd.ExitCode(), 0u);
        EXPECT_EQ(server.Requests("/update/update.xml"), 1);
        EXPECT_EQ(inst.PlatformStarts(), 1);
        KillStandIns();
    }
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

TEST(EndToEnd, AFailedRunStaysInTheLogThroughTenStartsWithNothingToUpdate)
{
    // Thousands of files up to date: a start with nothing to update must not
    // write a line per file, or the failed run would be renamed away.
    const int kFiles = 3000;
    TestServer server;
    Installation inst;
    std::string entries;
    ::CreateDirectoryA((inst.dir / "data").c_str(), nullptr);
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "data\\file" + std::to_string(100000 + i) + ".bin", bytes = "bytes of " + name;
        WriteBytes(inst.dir / name, bytes);
        entries += Entry(name, bytes.size(), Md5Of(bytes), server.Url("/never/" + std::to_string(i)));
    }
    TestRoute notFound;
    notFound.status = 404;
    notFound.body = "<html><body>gone</body></html>";
    server.Serve("/gone.bin", notFound);
    server.ServeFile("/update/update.xml", Listing(entries + Entry("gone.bin", 10, Md5Of("0123456789"), server.Url("/gone.bin"))));
    inst.Settings(SiteSetting(server));
    const FileMap before = inst.Files();
    {
        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        ExpectFailedRun(upd, inst, before, 0, 60000);
    }
    const std::string failedRun = inst.Log();
    std::string failedLine;
    for (const std::string& line : LogLines(failedRun))
        if (line.find("download gone.bin: failed") != std::string::npos) failedLine = line;
    ASSERT_FALSE(failedLine.empty()) << failedRun;

    server.ServeFile("/update/update.xml", Listing(entries));
    for (int start = 1; start <= 10; ++start) {
        SCOPED_TRACE("start " + std::to_string(start));
        const size_t linesBefore = LogLines(inst.Log()).size();
        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        ASSERT_TRUE(upd.Ended(60000));
        EXPECT_EQ(upd.ExitCode(), 0u);
        EXPECT_EQ(inst.PlatformStarts(), start);
        const std::string log = inst.Log();
        EXPECT_TRUE(LastLineHas(log, "outcome: finished"));
        // One summary line for the files up to date, whatever their number.
        EXPECT_TRUE(HasLine(log, { "entries: 3000 up to date, 0 queued" })) << LastLogLine(log);
        EXPECT_LT(LogLines(log).size(), linesBefore + 40);
        KillStandIns();  // closed by the player: the next start starts it again
    }
    EXPECT_EQ(server.Requests("/gone.bin"), 1);
    // The failed run, whole, in update.log.1 or update.log.
    const std::string older = inst.Read("Update\\update.log.1");
    const std::string kept = (older == "<missing>" ? std::string() : older) + inst.Log();
    EXPECT_NE(kept.find(failedRun), std::string::npos) << "the failed run is no longer in the log";
    EXPECT_TRUE(HasLine(kept, { failedLine }));
    KillStandIns();
}
