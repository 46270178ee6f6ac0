#pragma once
// What starts Quillon at logon, read from what the registry holds. Pure logic:
// the registry is read by the caller.

#include <string>
#include <vector>

#include "card/Keystrokes.h"

namespace quillon {

// A Run value's command line: the program it starts and the arguments after it.
struct RunCommand {
  std::wstring exe;
  std::vector<std::wstring> args;
};

// Splits a Run value as Windows starts it: a quoted program path up to its closing
// quote; an unquoted one up to the ".exe" that a space or the end follows (a path
// with spaces may be unquoted), else up to the first space. The arguments are split
// at spaces and tabs outside double quotes, the quotes removed.
RunCommand SplitRunCommand(const std::wstring& value);

// The typing switches of a Run value that starts a Quillon.exe as the tray
// program; false for another program or other arguments.
bool TypingOfRunValue(const std::wstring& value, TypingOptions* typing);

// What Task Manager's Startup apps records for a Run value (the first byte of its
// StartupApproved entry): nothing, switched on (02), switched off (03), or a byte
// this report does not know.
enum class StartupApproval { kNotRecorded, kOn, kOff, kUnknown };
StartupApproval ReadStartupApproval(const std::vector<unsigned char>& data);

}  // namespace quillon
