// A patch's survey, made ahead of it. Before a patch writes anything it cuts
// the installed copy into chunks and groups, fetches the chunk index's head
// and the lists of the groups it lacks: local work and a few small requests
// that take a big file's patch a good part of a second. The first file the
// run may patch is surveyed so while the window shows itself and waits to
// start the run, when the processor and the network are otherwise idle.
//
// The platform may still be running then, and a running platform may write
// to its files: the survey counts only when the installed copy is as it was
// (the same size and last write) once the patch has stopped the platform,
// else the patch surveys it again. Either way the cuts only find candidate
// bytes, and the whole file's digests decide.
#pragma once
#include <windows.h>
#include <atomic>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include "support/Task.h"
#include "transfer/Transfer.h"

struct PatchSurvey;

class CEarlyPatch {
public:
    // Starts surveying the task's installed copy (in installDir) and chunk
    // index on a thread of its own. The task and the session must outlive it.
    CEarlyPatch(CInternetSession* session, const std::string& installDir, const DownloadTask& task);
    // Stops the survey at its next block or piece and waits for it.
    ~CEarlyPatch();
    CEarlyPatch(const CEarlyPatch&) = delete;
    CEarlyPatch& operator=(const CEarlyPatch&) = delete;

    // Waits for the survey. For its own task, the survey when it read the
    // installed copy whole and the copy has not changed since it began; what
    // went wrong with the index is thrown, as the patch itself would have
    // thrown it. Null otherwise, and on every later call.
    std::unique_ptr<PatchSurvey> Take(const DownloadTask& task);

private:
    // The survey's own stop token; it reports nothing.
    class Sink : public TransferSink {
    public:
        std::atomic<bool> stop{ false };
        bool StopRequested() const override { return stop.load(); }
        bool StopPlatform() override { return false; }
        void FileStarted(const DownloadTask&) override {}
        void FileProgress(const DownloadTask&, UINT64, UINT) override {}
        void Activity() override {}
        void LocalWork(bool) override {}
    };
    // The copy's size and last write; exists false when it is not a file.
    struct Stamp {
        bool exists = false;
        ULONGLONG size = 0;
        FILETIME written{};
        bool operator==(const Stamp& other) const;
    };
    static Stamp StampOf(const std::string& path);
    void Run();

    const DownloadTask& m_task;
    Sink m_sink;
    const TransferContext m_context;
    const std::string m_installed;
    const Stamp m_before;
    std::unique_ptr<PatchSurvey> m_survey;
    std::exception_ptr m_failed;
    std::thread m_thread;  // last: it starts once everything above is made
};
