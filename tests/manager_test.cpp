// The download manager end to end against the test web server: queue rules,
// the worker's events, the transfer's checks and the installation.
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include "DownloadManager.h"
#include "TestUtil.h"
#include "testserver.h"
#include "afxinet.h"
#include "support/KeptThreads.h"
#include "transfer/EarlyPatch.h"
#include "transfer/PatchParts.h"
#include "transfer/TransferPool.h"

namespace {

struct UpdateRun {
    ScratchDir app{ "app" };
    std::string temp = app / "Update";
    RecordingNotify sink;
    CDownloadManager manager;
    TestServer server;

    UpdateRun() { EXPECT_TRUE(manager.Init(&sink, server.BaseUrl().c_str(), temp.c_str(), (app.Path() + "\\").c_str())); }
    // Queues name, listed as exactly these bytes.
    void Add(const std::string& name, const std::string& path, const std::string& listed)
    {
        ASSERT_TRUE(manager.AddTask(name.c_str(), server.Url(path).c_str(), nullptr, static_cast<UINT32>(listed.size()),
                                    Md5Of(listed).c_str()));
    }
    // Starts the worker and waits until it has ended.
    void Go()
    {
        manager.Start();
        ASSERT_TRUE(sink.WaitForEnd(20000));
        ASSERT_TRUE(manager.StopWorker(20000));
    }
    std::string Installed(const std::string& name) const
    {
        std::string bytes;
        return ReadBytes(app / name, bytes) ? bytes : std::string("<missing>");
    }
};

std::vector<int> Without(const std::vector<int>& statuses, int drop)
{
    std::vector<int> out;
    for (int s : statuses)
        if (s != drop) out.push_back(s);
    return out;
}

} // namespace

