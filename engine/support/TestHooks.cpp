#include "support/TestHooks.h"
#include <cstdlib>
#include <string>

#ifdef UPDATER_TEST_HOOKS
namespace {
std::string Environment(const char* name)
{
    char value[64] = {};
    const DWORD n = ::GetEnvironmentVariableA(name, value, sizeof(value));
    return (n > 0 && n < sizeof(value)) ? std::string(value) : std::string();
}

unsigned long FromEnvironment(const char* name) { return std::strtoul(Environment(name).c_str(), nullptr, 10); }
} // namespace

namespace TestHooks {
int CrashAfterMoves() { return static_cast<int>(FromEnvironment("UPDATER_TEST_CRASH_AFTER_MOVES")); }

void KillPoint(const char* point, int time)
{
    const std::string wanted = Environment("UPDATER_TEST_KILL_AT");
    const size_t colon = wanted.find(':');
    const int at = colon == std::string::npos ? 1 : std::atoi(wanted.c_str() + colon + 1);
    if (wanted.substr(0, colon) == point && at == time) ::TerminateProcess(::GetCurrentProcess(), 3);
}

bool FailCommitFlush() { return FromEnvironment("UPDATER_TEST_FAIL_COMMIT") != 0; }
DWORD StallLimitMs() { return FromEnvironment("UPDATER_STALL_TIMEOUT_MS"); }
unsigned long ReverifyBytes() { return FromEnvironment("UPDATER_TEST_REVERIFY_BYTES"); }
DWORD SlowFlushMs() { return FromEnvironment("UPDATER_TEST_SLOW_FLUSH_MS"); }
DWORD RestartDelayMs() { return FromEnvironment("UPDATER_TEST_RESTART_DELAY_MS"); }
} // namespace TestHooks
#else
namespace TestHooks {
int CrashAfterMoves() { return 0; }
void KillPoint(const char*, int) {}
bool FailCommitFlush() { return false; }
DWORD StallLimitMs() { return 0; }
unsigned long ReverifyBytes() { return 0; }
DWORD SlowFlushMs() { return 0; }
DWORD RestartDelayMs() { return 0; }
} // namespace TestHooks
#endif
