// Points where the test build of the updater can be steered from its
// environment (a kill in the middle of an installation, a shorter stall
// limit). The shipped updater is built without them: every hook answers 0
// and kills nothing.
#pragma once
#include <windows.h>

namespace TestHooks {
// The process ends (exit code 3) after this many moves of an installation; 0: never.
int CrashAfterMoves();
// The process ends (exit code 3) when UPDATER_TEST_KILL_AT names this point of
// an installation's life and this is the time it is reached that it asks for
// ("rollback:2": the second time; "rollback": the first). The points:
// "planned" (journal written, nothing moved), "moved" (every file in place, no
// commit line), "tidying" (a kept copy of a committed run deleted), "rollback"
// (a kept copy put back).
void KillPoint(const char* point, int time = 1);
// UPDATER_TEST_FAIL_COMMIT: the commit line is written but its flush reports a failure.
bool FailCommitFlush();
// The no-byte limit of a transfer in milliseconds; 0: the normal one.
DWORD StallLimitMs();
// The bytes a manifest pass reads again whatever the digest cache says; 0: the normal 64 MiB.
unsigned long ReverifyBytes();
// Each flush of a download takes this many milliseconds longer (slow media); 0: none.
DWORD SlowFlushMs();
// Starting the platform again after a cancel waits this long first (a slow start); 0: none.
DWORD RestartDelayMs();
} // namespace TestHooks
