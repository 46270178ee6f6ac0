#pragma once
// Shared by the installer's tests: msiexec run to its end, where each context
// puts the programs, the start at logon and the shortcut, the installed copies,
// and a fixture that starts from a clean prefix whatever an earlier run left.

#include <windows.h>
#include <msi.h>
#include <objbase.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/fakewmi/FakeWmi.h"
#include "tests/support/reader/FakeReader.h"
#include "tests/support/targetwindow/TargetWindow.h"
#include "tests/system/ReaderTestSupport.h"
#include "tests/system/SystemTestSupport.h"

namespace quillon_install {

using namespace quillon_system;

constexpr wchar_t kUpgradeCode[] = L"{3D32C70B-38F8-4BAB-A869-07CC520842A7}";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kNeighbour[] = L"QuillonTestNeighbour";  // another program's Run value
constexpr wchar_t kFolderKey[] = L"Software\\Quillon";     // the per-user folder component's key path
constexpr DWORD kMsiexecWait = 120000;

inline std::wstring Widen(const char* s) { return std::wstring(s, s + strlen(s)); }

inline std::wstring FolderPath(int csidl) {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}

// Where one context puts what it installs.
struct Context {
  const wchar_t* name;
  const wchar_t* properties;  // on msiexec's command line
  bool machine;
};
constexpr Context kPerUser = {L"per user", L"", false};
constexpr Context kPerMachine = {L"per machine", L" ALLUSERS=1", true};

inline std::wstring ProgramsDir() { return FolderPath(CSIDL_LOCAL_APPDATA) + L"\\Programs"; }
inline std::wstring InstallDir(bool machine = false) {
  return machine ? FolderPath(CSIDL_PROGRAM_FILES) + L"\\Quillon" : ProgramsDir() + L"\\Quillon";
}
inline std::wstring InstalledExe(bool machine = false) { return InstallDir(machine) + L"\\Quillon.exe"; }
inline std::wstring InstalledCom(bool machine = false) { return InstallDir(machine) + L"\\Quillon.com"; }
inline std::wstring Shortcut(bool machine = false) {
  return FolderPath(machine ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS) + L"\\Quillon.lnk";
}
inline HKEY RunRoot(bool machine) { return machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

inline bool KeyExists(const wchar_t* key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

inline bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Where a shortcut leads and with which arguments, or "(none)".
struct ShortcutInfo {
  std::wstring target = L"(none)";
  std::wstring arguments = L"(none)";
};
inline ShortcutInfo ReadShortcut(const std::wstring& lnk) {
  ShortcutInfo info;
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  wchar_t path[MAX_PATH] = {}, args[MAX_PATH] = {};
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(lnk.c_str(), STGM_READ)) &&
      SUCCEEDED(link->GetPath(path, ARRAYSIZE(path), nullptr, 0)) &&
      SUCCEEDED(link->GetArguments(args, ARRAYSIZE(args)))) {
    info.target = path;
    info.arguments = args;
  }
  if (file) file->Release();
  if (link) link->Release();
  CoUninitialize();
  return info;
}
inline std::wstring ShortcutTarget(bool machine = false) { return ReadShortcut(Shortcut(machine)).target; }

// Whether an installer log (UTF-16 or ANSI, as msiexec writes it) holds `text`.
inline bool LogHas(const std::wstring& path, const std::string& text) {
  std::string bytes, narrow;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  char buffer[4096];
  DWORD read = 0;
  while (h != INVALID_HANDLE_VALUE && ReadFile(h, buffer, sizeof(buffer), &read, nullptr) && read > 0)
    bytes.append(buffer, read);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  for (char c : bytes)
    if (c != '\0') narrow += c;
  return narrow.find(text) != std::string::npos;
}

// Waits for a process it started (ending it after the time), closes its handles and
// gives its exit code (STILL_ACTIVE when it had to be ended).
inline DWORD EndOf(PROCESS_INFORMATION& pi, DWORD timeoutMs) {
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
    GetExitCodeProcess(pi.hProcess, &code);
  else
    TerminateProcess(pi.hProcess, 99);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

// Runs a command line to its end; its exit code, or STILL_ACTIVE when it outlived
// timeoutMs (it is then killed).
inline DWORD RunCommand(std::wstring cmd, DWORD timeoutMs) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return ~0u;
  return EndOf(pi, timeoutMs);
}

inline DWORD Msiexec(const std::wstring& args) { return RunCommand(L"msiexec.exe " + args, kMsiexecWait); }
inline std::wstring Package(const char* msi) { return L"\"" + WinePath(msi) + L"\""; }

inline std::vector<std::wstring> InstalledProducts() {
  std::vector<std::wstring> products;
  wchar_t code[39];
  for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i)
    products.push_back(code);
  return products;
}

inline std::wstring ProductInfo(const std::wstring& product, const wchar_t* property) {
  wchar_t value[MAX_PATH] = {};
  DWORD size = ARRAYSIZE(value);
  if (MsiGetProductInfoW(product.c_str(), property, value, &size) != ERROR_SUCCESS) return L"(none)";
  return value;
}

// Whether the product is registered in that context.
inline bool RegisteredIn(const std::wstring& product, MSIINSTALLCONTEXT context) {
  wchar_t value[64] = {};
  DWORD size = ARRAYSIZE(value);
  return MsiGetProductInfoExW(product.c_str(), nullptr, context, INSTALLPROPERTY_VERSIONSTRING, value,
                              &size) == ERROR_SUCCESS;
}

