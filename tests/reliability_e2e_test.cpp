// The real updater.exe where a run could lose or mix up files: the platform
// holding a listed file, a planted journal, two updaters at once, a cancel
// after the platform was stopped, a body that never ends, a full disk, a
// slow flush.
#include <gtest/gtest.h>
#include <windows.h>
#include <sddl.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include "E2eUtil.h"
#include "install/InstallLock.h"
#include "testserver.h"

namespace {

struct Served {
    std::string name, bytes;
};

// Serves the files at /f/<index> and a manifest listing them in order.
void PublishFiles(TestServer& server, const std::vector<Served>& files)
{
    std::string entries;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string path = "/f/" + std::to_string(i);
        server.ServeFile(path, files[i].bytes);
        entries += Entry(files[i].name, files[i].bytes.size(), Md5Of(files[i].bytes), server.Url(path));
    }
    server.ServeFile("/update/update.xml", Listing(entries));
}

// A kept copy left in the temporary folder's first folder of kept copies ("" when none).
std::string FirstKeptCopy(const Installation& inst)
{
    for (const auto& file : inst.TempFiles())
        if (file.first.compare(0, 5, "kept.") == 0 && file.first.find("install.journal") == std::string::npos)
            return inst.dir / ("Update\\" + file.first);
    return std::string();
}

int CountLines(const std::string& log, const std::string& piece)
{
    int n = 0;
    for (const std::string& line : LogLines(log)) n += line.find(piece) != std::string::npos ? 1 : 0;
    return n;
}

// A folder on a tmpfs of a few MiB, mounted for the test's length: a disk
// that fills up. It can be made only under Wine (which runs Unix programs),
// by a user allowed to mount.
class TinyDisk {
public:
    explicit TinyDisk(unsigned mib)
    {
        using ToDos = WCHAR*(CDECL*)(const char*);
        const FARPROC found = ::GetProcAddress(::GetModuleHandleA("kernel32"), "wine_get_dos_file_name");
        ToDos toDos = nullptr;
        static_assert(sizeof(toDos) == sizeof(found), "function pointers");
        std::memcpy(&toDos, &found, sizeof(toDos));
        const std::string tmp = toDos ? DosName(toDos, "/tmp") : std::string();
        if (tmp.empty()) {
            m_why = "not running under Wine";
            return;
        }
        const std::string name = "updater-tinydisk-" + std::to_string(::GetTickCount64()) + "-" + std::to_string(::GetCurrentProcessId());
        m_unix = "/tmp/" + name;
        m_status = tmp + "\\" + name + ".status";
        if (Run("mkdir " + m_unix + " && mount -t tmpfs -o size=" + std::to_string(mib) + "m updater-tinydisk " + m_unix) != 0) {
            m_why = "mount -t tmpfs is not permitted here";
            Run("rmdir " + m_unix);
            return;
        }
        m_mounted = true;
        m_path = tmp + "\\" + name;
    }
    ~TinyDisk()
    {
        if (m_mounted) Run("umount -l " + m_unix + " && rmdir " + m_unix);
    }
    TinyDisk(const TinyDisk&) = delete;
    TinyDisk& operator=(const TinyDisk&) = delete;
    bool Ready() const { return !m_path.empty(); }
    const std::string& Path() const { return m_path; }
    const std::string& Why() const { return m_why; }

private:
    template <class F> static std::string DosName(F toDos, const char* unixPath)
    {
        WCHAR* dos = toDos(unixPath);
        if (!dos) return std::string();
        char path[MAX_PATH] = {};
        ::WideCharToMultiByte(CP_ACP, 0, dos, -1, path, MAX_PATH, nullptr, nullptr);
        ::HeapFree(::GetProcessHeap(), 0, dos);
        return path;
    }
    // A shell command's exit status. Wine neither waits for a Unix program
    // nor passes its exit code on, so the command writes it to a file.
    int Run(const std::string& command) const
    {
        ::DeleteFileA(m_status.c_str());
        const std::string unixStatus = m_unix + ".status";
        std::string line = "/bin/sh -c \"(" + command + ") >/dev/null 2>&1; echo $? > " + unixStatus + ".new && mv " +
                           unixStatus + ".new " + unixStatus + "\"";
        STARTUPINFOA si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        if (!::CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
        ::CloseHandle(pi.hProcess);
        ::CloseHandle(pi.hThread);
        std::string status;
        WaitUntil([&] { return ReadBytes(m_status, status); }, 20000, 20);
        ::DeleteFileA(m_status.c_str());
        return status.empty() ? -1 : std::atoi(status.c_str());
    }

    std::string m_unix, m_status, m_path, m_why;
    bool m_mounted = false;
};

ULONGLONG FreeBytes(const std::string& folder)
{
    ULARGE_INTEGER free{};
    return ::GetDiskFreeSpaceExA(folder.c_str(), &free, nullptr, nullptr) ? free.QuadPart : 0;
}

} // namespace