TEST(DownloadManager, InitNormalisesTheBaseUrlAndMakesOneFolderLevel)
{
    ScratchDir dir;
    RecordingNotify sink;
    {
        CDownloadManager m;
        EXPECT_FALSE(m.Init(nullptr, "http://h/update/", (dir / "T").c_str(), dir.Path().c_str()));
        EXPECT_FALSE(FileExists(dir / "T"));
        EXPECT_FALSE(m.HasSession());
    }
    struct Case { const char* in; const char* out; } cases[] = {
        { "http://h/update", "http://h/update/" }, { "http://h/update/", "http://h/update/" }, { "", "/" } };
    for (const Case& c : cases) {
        CDownloadManager m;
        EXPECT_TRUE(m.Init(&sink, c.in, (dir / "T").c_str(), dir.Path().c_str()));
        EXPECT_STREQ(m.GetBaseUrl(), c.out);
    }
    EXPECT_TRUE(::GetFileAttributesA((dir / "T").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    CDownloadManager deep;
    deep.Init(&sink, "x", (dir / "a\\b").c_str(), dir.Path().c_str());
    EXPECT_FALSE(FileExists(dir / "a"));  // one level only
}

TEST(DownloadManager, AddTaskNumbersTasksAndRefusesWhatDoesNotFit)
{
    ScratchDir dir;
    RecordingNotify sink;
    CDownloadManager m;
    m.Init(&sink, "http://h/", (dir / "T").c_str(), dir.Path().c_str());
    const char* md5 = "0cc175b9c0f1b6a831c399e269772661";
    EXPECT_FALSE(m.AddTask(nullptr, "http://h/a", nullptr, 1, md5));
    EXPECT_FALSE(m.AddTask("a.txt", "http://h/a", nullptr, 1, nullptr));  // nothing would check its bytes
    EXPECT_TRUE(m.AddTask("a.txt", "http://h/a", nullptr, 1, md5));
    EXPECT_TRUE(m.AddTask("shown", "http://h/b", "local.bin", 1, md5));
    const std::string name31(31, 'n'), name32(32, 'n');
    const std::string url255 = "http://h/" + std::string(246, 'u'), url256 = url255 + "u";
    EXPECT_FALSE(m.AddTask(name32.c_str(), "http://h/x", nullptr, 1, md5));
    EXPECT_FALSE(m.AddTask("ok", "http://h/x", name32.c_str(), 1, md5));
    EXPECT_FALSE(m.AddTask("ok", url256.c_str(), nullptr, 1, md5));
    EXPECT_TRUE(m.AddTask(name31.c_str(), url255.c_str(), nullptr, 1, md5));
    ASSERT_EQ(m.GetTaskCount(), 3);
    EXPECT_EQ(m.GetTask(0)->nId, 1);
    EXPECT_STREQ(m.GetTask(0)->szLocalName, "a.txt");
    EXPECT_EQ(m.GetTask(1)->nId, 2);
    EXPECT_STREQ(m.GetTask(1)->szName, "shown");
    EXPECT_STREQ(m.GetTask(1)->szLocalName, "local.bin");
    EXPECT_EQ(m.GetTask(2)->nId, 3);  // refused tasks used no id
    EXPECT_EQ(std::string(m.GetTask(2)->szUrl), url255);
    EXPECT_FALSE(m.GetTask(2)->bDone);
    m.ClearTasks();
    EXPECT_EQ(m.GetTaskCount(), 0);
    EXPECT_TRUE(m.AddTask("again", "http://h/a", nullptr, 1, md5));
    EXPECT_EQ(m.GetTask(0)->nId, 4);
}

TEST(DownloadManager, EmptyQueueRunsStraightToTheEnd)
{
    UpdateRun r;
    EXPECT_EQ(r.manager.GetState(), 0);
    r.Go();
    EXPECT_EQ(r.sink.Statuses(), (std::vector<int>{ US_ALL_DOWNLOADED, US_INSTALLING, US_FINISHED }));
    EXPECT_EQ(r.sink.Events()[1].text, "开始安装更新，请稍候...");
    EXPECT_EQ(r.manager.GetState(), US_ALL_DOWNLOADED);
    EXPECT_TRUE(r.server.RequestTargets().empty());
    // Nothing to install needs no journal, even where the temporary folder could not be made.
    ScratchDir app;
    RecordingNotify sink;
    CDownloadManager m;
    m.Init(&sink, "http://h/", (app / "no\\such").c_str(), app.Path().c_str());
    m.Start();
    ASSERT_TRUE(sink.WaitForEnd(20000));
    EXPECT_EQ(sink.Statuses().back(), US_FINISHED);
}

TEST(DownloadManager, TwoFilesAreDownloadedReportedAndInstalled)
{
    UpdateRun r;
    const std::string a = PatternBytes(20000, 1), b = PatternBytes(30, 2);
    r.server.ServeFile("/f/a.bin", a);
    r.server.ServeFile("/f/b.txt", b);
    WriteBytes(r.app / "a.bin", "old contents of a");
    r.Add("a.bin", "/f/a.bin", a);
    r.Add("b.txt", "/f/b.txt", b);
    r.Go();

    const std::vector<Event> ev = r.sink.Events();
    EXPECT_EQ(r.sink.Statuses(), (std::vector<int>{ US_CONNECTING, US_FILE_START, US_PROGRESS, US_PROGRESS, US_PROGRESS,
                                                    US_FILE_DONE, US_CONNECTING, US_FILE_START, US_PROGRESS, US_FILE_DONE,
                                                    US_ALL_DOWNLOADED, US_INSTALLING, US_FINISHED }));
    EXPECT_EQ(ev[1].total, 20000u);
    EXPECT_EQ(ev[1].text, "a.bin");
    EXPECT_EQ(ev[2].done, 8192u);
    EXPECT_EQ(ev[4].done, 20000u);
    EXPECT_GE(ev[4].total, 20000u);  // the second file, in flight beside it, may have arrived
    EXPECT_EQ(ev[7].total, 30u);
    EXPECT_EQ(ev[8].done, 30u);      // per file, restarts
    EXPECT_EQ(ev[8].total, 20030u);  // over the run, keeps growing
    EXPECT_FALSE(ev[5].hasText && ev[5].text != "a.bin");

    EXPECT_EQ(r.Installed("a.bin"), a);
    EXPECT_EQ(r.Installed("b.txt"), b);
    EXPECT_FALSE(FileExists(r.temp + "\\a.bin.dtm"));
    EXPECT_EQ(r.manager.GetTaskCount(), 0);  // emptied after success
    EXPECT_EQ(r.manager.GetState(), US_ALL_DOWNLOADED);
    EXPECT_NE(r.server.LastRequestHeaders("/f/a.bin").find("GET"), std::string::npos);
}

TEST(DownloadManager, FirstBlockChecksRejectShortAnswersAndErrorPages)
{
    struct Case { std::string body; bool accepted; } cases[] = {
        { "", false },
        { std::string(21, 'x'), false },
        { std::string(22, 'x'), true },
        { "<html><body>not found</body></html>", false },
        { "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\">", false },
        { "<HTML><body>upper case is content</body></HTML>", true },
        { " <html> a leading space makes it content", true },
        { "<!doctype html public is lower case here", true },
    };
    for (const Case& c : cases) {
        UpdateRun r;
        r.server.ServeFile("/x", c.body);
        r.Add("x.dat", "/x", c.body);
        r.Go();
        const std::vector<int> st = r.sink.Statuses();
        SCOPED_TRACE(c.body);
        if (c.accepted) {
            EXPECT_EQ(st.back(), US_FINISHED);
            EXPECT_EQ(r.Installed("x.dat"), c.body);
        } else {
            EXPECT_EQ(st, (std::vector<int>{ US_CONNECTING, US_FAILED }));
            EXPECT_EQ(r.sink.Events().back().text, "下载 x.dat 文件失败");
            EXPECT_EQ(r.manager.GetState(), US_FAILED);
            EXPECT_FALSE(FileExists(r.temp + "\\x.dat.dtm"));
            EXPECT_FALSE(FileExists(r.app / "x.dat"));
        }
    }
}

TEST(DownloadManager, HttpErrorStatusFailsWhateverTheBody)
{
    for (int status : { 404, 500 }) {
        UpdateRun r;
        TestRoute route;
        route.status = status;
        route.body = PatternBytes(400);  // passes the first-block checks
        route.contentType = "text/plain";
        r.server.Serve("/gone", route);
        r.Add("gone.bin", "/gone", route.body);
        r.Go();
        EXPECT_EQ(r.sink.Statuses(), (std::vector<int>{ US_CONNECTING, US_FAILED })) << status;
        EXPECT_EQ(r.sink.Events().back().text, "下载 gone.bin 文件失败");
        EXPECT_FALSE(FileExists(r.app / "gone.bin"));
    }
}

TEST(DownloadManager, ADownloadIsExactlyTheListedSize)
{
    const std::string body = PatternBytes(50000, 3);
    struct Case {
        const char* what;
        bool sendLength;
        long long announced;
        size_t listed;
        bool accepted;
    };
    const Case cases[] = {
        { "no length announced, the listed size", false, -1, 50000, true },
        { "another length announced", true, 50001, 50000, false },
        { "no length announced, longer than listed", false, -1, 20000, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpdateRun r;
        TestRoute route;
        route.body = body;
        route.sendLength = c.sendLength;
        route.announcedLength = c.announced;
        route.chunkBytes = 3000;
        r.server.Serve("/f", route);
        r.Add("f.bin", "/f", body.substr(0, c.listed));
        r.Go();
        std::string partial;
        const bool written = ReadBytes(r.temp + "\\f.bin.dtm", partial);
        if (c.accepted) {
            EXPECT_EQ(r.sink.Statuses().back(), US_FINISHED);
            EXPECT_EQ(r.sink.Events()[1].total, c.listed);  // the bar's size is the listed one
            EXPECT_EQ(r.Installed("f.bin"), body);
            continue;
        }
        EXPECT_EQ(r.sink.Statuses().back(), US_FAILED);
        EXPECT_EQ(r.sink.Events().back().text, "下载 f.bin 文件失败");
        EXPECT_FALSE(FileExists(r.app / "f.bin"));
        if (c.sendLength) EXPECT_FALSE(written) << "written before the length was judged";
        else EXPECT_LE(partial.size(), c.listed) << "wrote past the listed size";
    }
}

TEST(DownloadManager, BodyShorterThanAnnouncedFailsAndKeepsTheQueue)
{
    UpdateRun r;
    const std::string good = PatternBytes(100, 4);
    r.server.ServeFile("/good", good);
    TestRoute route;
    route.body = PatternBytes(20000, 5);
    route.sendBytes = 9000;
    route.answerDelayMs = 500;  // the good file, in flight beside it, has arrived by then
    r.server.Serve("/short", route);
    r.Add("good.bin", "/good", good);
    r.Add("short.bin", "/short", route.body);
    r.Go();
    const std::vector<Event> ev = r.sink.Events();
    EXPECT_EQ(ev.back().status, US_FAILED);
    EXPECT_NE(ev.back().text.find_first_not_of(' '), std::string::npos);
    EXPECT_EQ(ev.back().text.find("文件失败"), std::string::npos);  // an internet error, not a rejection
    EXPECT_EQ(r.manager.GetState(), US_FAILED);
    ASSERT_EQ(r.manager.GetTaskCount(), 2);
    EXPECT_TRUE(r.manager.GetTask(0)->bDone);
    EXPECT_FALSE(r.manager.GetTask(1)->bDone);
    std::string partial;
    ASSERT_TRUE(ReadBytes(r.temp + "\\short.bin.dtm", partial));
    EXPECT_EQ(partial, route.body.substr(0, 9000));
    EXPECT_TRUE(FileExists(r.temp + "\\good.bin.dtm"));  // nothing installed
    EXPECT_FALSE(FileExists(r.app / "good.bin"));
}

TEST(KeptThreads, AJobNeverWaitsForAnotherAndThreadsAreUsedAgain)
{
    // Jobs that each wait until all have started: queued behind one another, they would never end.
    const int kJobs = 40;  // more than the tests before this one keep
    std::mutex lock;
    std::condition_variable changed;
    int started = 0, ended = 0;
    std::set<DWORD> threads;
    auto runAll = [&] {
        started = ended = 0;
        for (int i = 0; i < kJobs; ++i)
            KeptThreads::Run([&] {
                std::unique_lock<std::mutex> held(lock);
                threads.insert(::GetCurrentThreadId());
                ++started;
                changed.notify_all();
                changed.wait_for(held, std::chrono::seconds(10), [&] { return started == kJobs; });
                ++ended;
                changed.notify_all();
            });
        std::unique_lock<std::mutex> held(lock);
        return changed.wait_for(held, std::chrono::seconds(20), [&] { return ended == kJobs; }) && started == kJobs;
    };
    ASSERT_TRUE(runAll());
    const size_t first = threads.size();
    EXPECT_EQ(first, static_cast<size_t>(kJobs));
    // The same number again, once the first ones wait: on the same threads, none new.
    for (int i = 0; i < 100 && KeptThreads::Waiting() < static_cast<unsigned>(kJobs); ++i) ::Sleep(10);
    ASSERT_TRUE(runAll());
    EXPECT_EQ(threads.size(), first);
}

TEST(DownloadManager, ASurveyMadeAheadCountsOnlyForItsFileAndACopyUnchangedSinceItBegan)
{
    ScratchDir dir;
    ASSERT_TRUE(WriteBytes(dir / "big.dat", PatternBytes(3u << 20, 71)));
    DownloadTask task{}, other{};
    std::strcpy(task.szLocalName, "big.dat");
    std::strcpy(task.szChunksUrl, "http://127.0.0.1:9/big.dat.idx");
    task.dwSize = 3u << 20;
    task.bChunks = TRUE;
    other = task;
    // Without a session the index cannot be fetched: the survey fails as the
    // patch itself would have, and the patch is told so, once.
    {
        CEarlyPatch early(nullptr, dir.Path(), task);
        EXPECT_EQ(early.Take(other), nullptr);
        EXPECT_THROW(early.Take(task), CInternetException);
        EXPECT_EQ(early.Take(task), nullptr);
    }
    // A copy written since the survey began (as a running platform may) is
    // surveyed again by the patch: what the survey found is not used.
    {
        CEarlyPatch early(nullptr, dir.Path(), task);
        HANDLE h = ::CreateFileA((dir / "big.dat").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        FILETIME written;
        ::GetSystemTimeAsFileTime(&written);
        written.dwHighDateTime += 1;  // well after the survey began
        EXPECT_TRUE(::SetFileTime(h, nullptr, nullptr, &written));
        ::CloseHandle(h);
        EXPECT_EQ(early.Take(task), nullptr);
    }
}

TEST(DownloadManager, FilesInFlightArriveWholeAndAreReportedOneAtATimeInManifestOrder)
{
    // From afar, so that several files are in flight at once; sizes from one
    // block to several digest pieces.
    UpdateRun r;
    r.server.SetLatency(40);
    std::vector<std::string> names, bodies;
    UINT64 total = 0;
    for (int i = 0; i < 24; ++i) {
        names.push_back("f" + std::to_string(i) + ".bin");
        bodies.push_back(PatternBytes(i % 4 == 0 ? 200000 + i : 3000 + 97 * i, 40 + i));
        total += bodies.back().size();
        r.server.ServeFile("/" + names.back(), bodies.back());
        r.Add(names.back(), "/" + names.back(), bodies.back());
    }
    r.Go();
    ASSERT_EQ(r.sink.Statuses().back(), US_FINISHED);
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(r.Installed(names[i]), bodies[i]) << names[i];
    // Connecting, started and done once each per file, in order; progress only
    // for the file started last, growing within it; the run's bytes never go down.
    size_t file = 0;
    int expect = US_CONNECTING;
    UINT32 runBytes = 0, fileBytes = 0;
    for (const Event& e : r.sink.Events()) {
        if (e.status >= US_ALL_DOWNLOADED) break;
        ASSERT_LT(file, names.size());
        if (e.status == US_PROGRESS) {
            EXPECT_EQ(expect, US_FILE_DONE) << "progress before " << names[file] << " started";
            EXPECT_EQ(e.text, names[file]);
            EXPECT_GE(e.done, fileBytes);
            EXPECT_GE(e.total, runBytes);
            fileBytes = e.done;
            runBytes = e.total;
            continue;
        }
        ASSERT_EQ(e.status, expect) << names[file];
        if (e.status != US_CONNECTING) { EXPECT_EQ(e.text, names[file]); }
        if (e.status == US_FILE_DONE) { EXPECT_EQ(fileBytes, bodies[file].size()) << names[file]; }
        expect = e.status == US_CONNECTING ? US_FILE_START : e.status == US_FILE_START ? US_FILE_DONE : US_CONNECTING;
        if (e.status == US_FILE_DONE) ++file, fileBytes = 0;
    }
    EXPECT_EQ(file, names.size());
    EXPECT_EQ(runBytes, total);
}

TEST(DownloadManager, TheFirstFailureInFlightFailsTheRunOnceAndKeepsWhatArrived)
{
    UpdateRun r;
    r.server.SetLatency(40);
    // The wrong bytes are taken up only once a transfer is free: the 404 comes first.
    const int width = static_cast<int>(kTransfersInFlight);
    const int count = width + 4, missing = 5, wrong = width + 1;
    for (int i = 0; i < count; ++i) {
        const std::string name = "g" + std::to_string(i) + ".bin", body = PatternBytes(5000 + i, 60 + i);
        if (i != missing) r.server.ServeFile("/" + name, i == wrong ? PatternBytes(5000 + i, 99) : body);
        r.Add(name, "/" + name, body);
    }
    r.Go();
    const std::vector<int> statuses = r.sink.Statuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), US_FAILED), 1);
    EXPECT_EQ(statuses.back(), US_FAILED);
    EXPECT_EQ(r.sink.Events().back().text, "下载 g" + std::to_string(missing) + ".bin 文件失败");
    for (int i = 0; i < count; ++i) {
        const std::string name = "g" + std::to_string(i) + ".bin";
        EXPECT_FALSE(FileExists(r.app / name)) << name;  // nothing installed
        // What was reported done before the failure stays for the next run.
        if (r.manager.GetTask(i)->bDone) { EXPECT_TRUE(FileExists(r.temp + "\\" + name + ".dtm")) << name; }
    }
    EXPECT_TRUE(r.manager.GetTask(0)->bDone);
    EXPECT_FALSE(r.manager.GetTask(missing)->bDone);
}

TEST(DownloadManager, CancelStopsEveryTransferInFlightAndOpensNoFurtherFile)
{
    // One file arrives while the others, in flight beside it, stall; more are
    // queued than the transfers in flight can hold.
    UpdateRun r;
    r.server.ServeFile("/one", PatternBytes(5000, 6));
    r.Add("one.bin", "/one", PatternBytes(5000, 6));
    TestRoute stalled;
    stalled.body = PatternBytes(50000, 7);
    stalled.stallAfter = 1000;
    stalled.stallMs = 2000;
    const int others = static_cast<int>(kTransfersInFlight) + 1;
    for (int i = 0; i < others; ++i) {
        r.server.Serve("/s" + std::to_string(i), stalled);
        r.Add("s" + std::to_string(i) + ".bin", "/s" + std::to_string(i), stalled.body);
    }
    r.sink.onEvent = [&](const Event& e) { if (e.status == US_FILE_DONE) r.manager.Cancel(); };
    r.manager.Start();
    // Closing the session cuts the stalled reads where the system lets it (Wine
    // may let a read blocked in the socket run to the end of its stall).
    ASSERT_TRUE(r.sink.WaitForEnd(20000));
    ASSERT_TRUE(r.manager.StopWorker(20000));
    EXPECT_EQ(Without(r.sink.Statuses(), US_PROGRESS),
              (std::vector<int>{ US_CONNECTING, US_FILE_START, US_FILE_DONE, US_CANCELLED }));
    EXPECT_EQ(r.server.Requests("/s" + std::to_string(others - 1)), 0);  // never taken up
    EXPECT_EQ(r.manager.GetState(), US_CANCELLED);
    ASSERT_EQ(r.manager.GetTaskCount(), 1 + others);
    EXPECT_TRUE(r.manager.GetTask(0)->bDone);
    EXPECT_FALSE(r.manager.GetTask(1)->bDone);
    EXPECT_FALSE(FileExists(r.app / "one.bin"));
    EXPECT_TRUE(FileExists(r.temp + "\\one.bin.dtm"));
}

TEST(DownloadManager, CancelDuringTheReadLoopStopsAfterTheCurrentBlock)
{
    UpdateRun r;
    const std::string body = PatternBytes(200000, 8);
    r.server.ServeFile("/big", body);
    r.Add("big.bin", "/big", body);
    r.sink.onEvent = [&](const Event& e) { if (e.status == US_PROGRESS && e.done >= 16384) r.manager.Cancel(); };
    r.Go();
    const std::vector<Event> ev = r.sink.Events();
    EXPECT_EQ(ev.back().status, US_CANCELLED);
    EXPECT_EQ(ev[ev.size() - 2].done, 16384u);  // no block after the one that saw the request
    std::string partial;
    ASSERT_TRUE(ReadBytes(r.temp + "\\big.bin.dtm", partial));
    EXPECT_EQ(partial, body.substr(0, 16384));
    EXPECT_FALSE(r.manager.GetTask(0)->bDone);
}

TEST(DownloadManager, StopWorkerSilencesReportsAndNeverHangsOnAStalledRead)
{
    auto server = std::make_unique<TestServer>();
    ScratchDir app;
    RecordingNotify sink;
    CDownloadManager manager;
    manager.Init(&sink, server->BaseUrl().c_str(), (app / "Update").c_str(), app.Path().c_str());
    TestRoute route;
    route.body = PatternBytes(100000, 9);
    route.stallAfter = 20000;
    route.stallMs = 60000;
    server->Serve("/stall", route);
    manager.AddTask("stall.bin", server->Url("/stall").c_str(), nullptr, 100000, Md5Of(route.body).c_str());
    std::atomic<int> progress{ 0 };
    sink.onEvent = [&](const Event& e) { if (e.status == US_PROGRESS) ++progress; };
    manager.Start();
    ASSERT_TRUE(WaitUntil([&] { return progress >= 1; }, 10000));
    const size_t before = sink.Events().size();
    // Where closing the handle does not end a blocked read (Wine), the wait
    // gives up at its limit instead of hanging; the program then ends itself.
    const bool ended = manager.StopWorker(500);
    if (!ended) {
        server.reset();  // the connection drops: the read returns and the worker ends
        EXPECT_TRUE(manager.StopWorker(10000));
    }
    EXPECT_EQ(sink.Events().size(), before);  // detached: nothing more was reported
    // Whether the dropped connection ends the read with an error or with the rest
    // of the body, the detached run ends without installing anything.
    EXPECT_TRUE(manager.GetState() == US_FAILED || manager.GetState() == US_CANCELLED) << manager.GetState();
    EXPECT_FALSE(FileExists(app / "stall.bin"));
}

TEST(DownloadManager, FolderNamesAreCreatedUnderBothFolders)
{
    UpdateRun r;
    const std::string body = PatternBytes(1000, 10);
    r.server.ServeFile("/deep", body);
    r.Add("data\\maps\\m1.map", "/deep", body);
    r.Go();
    EXPECT_EQ(r.sink.Statuses().back(), US_FINISHED);
    EXPECT_EQ(r.Installed("data\\maps\\m1.map"), body);
    EXPECT_TRUE(::GetFileAttributesA((r.temp + "\\data\\maps").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(DownloadManager, OwnExecutableGoesToTheSideFile)
{
    UpdateRun r;
    const std::string exe = PatternBytes(3000, 11), lib = PatternBytes(3000, 12), dotted = PatternBytes(100, 13);
    r.server.ServeFile("/exe", exe);
    r.server.ServeFile("/lib", lib);
    r.server.ServeFile("/dotted", dotted);
    WriteBytes(r.app / "UNIT_TESTS.EX_", "an earlier side file");
    r.Add("UNIT_TESTS.EXE", "/exe", exe);     // this program's own name in other letter case
    r.Add("unit_tests.dll", "/lib", lib);     // same stem, other extension: an ordinary file
    r.Add("a.b.unit_tests.exe", "/dotted", dotted);
    r.Go();
    EXPECT_EQ(r.sink.Statuses().back(), US_FINISHED);
    EXPECT_EQ(r.Installed("UNIT_TESTS.EX_"), exe);
    EXPECT_FALSE(FileExists(r.app / "UNIT_TESTS.EXE"));
    EXPECT_EQ(r.Installed("unit_tests.dll"), lib);
    EXPECT_EQ(r.Installed("a.b.unit_tests.exe"), dotted);
}

TEST(DownloadManager, AFailedMovePutsEveryFileBackAndFailsTheRun)
{
    UpdateRun r;
    r.server.ServeFile("/kept", PatternBytes(500, 13));
    r.server.ServeFile("/added", PatternBytes(500, 15));
    r.server.ServeFile("/blocked", PatternBytes(500, 14));
    WriteBytes(r.app / "kept.bin", "the installed copy");
    ::CreateDirectoryA((r.app / "blocked.bin").c_str(), nullptr);  // a folder is in the way
    r.Add("kept.bin", "/kept", PatternBytes(500, 13));
    r.Add("new\\added.bin", "/added", PatternBytes(500, 15));
    r.Add("blocked.bin", "/blocked", PatternBytes(500, 14));
    r.Go();
    const std::vector<int> statuses = r.sink.Statuses();
    ASSERT_GE(statuses.size(), 2u);
    EXPECT_EQ(statuses[statuses.size() - 2], US_INSTALLING);
    EXPECT_EQ(statuses.back(), US_FAILED);
    EXPECT_EQ(r.Installed("kept.bin"), "the installed copy");
    EXPECT_FALSE(FileExists(r.app / "new"));  // the folder made for the added file is gone again
    EXPECT_TRUE(::GetFileAttributesA((r.app / "blocked.bin").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    // The downloads are back where a later run finds them; nothing else is left.
    std::string bytes;
    EXPECT_TRUE(ReadBytes(r.temp + "\\kept.bin.dtm", bytes) && bytes == PatternBytes(500, 13));
    EXPECT_TRUE(ReadBytes(r.temp + "\\new\\added.bin.dtm", bytes) && bytes == PatternBytes(500, 15));
    EXPECT_FALSE(FileExists(r.temp + "\\kept.bin.bak"));
    EXPECT_FALSE(FileExists(r.temp + "\\install.journal"));
}

TEST(DownloadManager, BytesThatDoNotMatchTheDigestAreNeverInstalled)
{
    const std::string right = PatternBytes(20000, 16), wrong = PatternBytes(20000, 17);
    for (bool upperCase : { false, true }) {
        SCOPED_TRACE(upperCase ? "upper-case digest of the right bytes" : "other bytes of the same size");
        UpdateRun r;
        r.server.ServeFile("/first", right);
        // The second file's end comes late, so the first has arrived whole when it fails.
        TestRoute second;
        second.body = upperCase ? right : wrong;
        second.stallAfter = 10000;
        second.stallMs = 1000;
        r.server.Serve("/second", second);
        WriteBytes(r.app / "second.bin", "old");
        std::string digest = Md5Of(right);
        if (upperCase)
            for (char& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        ASSERT_TRUE(r.manager.AddTask("first.bin", r.server.Url("/first").c_str(), nullptr, 20000, Md5Of(right).c_str()));
        ASSERT_TRUE(r.manager.AddTask("second.bin", r.server.Url("/second").c_str(), nullptr, 20000, digest.c_str()));
        r.Go();
        if (upperCase) {
            EXPECT_EQ(r.sink.Statuses().back(), US_FINISHED);
            EXPECT_EQ(r.Installed("second.bin"), right);
        } else {
            EXPECT_EQ(r.sink.Statuses().back(), US_FAILED);
            EXPECT_EQ(r.sink.Events().back().text, "下载 second.bin 文件失败");
            EXPECT_EQ(r.Installed("second.bin"), "old");
            EXPECT_FALSE(FileExists(r.temp + "\\second.bin.dtm"));  // wrong bytes are not kept
            EXPECT_TRUE(FileExists(r.temp + "\\first.bin.dtm"));    // a good download is
        }
    }
}

TEST(DownloadManager, UnreachableSiteAndMissingTempFolderFailWithTheirDescriptions)
{
    {
        UpdateRun r;
        ASSERT_TRUE(r.manager.AddTask("x.bin", "http://127.0.0.1:1/x.bin", nullptr, 100, Md5Of(PatternBytes(100)).c_str()));
        r.Go();
        EXPECT_EQ(r.sink.Statuses(), (std::vector<int>{ US_CONNECTING, US_FAILED }));
        EXPECT_FALSE(r.sink.Events().back().text.empty());
        EXPECT_EQ(r.sink.Events().back().text.find("文件失败"), std::string::npos);
    }
    {
        ScratchDir app;
        TestServer server;
        RecordingNotify sink;
        CDownloadManager m;
        server.ServeFile("/y", PatternBytes(100));
        m.Init(&sink, server.BaseUrl().c_str(), (app / "no\\such").c_str(), app.Path().c_str());
        m.AddTask("y.bin", server.Url("/y").c_str(), nullptr, 100, Md5Of(PatternBytes(100)).c_str());
        m.Start();
        ASSERT_TRUE(sink.WaitForEnd(20000));
        ASSERT_TRUE(m.StopWorker(20000));
        EXPECT_EQ(sink.Statuses(), (std::vector<int>{ US_CONNECTING, US_FILE_START, US_FAILED }));
        EXPECT_NE(sink.Events().back().text.find("y.bin.dtm"), std::string::npos);  // the file layer's words
    }
}
