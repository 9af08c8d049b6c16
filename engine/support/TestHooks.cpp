#include "support/TestHooks.h"
#include <cstdlib>

#ifdef UPDATER_TEST_HOOKS
namespace {
unsigned long FromEnvironment(const char* name)
{
    char value[32] = {};
    const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof(value));
    return (n > 0 && n < sizeof(value)) ? std::strtoul(value, nullptr, 10) : 0;
}
} // namespace

namespace TestHooks {
int CrashAfterMoves() { return static_cast<int>(FromEnvironment("UPDATER_TEST_CRASH_AFTER_MOVES")); }
DWORD StallLimitMs() { return FromEnvironment("UPDATER_STALL_TIMEOUT_MS"); }
unsigned long ReverifyBytes() { return FromEnvironment("UPDATER_TEST_REVERIFY_BYTES"); }
DWORD SlowFlushMs() { return FromEnvironment("UPDATER_TEST_SLOW_FLUSH_MS"); }
DWORD RestartDelayMs() { return FromEnvironment("UPDATER_TEST_RESTART_DELAY_MS"); }
} // namespace TestHooks
#else
namespace TestHooks {
int CrashAfterMoves() { return 0; }
DWORD StallLimitMs() { return 0; }
unsigned long ReverifyBytes() { return 0; }
DWORD SlowFlushMs() { return 0; }
DWORD RestartDelayMs() { return 0; }
} // namespace TestHooks
#endif
