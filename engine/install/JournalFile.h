// The journal on disk and what is done with a journal's steps: written before
// the first move, committed, tidied up once committed, or rolled back.
#pragma once
#include <string>
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
    bool WriteCommit();
    void Close() { m_file.reset(); }

private:
    CScopedHandle m_file;
};

// Reads the journal a killed run left; why says what makes it one not to act on.
bool LoadJournal(const std::string& path, JournalPlan& plan, std::string& why);

// Deletes the kept copies and then the journal: the new installation stands.
// The journal stays while a kept copy could not be deleted, so the next run
// finishes the job. The journal must be closed.
bool TidyCommitted(const RunPaths& paths, const JournalPlan& plan);

// Undoes what each step's state says was done, last first. New files go back
// to their .dtm, so a later run need not download them again. True when
// everything was put back (the journal is then deleted). The journal must be closed.
bool RollBack(const RunPaths& paths, const JournalPlan& plan);

// After a kill, each step's state from the traces it left: a kept copy means
// it went aside, an installed file that it was placed.
void StatesFromTraces(const RunPaths& paths, JournalPlan& plan);
