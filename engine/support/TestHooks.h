// Points where the test build of the updater can be steered from its
// environment (a kill in the middle of an installation, a shorter stall
// limit). The shipped updater is built without them: every hook answers 0.
#pragma once
#include <windows.h>

namespace TestHooks {
// The process ends (exit code 3) after this many moves of an installation; 0: never.
int CrashAfterMoves();
// The no-byte limit of a transfer in milliseconds; 0: the normal one.
DWORD StallLimitMs();
// The bytes a manifest pass reads again whatever the digest cache says; 0: the normal 64 MiB.
unsigned long ReverifyBytes();
// Each flush of a download takes this many milliseconds longer (slow media); 0: none.
DWORD SlowFlushMs();
// Starting the platform again after a cancel waits this long first (a slow start); 0: none.
DWORD RestartDelayMs();
} // namespace TestHooks
