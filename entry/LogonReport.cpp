#include "entry/LogonReport.h"

#include <vector>

#include "card/CardDecoder.h"
#include "entry/CommandLine.h"
#include "entry/StartAtLogon.h"
#include "win/Scoped.h"

using quillon::FormatString;
using quillon::StartupApproval;

namespace {

constexpr wchar_t kValueName[] = L"Quillon";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kApprovedKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\";

// One place Windows starts programs from at logon, and where Startup apps records
// that it was switched off (a 32-bit HKLM Run value's entry is "Run32").
struct RunPlace {
  HKEY root;
  REGSAM view;  // which registry of a 64-bit Windows
  const char* name;
  const wchar_t* approvedName;
};

std::string Ansi(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string out(size, '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
  out.resize(size - 1);
  return out;
}

// The value's bytes, or false when it is not there.
bool ReadValue(HKEY root, REGSAM view, const std::wstring& key, const wchar_t* name, DWORD* type,
               std::vector<unsigned char>* data) {
  CScopedRegKey opened;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | view, opened.Put()) != ERROR_SUCCESS)
    return false;
  DWORD size = 0;
  if (RegQueryValueExW(opened.Get(), name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return false;
  data->assign(size, 0);
  if (size == 0) return true;
  return RegQueryValueExW(opened.Get(), name, nullptr, type, data->data(), &size) == ERROR_SUCCESS &&
         (data->resize(size), true);
}

// A string value as Windows runs it (an expandable one with its variables expanded).
bool ReadCommand(const RunPlace& place, std::wstring* command) {
  DWORD type = 0;
  std::vector<unsigned char> data;
  if (!ReadValue(place.root, place.view, kRunKey, kValueName, &type, &data)) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    command->clear();
    return true;
  }
  std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
  text.resize(wcsnlen(text.c_str(), text.size()));
  if (type == REG_EXPAND_SZ) {
    std::vector<wchar_t> expanded(ExpandEnvironmentStringsW(text.c_str(), nullptr, 0) + 1);
    if (ExpandEnvironmentStringsW(text.c_str(), expanded.data(), static_cast<DWORD>(expanded.size())) != 0)
      text = expanded.data();
  }
  *command = text;
  return true;
}

// Startup apps' record of this value, the user's first, then the machine's.
StartupApproval ReadApproval(const RunPlace& place, const char** where) {
  const std::wstring key = std::wstring(kApprovedKey) + place.approvedName;
  StartupApproval approval = StartupApproval::kNotRecorded;
  const struct {
    HKEY root;
    const char* name;
  } roots[] = {{HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"}};
  for (const auto& root : roots) {
    DWORD type = 0;
    std::vector<unsigned char> data;
    if (!ReadValue(root.root, KEY_WOW64_64KEY, key, kValueName, &type, &data)) continue;
    const StartupApproval found = quillon::ReadStartupApproval(data);
    if (found == StartupApproval::kNotRecorded) continue;
    *where = root.name;
    if (found != StartupApproval::kOn) return found;
    approval = found;
  }
  return approval;
}

std::string TypingText(const quillon::TypingOptions& typing) {
  std::string text = typing.keys == quillon::KeyMode::kLayout ? "keys layout" : "keys unicode (the default)";
  switch (typing.suffix) {
    case quillon::KeySuffix::kNone:
      return text + ", no key after the number";
    case quillon::KeySuffix::kEnter:
      return text + ", Enter after the number";
    case quillon::KeySuffix::kTab:
      return text + ", Tab after the number";
  }
  return text;
}

bool Is64BitWindows() {
#ifdef _WIN64
  return true;
#else
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}

// The lines of one place; true when its value would start the tray program.
bool ReportPlace(CReportOutput& out, const RunPlace& place) {
  std::wstring command;
  if (!ReadCommand(place, &command)) {
    out.Line(FormatString("  %s: no value \"Quillon\"", place.name));
    return false;
  }
  out.Line(FormatString("  %s: \"Quillon\" = %s", place.name, Ansi(command).c_str()));
  const quillon::RunCommand run = quillon::SplitRunCommand(command);
  if (run.exe.empty()) {
    out.Line("    it names no program (not a text value, or an empty one): nothing starts");
    return false;
  }
  const DWORD attributes = GetFileAttributesW(run.exe.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  out.Line(FormatString("    program: %s (%s)", Ansi(run.exe).c_str(),
                        exists ? "present" : "MISSING: nothing starts at logon"));
  const char* where = "";
  const StartupApproval approval = ReadApproval(place, &where);
  switch (approval) {
    case StartupApproval::kNotRecorded:
      out.Line("    Startup apps: not switched off");
      break;
    case StartupApproval::kOn:
      out.Line(FormatString("    Startup apps: switched on (%s ...\\StartupApproved\\%s)", where,
                            Ansi(place.approvedName).c_str()));
      break;
    case StartupApproval::kOff:
      out.Line(
          FormatString("    Startup apps: SWITCHED OFF (%s ...\\StartupApproved\\%s): Windows skips it at "
                       "logon; switch it on in Task Manager, Startup apps",
                       where, Ansi(place.approvedName).c_str()));
      break;
    case StartupApproval::kUnknown:
      out.Line(
          FormatString("    Startup apps: a record this report does not know (%s ...\\StartupApproved\\%s)",
                       where, Ansi(place.approvedName).c_str()));
      break;
  }
  const quillon::Command parsed = quillon::ParseCommandLine(run.args);
  if (parsed.kind != quillon::CommandKind::kTray) {
    out.Line("    its arguments are not the tray program's: that start shows a usage line, no tray icon");
    return false;
  }
  out.Line("    typing: " + TypingText(parsed.typing));
  return exists && approval != StartupApproval::kOff;
}

}  // namespace

void ReportStartAtLogon(CReportOutput& out) {
  std::vector<RunPlace> places = {
      {HKEY_CURRENT_USER, 0, "HKCU Run", L"Run"},
      {HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, "HKLM Run", L"Run"},
  };
  if (Is64BitWindows())
    places.push_back({HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, "HKLM Run (32-bit)", L"Run32"});
  out.Line("Start at logon (the Run values named \"Quillon\"):");
  int starting = 0;
  for (const RunPlace& place : places)
    if (ReportPlace(out, place)) ++starting;
  if (starting == 0)
    out.Line("  Nothing starts Quillon at logon.");
  else if (starting > 1)
    out.Line(
        "  More than one starts it: the first to start runs, the others end at once (one copy a session).");
}
