// The installation journal: the whole plan of one installation, written and
// flushed once before the first move (a flush per file made large
// installations crawl), so that a run killed at any point leaves a journal
// that covers everything it could have changed. One line per step, CRLF:
//   V 2                                  this format
//   R <run>                              kept copies of this run are in <temp>\kept.<run>\<bucket>
//   D <folder>                           a folder is created in the installation
//   K <dest>\t<local>\t<new>\t<kept>      the installed copy goes aside, the new file takes its place
//   A <dest>\t<local>\t<new>              a new file is added where there was none
//   C                                    appended once every file is in place; the kept copies may go
// <new> is the MD5 of the file the run moves in, <kept> that of the installed
// copy it keeps aside: 32 lower-case hex digits, or "-" when unknown. Recovery
// acts on a file only when its bytes have that digest, so it never takes a file
// the run did not put there (a player's file written after a kill, or any file
// a planted journal names).
// A last line without its CRLF was cut short by a kill: the commit never happened.
// A journal without the first line was written by an earlier version: it is
// set aside, never acted on (it holds no digests to prove a file is the run's).
// A kept copy is ours because its folder is named after our run: a copy left
// by another run is never restored, and nothing is ever moved onto one.
#pragma once
#include <functional>
#include <string>
#include <vector>
#include "support/Files.h"

struct TempFolderPlace;

enum class StepKind : char { Folder = 'D', Keep = 'K', Add = 'A' };
// How far this run got with a step.
enum class StepState { Untouched, MovedAside, Complete };

struct JournalStep {
    StepKind kind;
    std::string dest;   // relative to the installation folder
    std::string local;  // the download's name in the temporary folder (empty for a folder)
    int kept = 0;       // Keep: which kept copy of the run this is (0, 1, ...)
    StepState state = StepState::Untouched;
    std::string newMd5{};   // Keep, Add: the MD5 of the file moved in ("" when unknown)
    std::string keptMd5{};  // Keep: the MD5 of the installed copy kept aside ("" when unknown)
};

struct JournalPlan {
    std::string run;
    std::vector<JournalStep> steps;
    bool committed = false;
};

// Reads the MD5 (hex) of the file at path; "" when it cannot be read.
using FileDigest = std::function<std::string(const std::string& path)>;
// A digest as the journal records it: 32 lower-case hex digits, or "" when
// the text is not an MD5.
std::string JournalDigest(const std::string& hex);

// Numbers the Keep steps in journal order: the plan and its recovery agree.
void NumberKeptCopies(std::vector<JournalStep>& steps);

// The plan's lines (without the commit line), and the commit line.
std::string EncodeJournalPlan(const JournalPlan& plan);
extern const char kJournalCommitLine[];

enum class JournalFault { None, OldFormat, NoRun, NotAStep, StepsAfterCommit };
// Reads a journal's text strictly; plan's kept copies are numbered.
JournalFault DecodeJournal(const std::string& text, JournalPlan& plan);
// A few English words for a fault, to follow "the journal ...: ".
const char* DescribeJournalFault(JournalFault fault);

// Where the files of one run lie.
class RunPaths {
public:
    RunPaths(const std::string& tempDir, const std::string& appDir);
    std::string JournalPath() const { return JoinPath(m_temp, "install.journal"); }
    std::string KeptFolder(const std::string& run) const { return JoinPath(m_temp, "kept." + run); }
    // Where a committed journal goes while some of its kept copies cannot be
    // deleted yet: beside them, where it blocks no later installation.
    std::string RetiredJournal(const std::string& run) const { return JoinPath(KeptFolder(run), "install.journal"); }
    const std::string& TempDir() const { return m_temp; }
    // A kept copy's name inside its run's folder: its bucket, then its destination.
    static std::string KeptName(const JournalStep& step);
    std::string Kept(const std::string& run, const JournalStep& step) const;
    std::string Installed(const std::string& dest) const { return JoinPath(m_app, dest); }
    std::string Download(const std::string& local) const { return JoinPath(m_temp, local + ".dtm"); }
    // The first name of the plan this updater could not have written (outside
    // the installation, inside the temporary folder, or too long); null when none.
    const char* OutsideItsFolders(const JournalPlan& plan, const TempFolderPlace& temp) const;

private:
    std::string m_temp, m_app;
};
