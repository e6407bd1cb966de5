// Turns a crash or a hang of a campaign program into one line naming the
// case that caused it, and a distinct exit code, instead of a debugger that
// waits forever (which is what a crash under Wine tends to become).
#pragma once

#include <cstdint>
#include <string>

namespace robust {

constexpr int ExitCrash = 3;
constexpr int ExitHang = 4;

// Installs the unhandled-exception filter and starts the watchdog, which
// ends the process when one case runs longer than `hangSeconds`.
void InstallCrashGuard(double hangSeconds);

// Marks the start of a case (its index and description are printed if the
// process crashes or hangs in it) and its end.
void BeginCase(uint64_t index, const std::string& label);
void EndCase();

}  // namespace robust