inline std::wstring RunValue(HKEY root, const wchar_t* name = L"Quillon") {
  wchar_t value[MAX_PATH * 2] = {};
  DWORD size = sizeof(value);
  if (RegGetValueW(root, kRunKey, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return L"(none)";
  return value;
}
inline std::wstring RunValue(const wchar_t* name = L"Quillon") { return RunValue(HKEY_CURRENT_USER, name); }

// Windows keeps a per-user product's entry under HKCU; Wine writes every entry under HKLM.
inline bool UninstallEntryExists(const std::wstring& product) {
  const std::wstring key = kUninstallKey + product;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &h) == ERROR_SUCCESS) {
      RegCloseKey(h);
      return true;
    }
  }
  return false;
}

inline std::wstring FileVersion(const std::wstring& path) {
  DWORD ignored = 0;
  std::vector<char> data(GetFileVersionInfoSizeW(path.c_str(), &ignored));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT size = 0;
  if (data.empty() || !GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()) ||
      !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &size))
    return L"(none)";
  return std::to_wstring(HIWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(LOWORD(info->dwFileVersionMS)) + L"." +
         std::to_wstring(HIWORD(info->dwFileVersionLS));
}

inline bool IsInstalledImage(DWORD pid, bool machine) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return false;
  wchar_t path[MAX_PATH * 2];
  DWORD size = ARRAYSIZE(path);
  const bool match =
      QueryFullProcessImageNameW(h, 0, path, &size) && lstrcmpiW(path, InstalledExe(machine).c_str()) == 0;
  CloseHandle(h);
  return match;
}

// Processes running the exe installed in that context.
inline std::vector<DWORD> InstalledCopies(bool machine = false) {
  std::vector<DWORD> pids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return pids;
  PROCESSENTRY32W pe = {};
  pe.dwSize = sizeof(pe);
  for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
    if (lstrcmpiW(pe.szExeFile, L"Quillon.exe") == 0 && IsInstalledImage(pe.th32ProcessID, machine))
      pids.push_back(pe.th32ProcessID);
  CloseHandle(snap);
  return pids;
}

// The one installed copy, up and running: its hidden dialog and tray icon exist.
struct InstalledCopy {
  DWORD pid = 0;
  HWND dialog = nullptr;
  HANDLE process = nullptr;  // SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION; owned
  InstalledCopy() = default;
  InstalledCopy(const InstalledCopy&) = delete;
  InstalledCopy& operator=(const InstalledCopy&) = delete;
  ~InstalledCopy() {
    if (process) CloseHandle(process);
  }
  DWORD ExitCode(DWORD timeoutMs = kLong) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(process, &code);
    return code;
  }
};

inline ::testing::AssertionResult WaitForInstalledCopy(InstalledCopy& copy, bool machine = false) {
  std::vector<DWORD> pids;
  WaitFor(kLong, [&] {
    pids = InstalledCopies(machine);
    return pids.size() == 1 &&
           (copy.dialog = FindTopLevel(pids[0], L"#32770", L"Quillon", false)) != nullptr &&
           IconExists(copy.dialog);
  });
  if (pids.size() != 1 || !copy.dialog || !IconExists(copy.dialog))
    return ::testing::AssertionFailure()
           << pids.size() << " installed copies running, dialog " << (copy.dialog != nullptr);
  copy.pid = pids[0];
  copy.process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, copy.pid);
  return ::testing::AssertionSuccess();
}

// Every installed copy of both contexts ends; a stuck one is killed so that it
// cannot disturb later tests.
inline void EndInstalledCopies() {
  for (bool machine : {false, true}) {
    for (DWORD pid : InstalledCopies(machine)) {
      if (HWND dialog = FindTopLevel(pid, L"#32770", L"Quillon", false))
        PostMessageW(dialog, WM_COMMAND, 1, 0);
      HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
      if (!h) continue;
      if (WaitForSingleObject(h, kLong) != WAIT_OBJECT_0) TerminateProcess(h, 99);
      CloseHandle(h);
    }
  }
}

// What an install of either context leaves behind when an earlier run was cut
// short between its steps (or a product's record is gone but its files are not).
inline void RemoveLeftovers() {
  for (bool machine : {false, true}) {
    for (const std::wstring& file : {InstalledExe(machine), InstalledCom(machine), Shortcut(machine)})
      DeleteFileW(file.c_str());
    RemoveDirectoryW(InstallDir(machine).c_str());
    RegDeleteKeyValueW(RunRoot(machine), kRunKey, L"Quillon");
  }
  RegDeleteKeyW(HKEY_CURRENT_USER, kFolderKey);
}

class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    // Installed copies run discovery: the test provider keeps Wine's own WMI host out.
    wmi_.reset(new quillon::fakewmi::ScopedFakeWmi());
    ASSERT_EQ(wmi_->Result(), S_OK);
    // From a clean prefix whatever an earlier (failed) run left: products of any
    // version and context, copies still running, files and values of none.
    RemoveAll();
    EndInstalledCopies();
    RemoveLeftovers();
    ASSERT_TRUE(InstalledProducts().empty());
    for (bool machine : {false, true}) {
      ASSERT_FALSE(Exists(InstalledExe(machine))) << "left behind and not removable";
      ASSERT_EQ(RunValue(RunRoot(machine)), L"(none)");
    }
  }
  void TearDown() override {
    RemoveAll();
    EXPECT_TRUE(InstalledProducts().empty()) << "left installed";
    EndInstalledCopies();
    StopTargetWindow(target_);
    reader_.Unplug(kReaderPort);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, kNeighbour);
    wmi_.reset();
  }
  static void RemoveAll() {
    for (const std::wstring& product : InstalledProducts()) Msiexec(L"/x " + product + L" /qn");
  }

  std::unique_ptr<quillon::fakewmi::ScopedFakeWmi> wmi_;
  quillon_test::FakeReader reader_;
  TargetWindow target_;
};

}  // namespace quillon_install