TEST(Reliability, AFileThePlatformHoldsOpenIsReadAndReplacedWithTheRest)
{
    TestServer server;
    Installation inst;
    const std::vector<Served> files = { { "a.dat", PatternBytes(3000, 201) },
                                        { "settings.cfg", PatternBytes(3000, 202) },
                                        { "z.dat", PatternBytes(3000, 203) } };
    for (const Served& f : files) WriteBytes(inst.dir / f.name, "old " + f.name);
    PublishFiles(server, files);
    inst.Settings(SiteSetting(server));
    ScopedEnv hold("QUORVANTA_STANDIN_HOLD", "settings.cfg");
    Process platform;
    inst.StartPlatform(platform);

    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ASSERT_TRUE(upd.Ended(30000));
    EXPECT_EQ(upd.ExitCode(), 0u);
    EXPECT_TRUE(platform.Ended(0));
    for (const Served& f : files) EXPECT_TRUE(Holds(inst, f.name, f.bytes));
    EXPECT_EQ(inst.PlatformStarts(), 2);
    EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: finished"));
    KillStandIns();
}

// A journal the updater did not write, or must not act on: nothing it names is
// moved, and a journal another updater has open is left exactly as it is.
TEST(Reliability, AJournalThatIsNotThisRunsToActOnMovesNothing)
{
    struct Case {
        const char* what;
        const char* journal;  // <outside> stands for a file beside the installation
        const char* log;      // what the log says of it
        bool setAside, heldOpen;
    };
    const Case cases[] = {
        { "naming a file outside the installation", "V 2\r\nR 1-2-3\r\nA ok.dat\tok\t-\r\nA <outside>\tstolen\t-\r\n",
          "not acted on: it names", true, false },
        { "written by an earlier version", "R 1-2-3\r\nA ok.dat\tok\r\nA user.cfg\tuser\r\n",
          "not acted on: it was written by an earlier version", true, false },
        // As a run would plant it after an unsigned manifest moved the temporary folder.
        { "naming the player's files with other digests",
          "V 2\r\nR 1-2-3\r\nA user.cfg\tuser\t0123456789abcdef0123456789abcdef\r\n"
          "K saves\\slot1.sav\tslot\t0123456789abcdef0123456789abcdef\t-\r\nA updater.INI\tini\t-\r\n",
          "user.cfg is not the file this run put there", false, false },
        { "open in another updater that is installing", "V 2\r\nR 1-2-3\r\nA user.cfg\tuser\t-\r\n",
          "open in another updater", false, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        server.ServeFile("/update/update.xml", Listing(""));
        Installation inst;
        inst.Settings(SiteSetting(server));
        const std::string folderName = inst.dir.Path().substr(inst.dir.Path().rfind('\\') + 1);
        const std::string outside = inst.dir / ("..\\" + folderName + "-outside.txt");
        WriteBytes(outside, "not the updater's");
        WriteBytes(inst.dir / "ok.dat", "installed");
        WriteBytes(inst.dir / "user.cfg", "the player's settings");
        ::CreateDirectoryA((inst.dir / "saves").c_str(), nullptr);
        WriteBytes(inst.dir / "saves\\slot1.sav", "the player's game");
        ::CreateDirectoryA((inst.dir / "Update").c_str(), nullptr);
        std::string journal = c.journal;
        const size_t mark = journal.find("<outside>");
        if (mark != std::string::npos) journal.replace(mark, 9, "..\\" + folderName + "-outside.txt");
        WriteBytes(inst.dir / "Update\\install.journal", journal);
        const FileMap before = inst.Files();
        CScopedHandle held(c.heldOpen ? ::CreateFileA((inst.dir / "Update\\install.journal").c_str(), GENERIC_WRITE,
                                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)
                                      : nullptr);
        ASSERT_EQ(static_cast<bool>(held), c.heldOpen);

        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        if (c.heldOpen) {
            // Nothing may be installed over another updater's installation: the run fails.
            ExpectFailedRun(upd, inst, before);
            EXPECT_EQ(server.Requests("/update/update.xml"), 0);
            held.reset();
        } else {
            ASSERT_TRUE(upd.Ended(20000));
            EXPECT_EQ(upd.ExitCode(), 0u);
            EXPECT_EQ(inst.PlatformStarts(), 1);  // the run went on
            FileMap after = inst.Files();
            after.erase("standin-started.txt");
            EXPECT_TRUE(SameFiles(after, before));
        }
        std::string bytes;
        EXPECT_TRUE(ReadBytes(outside, bytes) && bytes == "not the updater's");
        for (const char* stolen : { "Update\\stolen.dtm", "Update\\user.dtm", "Update\\ok.dtm", "Update\\ini.dtm" })
            EXPECT_FALSE(FileExists(inst.dir / stolen)) << stolen;
        EXPECT_EQ(Holds(inst, "Update\\install.journal.rejected", journal), c.setAside);
        EXPECT_EQ(Holds(inst, "Update\\install.journal", journal), c.heldOpen);
        EXPECT_TRUE(HasLine(inst.Log(), { c.log })) << inst.Log();
        ::DeleteFileA(outside.c_str());
        KillStandIns();
    }
}

TEST(Reliability, TwoUpdatersStartedTogetherMakeOneRun)
{
    TestServer server;
    Installation inst;
    const std::vector<Served> files = { { "a.dat", PatternBytes(200000, 211) }, { "b.dat", PatternBytes(200000, 212) } };
    PublishFiles(server, files);
    inst.Settings(SiteSetting(server));

    Process first, second;
    ASSERT_TRUE(inst.Run(first));
    ASSERT_TRUE(inst.Run(second));
    ASSERT_TRUE(first.Ended(30000));
    ASSERT_TRUE(second.Ended(30000));
    EXPECT_EQ(first.ExitCode(), 0u);
    EXPECT_EQ(second.ExitCode(), 0u);
    for (const Served& f : files) EXPECT_TRUE(Holds(inst, f.name, f.bytes));
    const std::string log = inst.Log();
    EXPECT_EQ(CountLines(log, "another updater is already running"), 1) << log;
    EXPECT_EQ(CountLines(log, "outcome: finished"), 1) << log;
    EXPECT_EQ(server.Requests("/update/update.xml"), 1);
    EXPECT_EQ(inst.PlatformStarts(), 1);
    KillStandIns();
}

// Whoever holds the folder's lock (an updater started through another spelling
// of the folder, or one whose lock this user may not open, as an elevated one's
// or one in another logon session), a second updater logs it and exits at once.
TEST(Reliability, TheLockHoldsWhateverTheFoldersSpellingOrItsAccess)
{
    TestServer server;
    Installation inst;
    TestRoute stalled;  // keeps the first updater in its manifest pass, holding the lock
    stalled.body = Listing("");
    stalled.stallMs = 60000;
    server.Serve("/update/update.xml", stalled);
    inst.Settings(SiteSetting(server));
    std::vector<std::pair<std::string, std::string>> holders = OtherSpellings(inst.dir.Path());
    ASSERT_FALSE(holders.empty()) << "no other spelling of " << inst.dir.Path();
    holders.push_back({ "a lock this user may not open", "" });
    int fetches = 0;
    for (const auto& holder : holders) {
        SCOPED_TRACE(holder.first);
        Process first;
        CScopedHandle denied;
        if (!holder.second.empty()) {
            ASSERT_TRUE(first.Start(holder.second + "\\updater.exe", holder.second));
            ASSERT_TRUE(server.WaitForRequests("/update/update.xml", ++fetches, 15000)) << "the first never ran";
        } else {
            // An empty DACL: the mutex exists and nobody may open it.
            PSECURITY_DESCRIPTOR sd = nullptr;
            ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorA("D:", SDDL_REVISION_1, &sd, nullptr));
            SECURITY_ATTRIBUTES sa{ sizeof(sa), sd, FALSE };
            wchar_t folder[MAX_PATH] = {};
            ::MultiByteToWideChar(CP_ACP, 0, inst.dir.Path().c_str(), -1, folder, MAX_PATH);
            denied.reset(::CreateMutexW(&sa, FALSE, CInstallationLock::NameFor(folder, L"Global\\").c_str()));
            ::LocalFree(sd);
            ASSERT_TRUE(denied);
        }
        const FileMap before = inst.Files();
        Process second;
        ASSERT_TRUE(inst.Run(second));
        if (!second.Ended(10000)) {
            ADD_FAILURE() << "two updaters run for one folder";
            continue;
        }
        EXPECT_EQ(second.ExitCode(), 0u);
        EXPECT_EQ(server.Requests("/update/update.xml"), fetches);
        EXPECT_TRUE(SameFiles(inst.Files(), before));
        EXPECT_TRUE(LastLineHas(inst.Log(), "another updater is already running")) << inst.Log();
        if (first.pi.hProcess) {
            ::TerminateProcess(first.pi.hProcess, 0);
            EXPECT_TRUE(first.Ended(10000));
        }
    }
}

