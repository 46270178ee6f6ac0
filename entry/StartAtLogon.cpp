#include "entry/StartAtLogon.h"

#include "entry/CommandLine.h"

namespace quillon {

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

wchar_t Lower(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

// Where an unquoted program path ends: after ".exe" that a blank or the end follows.
size_t UnquotedExeEnd(const std::wstring& value) {
  static const wchar_t kExe[] = L".exe";
  for (size_t at = 0; at + 4 <= value.size(); ++at) {
    bool match = true;
    for (size_t i = 0; i < 4 && match; ++i) match = Lower(value[at + i]) == kExe[i];
    if (match && (at + 4 == value.size() || IsBlank(value[at + 4]))) return at + 4;
  }
  size_t end = 0;
  while (end < value.size() && !IsBlank(value[end])) ++end;
  return end;
}

}  // namespace

RunCommand SplitRunCommand(const std::wstring& value) {
  RunCommand command;
  size_t at = 0;
  while (at < value.size() && IsBlank(value[at])) ++at;
  if (at < value.size() && value[at] == L'"') {
    const size_t close = value.find(L'"', at + 1);
    const size_t end = close == std::wstring::npos ? value.size() : close;
    command.exe = value.substr(at + 1, end - at - 1);
    at = close == std::wstring::npos ? value.size() : close + 1;
  } else {
    const std::wstring rest = value.substr(at);
    const size_t end = UnquotedExeEnd(rest);
    command.exe = rest.substr(0, end);
    at += end;
  }
  bool inArg = false, quoted = false;
  std::wstring arg;
  for (; at < value.size(); ++at) {
    const wchar_t c = value[at];
    if (c == L'"') {
      quoted = !quoted;
      inArg = true;
    } else if (IsBlank(c) && !quoted) {
      if (inArg) command.args.push_back(arg);
      arg.clear();
      inArg = false;
    } else {
      arg += c;
      inArg = true;
    }
  }
  if (inArg) command.args.push_back(arg);
  return command;
}

bool TypingOfRunValue(const std::wstring& value, TypingOptions* typing) {
  const RunCommand run = SplitRunCommand(value);
  const std::wstring name = L"\\quillon.exe";
  if (run.exe.size() < name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (Lower(run.exe[run.exe.size() - name.size() + i]) != name[i]) return false;
  const Command command = ParseCommandLine(run.args);
  if (command.kind != CommandKind::kTray) return false;
  *typing = command.typing;
  return true;
}

StartupApproval ReadStartupApproval(const std::vector<unsigned char>& data) {
  if (data.empty()) return StartupApproval::kNotRecorded;
  switch (data[0]) {
    case 0x02:
      return StartupApproval::kOn;
    case 0x03:
      return StartupApproval::kOff;
    default:
      return StartupApproval::kUnknown;
  }
}

}  // namespace quillon
