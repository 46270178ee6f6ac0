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

// One switch: --name or /name, and the text after "=" when there is one.
struct Switch {
  std::wstring name;
  bool hasValue = false;
  std::wstring value;
};

bool SplitSwitch(const std::wstring& arg, Switch* parsed) {
  size_t start = 0;
  if (arg.compare(0, 2, L"--") == 0)
    start = 2;
  else if (arg.compare(0, 1, L"/") == 0)
    start = 1;
  else
    return false;
  const size_t equals = arg.find(L'=', start);
  parsed->name = arg.substr(start, equals == std::wstring::npos ? std::wstring::npos : equals - start);
  parsed->hasValue = equals != std::wstring::npos;
  parsed->value = parsed->hasValue ? arg.substr(equals + 1) : std::wstring();
  return true;
}

// The tray program's switches, all of `args`: each at most once, each with one of its values.
bool ParseTypingOptions(const std::vector<std::wstring>& args, TypingOptions* typing) {
  bool keysSeen = false, suffixSeen = false;
  for (size_t i = 0; i < args.size(); ++i) {
    Switch option;
    if (!SplitSwitch(args[i], &option)) return false;
    if (!option.hasValue) {
      if (i + 1 == args.size()) return false;
      option.value = args[++i];
    }
    if (SameName(option.name, L"keys") && !keysSeen) {
      keysSeen = true;
      if (SameName(option.value, L"layout"))
        typing->keys = KeyMode::kLayout;
      else if (!SameName(option.value, L"unicode"))
        return false;
    } else if (SameName(option.name, L"suffix") && !suffixSeen) {
      suffixSeen = true;
      if (SameName(option.value, L"enter"))
        typing->suffix = KeySuffix::kEnter;
      else if (SameName(option.value, L"tab"))
        typing->suffix = KeySuffix::kTab;
      else
        return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

Command ParseCommandLine(const std::vector<std::wstring>& args) {
  Command command;
  if (args.empty()) return command;
  command.kind = CommandKind::kUsage;

  Switch first;
  if (!SplitSwitch(args[0], &first)) return command;
  const std::wstring& name = first.name;
  const bool hasValue = first.hasValue;

  if (SameName(name, L"keys") || SameName(name, L"suffix")) {
    if (ParseTypingOptions(args, &command.typing)) command.kind = CommandKind::kTray;
    return command;
  }
  if (SameName(name, L"diagnose")) {
    int seconds = kDiagnoseDefaultSeconds;
    bool valid = false;
    if (hasValue)
      valid = args.size() == 1 && ParseSeconds(first.value, &seconds);
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

std::wstring TypingArguments(const TypingOptions& typing) {
  std::wstring text;
  if (typing.keys == KeyMode::kLayout) text += L"--keys layout";
  if (typing.suffix != KeySuffix::kNone) {
    if (!text.empty()) text += L" ";
    text += typing.suffix == KeySuffix::kEnter ? L"--suffix enter" : L"--suffix tab";
  }
  return text;
}

}  // namespace quillon
