#pragma once
// The command line, parsed once for every switch: what this start of the program
// is asked to do. Pure logic: no window, thread or console here.

#include <string>
#include <vector>

#include "card/Keystrokes.h"

namespace quillon {

enum class CommandKind {
  kTray,      // no argument: the program in the notification area
  kDiagnose,  // --diagnose [seconds]
  kExit,      // --exit
  kVersion,   // --version
  kHelp,      // --help, /?
  kUsage,     // anything else: a usage line and status 5, never a tray copy
};

struct Command {
  CommandKind kind = CommandKind::kTray;
  int seconds = 0;       // kDiagnose only
  TypingOptions typing;  // kTray only: --keys unicode|layout, --suffix enter|tab
};

constexpr int kDiagnoseDefaultSeconds = 30;
// A day: longer than anyone watches a line, and far inside the 49 days of
// milliseconds that a wait's DWORD can count.
constexpr int kDiagnoseMaxSeconds = 24 * 60 * 60;

// `args` are the arguments after the program's name, as CommandLineToArgvW splits
// them (quotes already removed). A switch is --name or /name in any case;
// --diagnose takes its seconds as the next argument or after "=", --keys and
// --suffix (the tray program's only switches, each at most once, in either
// order) their value likewise.
Command ParseCommandLine(const std::vector<std::wstring>& args);

// The switches that give the tray program `typing`, as ParseCommandLine reads
// them: "--keys layout --suffix enter", empty for the defaults.
std::wstring TypingArguments(const TypingOptions& typing);

}  // namespace quillon
