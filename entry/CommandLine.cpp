#include "entry/CommandLine.h"

namespace quillon {
namespace {

// ASCII only: a switch name never holds anything else, and no locale may change its meaning.
wchar_t Lower(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool SameName(const std::wstring& text, const wchar_t* name) {
  size_t i = 0;
  for (; i < text.size() && name[i]; ++i)
    if (Lower(text[i]) != name[i]) return false;
  return i == text.size() && !name[i];
}

// Digits only, at most kDiagnoseMaxSeconds.
bool ParseSeconds(const std::wstring& text, int* seconds) {
  if (text.empty()) return false;
  int value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + (c - L'0');
    if (value > kDiagnoseMaxSeconds) return false;
  }
  *seconds = value;
  return true;
}

}  // namespace

Command ParseCommandLine(const std::vector<std::wstring>& args) {
  Command command;
  if (args.empty()) return command;
  command.kind = CommandKind::kUsage;

  const std::wstring& first = args[0];
  size_t start = 0;
  if (first.compare(0, 2, L"--") == 0)
    start = 2;
  else if (first.compare(0, 1, L"/") == 0)
    start = 1;
  else
    return command;
  const size_t equals = first.find(L'=', start);
  const std::wstring name = first.substr(start, equals == std::wstring::npos ? std::wstring::npos : equals - start);
  const bool hasValue = equals != std::wstring::npos;

  if (SameName(name, L"diagnose")) {
    int seconds = kDiagnoseDefaultSeconds;
    bool valid = false;
    if (hasValue)
      valid = args.size() == 1 && ParseSeconds(first.substr(equals + 1), &seconds);
    else
      valid = args.size() == 1 || (args.size() == 2 && ParseSeconds(args[1], &seconds));
    if (valid) {
      command.kind = CommandKind::kDiagnose;
      command.seconds = seconds;
    }
    return command;
  }
  if (hasValue || args.size() != 1) return command;
  if (SameName(name, L"exit"))
    command.kind = CommandKind::kExit;
  else if (SameName(name, L"version"))
    command.kind = CommandKind::kVersion;
  else if (SameName(name, L"help") || name == L"?")
    command.kind = CommandKind::kHelp;
  return command;
}

}  // namespace quillon
