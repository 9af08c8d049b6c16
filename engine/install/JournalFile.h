// The journal on disk and what is done with a journal's steps: written before
// the first move, committed, tidied up once committed, or rolled back.
#pragma once
#include <string>
#include <vector>
#include "afxhandle.h"
#include "install/Journal.h"

// The journal of an installation in progress, open until it is closed.
class CJournalFile {
public:
    CJournalFile() = default;
    CJournalFile(const CJournalFile&) = delete;
    CJournalFile& operator=(const CJournalFile&) = delete;
    // The whole plan, flushed: never over an existing journal.
    bool WritePlan(const std::string& path, const JournalPlan& plan);
    // Committed: the commit line is on disk. CutBack: it could not be flushed,
    // and the journal is its plan again (a rollback may follow). Uncertain:
    // the journal could not be cut back either; it may read as committed, so
    // nothing may be rolled back: the next start finishes or undoes the run.
    enum class Commit { Committed, CutBack, Uncertain };
    Commit WriteCommit();
    void Close() { m_file.reset(); }

private:
    CScopedHandle m_file;
    LONGLONG m_planBytes = 0;
};

// Reads a journal; why says what makes it one not to act on, and error holds
// the system's error when it could not be read at all (0 otherwise).
bool LoadJournal(const std::string& path, JournalPlan& plan, std::string& why, DWORD& error);

// Deletes a committed run's kept copies, then its journal: the new
// installation stands. A copy that cannot be deleted yet (a library still
// mapped by another program) is scheduled for deletion at the next restart,
// and the journal goes beside it (RetiredJournal), where it blocks no later
// installation; a later start deletes what is left (TidyRetiredJournals).
// True when everything is gone. The journal must be closed.
bool TidyCommitted(const RunPaths& paths, const JournalPlan& plan);
// The runs whose committed journals were retired beside their leftovers.
std::vector<std::string> RetiredRuns(const RunPaths& paths);
// Deletes what such a run left, when it can now; the journal goes last.
void TidyRetired(const RunPaths& paths, const std::string& run, const TempFolderPlace& temp);

// Undoes what each step's state says was done, last first. New files go back
// to their .dtm, so a later run need not download them again. With proof
// (after a kill, when the states come from traces) a file is moved only when
// its bytes have the digest the journal recorded; any other file is left
// where it is and logged. True when everything that was the run's is back
// (the journal is then deleted). The journal must be closed.
bool RollBack(const RunPaths& paths, const JournalPlan& plan, const FileDigest* proof = nullptr);

// After a kill, each step's state from the traces it left: a kept copy means
// it went aside, an installed file that it was placed.
void StatesFromTraces(const RunPaths& paths, JournalPlan& plan);