// A kill at each point of an installation's life, then a start with nothing
// to update: the installation is exactly the old one or exactly the new one,
// and a file the player wrote where the run puts one, after the kill, stays.
TEST(Reliability, AKillAtAnyPointLeavesTheOldOrTheNewInstallationAndThePlayersFiles)
{
    struct Case {
        const char* what;
        std::vector<std::pair<const char*, const char*>> hooks;  // of the run that is killed
        const char* recoveryKill;  // then a start killed there during its recovery (null: none)
        bool committed;            // the new installation stands
    };
    const Case cases[] = {
        { "after the plan, before the first move", { { "UPDATER_TEST_KILL_AT", "planned" } }, nullptr, false },
        { "after the last move, before the commit line", { { "UPDATER_TEST_KILL_AT", "moved" } }, nullptr, false },
        { "during the clean-up", { { "UPDATER_TEST_KILL_AT", "tidying" } }, nullptr, true },
        { "during a recovery's rollback", { { "UPDATER_TEST_CRASH_AFTER_MOVES", "4" } }, "rollback", false },
        { "the commit line's flush fails, then a kill during the rollback",
          { { "UPDATER_TEST_FAIL_COMMIT", "1" }, { "UPDATER_TEST_KILL_AT", "rollback" } }, nullptr, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst("updater.exe", kTestBuild);
        WriteBytes(inst.dir / "a.dat", "old a");
        WriteBytes(inst.dir / "b.dat", "old b");
        WriteBytes(inst.dir / "user.cfg", "the player's settings");
        const std::vector<Served> files = { { "a.dat", PatternBytes(3000, 241) },
                                            { "b.dat", PatternBytes(3000, 242) },
                                            { "new\\c.dat", PatternBytes(3000, 243) },
                                            { "d.dat", PatternBytes(3000, 244) } };
        PublishFiles(server, files);
        inst.Settings(SiteSetting(server));
        FileMap expected = inst.Files();
        if (c.committed)
            for (const Served& f : files) expected[f.name] = f.bytes;
        // The test build with these hooks, killed where they say.
        const auto killed = [&inst](const std::vector<std::pair<const char*, const char*>>& hooks) {
            std::vector<std::unique_ptr<ScopedEnv>> set;
            for (const auto& hook : hooks) set.push_back(std::make_unique<ScopedEnv>(hook.first, hook.second));
            Process upd;
            return inst.Run(upd) && upd.Ended(30000) && upd.ExitCode() == 3u;
        };
        ASSERT_TRUE(killed(c.hooks)) << LastLogLine(inst.Log());
        if (c.recoveryKill) {
            ASSERT_TRUE(killed({ { "UPDATER_TEST_KILL_AT", c.recoveryKill } })) << inst.Log();
        }
        // Where the run put d.dat, or where it had not yet.
        WriteBytes(inst.dir / "d.dat", "the player's own d.dat");
        expected["d.dat"] = "the player's own d.dat";
        // A kept copy that cannot be deleted (a library some program still maps) blocks nothing.
        const std::string held = c.committed ? FirstKeptCopy(inst) : std::string();
        CScopedHandle holding(held.empty() ? nullptr
                                           : ::CreateFileA(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                           OPEN_EXISTING, 0, nullptr));
        ASSERT_EQ(static_cast<bool>(holding), c.committed) << "no kept copy was left to hold";
        server.ServeFile("/update/update.xml", Listing(""));

        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        if (!upd.Ended(30000)) {
            ADD_FAILURE() << "the run did not end; box: " << DismissFailureBox(upd, 1000) << "; " << inst.Log();
            continue;
        }
        EXPECT_EQ(upd.ExitCode(), 0u);
        FileMap after = inst.Files();
        after.erase("standin-started.txt");
        EXPECT_TRUE(SameFiles(after, expected));
        EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: finished"));
        KillStandIns();
        if (!c.committed) {
            EXPECT_TRUE(HasLine(inst.Log(), { "d.dat is not the file this run put there" })) << inst.Log();
            EXPECT_TRUE(NothingKeptAside(inst));
            continue;
        }
        // Once nothing holds it, a later start deletes what was left.
        holding.reset();
        Process again;
        ASSERT_TRUE(inst.Run(again));
        ASSERT_TRUE(again.Ended(30000));
        EXPECT_TRUE(NothingKeptAside(inst));
        EXPECT_TRUE(HasLine(inst.Log(), { "kept copies an earlier installation left were deleted" })) << inst.Log();
        KillStandIns();
    }
}

TEST(Reliability, ACancelAfterThePlatformWasStoppedStartsItAgain)
{
    struct Case {
        const char* what;
        bool stalled;        // the read is stuck when the player cancels; otherwise bytes keep coming
        const char* slowStart;  // the platform's start after the cancel takes this long (ms), in the test build
    };
    const Case cases[] = {
        { "a stalled read", true, nullptr },
        // The worker sees the cancel itself and starts the platform: the end of the program must wait for it.
        { "a flowing transfer, a slow platform start", false, "2500" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedEnv slowStart("UPDATER_TEST_RESTART_DELAY_MS", c.slowStart ? c.slowStart : "");
        TestServer server;
        Installation inst("updater.exe", c.slowStart ? kTestBuild : "updater.exe");
        TestRoute route;
        if (c.stalled) {
            route.body = PatternBytes(300000, 221);
            route.stallAfter = 40000;
            route.stallMs = 60000;  // cut short when the server goes
        } else {
            route.body = PatternBytes(3000000, 222);
            route.chunkBytes = 1500;  // two thousand pieces, a few milliseconds apart
        }
        server.Serve("/slow.dat", route);
        server.ServeFile("/update/update.xml", Listing(Entry("slow.dat", route.body.size(), Md5Of(route.body), server.Url("/slow.dat"))));
        inst.Settings(SiteSetting(server));
        WriteBytes(inst.dir / "slow.dat", "old");
        const FileMap before = inst.Files();
        Process platform;
        inst.StartPlatform(platform);

        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        HWND wnd = WaitForWindow(upd, "#32770", "");
        ASSERT_NE(wnd, nullptr);
        ASSERT_TRUE(platform.Ended(20000)) << "the platform was never stopped";
        // The close box, as the player presses it.
        ::PostMessageA(wnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(wnd, IDCANCEL)));
        ASSERT_TRUE(upd.Ended(20000));
        EXPECT_EQ(upd.ExitCode(), 0u);
        EXPECT_EQ(inst.PlatformStarts(), 2);  // ours, then the updater's after the cancel
        FileMap after = inst.Files();
        after.erase("standin-started.txt");
        FileMap expected = before;
        expected.erase("standin-started.txt");
        EXPECT_TRUE(SameFiles(after, expected));
        EXPECT_TRUE(HasLine(inst.Log(), { "platform: started again" })) << inst.Log();
        KillStandIns();
    }
}

TEST(Reliability, ABodyThatNeverEndsFailsSoonHavingWrittenLittle)
{
    const size_t kListed = 100000;
    struct Case {
        const char* what;
        bool sendLength;
        long long announced;
    };
    const Case cases[] = {
        { "no length, the body runs on", false, -1 },
        { "a length of 4000000000", true, 4000000000ll },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TestServer server;
        Installation inst;
        TestRoute route;
        route.body = PatternBytes(64u << 20, 231);  // far more than anyone should write
        route.sendLength = c.sendLength;
        route.announcedLength = c.announced;
        server.Serve("/big.dat", route);
        server.ServeFile("/update/update.xml",
                         Listing(Entry("big.dat", kListed, Md5Of(route.body.substr(0, kListed)), server.Url("/big.dat"))));
        inst.Settings(SiteSetting(server));
        const FileMap before = inst.Files();

        Process upd;
        ASSERT_TRUE(inst.Run(upd));
        ExpectFailedRun(upd, inst, before, 0, 20000);
        std::string partial;
        if (ReadBytes(inst.dir / "Update\\big.dat.dtm", partial)) { EXPECT_LE(partial.size(), kListed); }
        EXPECT_TRUE(HasLine(inst.Log(), { "big.dat", c.sendLength ? "announces" : "longer than" })) << inst.Log();
        // The refused answer's connection is let go at once, not read to its end
        // (what the connection's buffers took is all the server could send).
        EXPECT_LT(server.BodyBytesSent("/big.dat"), 32ull << 20);
    }
}

TEST(Reliability, AFullDiskLeavesNoPartialDownload)
{
    TinyDisk disk(8);
    if (!disk.Ready()) GTEST_SKIP() << "no small disk to fill: " << disk.Why();
    ScopedEnv temp("TMP", disk.Path());  // the scratch installation is made on it
    TestServer server;
    Installation inst;
    const std::string bytes = PatternBytes(2u << 20, 241);
    server.ServeFile("/big.dat", bytes);
    server.ServeFile("/update/update.xml", Listing(Entry("big.dat", bytes.size(), Md5Of(bytes), server.Url("/big.dat"))));
    inst.Settings(SiteSetting(server));
    // Room for the run's log, not for the download.
    const ULONGLONG room = FreeBytes(disk.Path());
    ASSERT_GT(room, 512u * 1024);
    ASSERT_TRUE(WriteBytes(disk.Path() + "\\filler", std::string(static_cast<size_t>(room - 256 * 1024), 'f')));
    const ULONGLONG freeBefore = FreeBytes(disk.Path());
    const FileMap before = inst.Files();

    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ExpectFailedRun(upd, inst, before);
    EXPECT_FALSE(FileExists(inst.dir / "Update\\big.dat.dtm"));
    EXPECT_TRUE(HasLine(inst.Log(), { "big.dat", "the disk is full" })) << inst.Log();
    // What the download took is free again (the log took a little).
    EXPECT_GT(FreeBytes(disk.Path()) + 64 * 1024, freeBefore);
}

TEST(Reliability, ASlowFinalFlushIsNotAStall)
{
    ScopedEnv stallLimit("UPDATER_STALL_TIMEOUT_MS", "1000");
    ScopedEnv slowFlush("UPDATER_TEST_SLOW_FLUSH_MS", "3000");  // slow media
    TestServer server;
    Installation inst("updater.exe", kTestBuild);
    const std::string bytes = PatternBytes(300000, 251);
    server.ServeFile("/file.dat", bytes);
    server.ServeFile("/update/update.xml", Listing(Entry("file.dat", bytes.size(), Md5Of(bytes), server.Url("/file.dat"))));
    inst.Settings(SiteSetting(server));

    Process upd;
    ASSERT_TRUE(inst.Run(upd));
    ASSERT_TRUE(upd.Ended(30000));
    EXPECT_EQ(upd.ExitCode(), 0u);
    EXPECT_TRUE(Holds(inst, "file.dat", bytes));
    EXPECT_FALSE(HasLine(inst.Log(), { "nothing received" })) << inst.Log();
    EXPECT_TRUE(LastLineHas(inst.Log(), "outcome: finished"));
    KillStandIns();
}
