// The per-user MSI under Wine's Windows Installer, black box: install, start at
// logon, upgrade and removal while Quillon runs, a refused downgrade.
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

namespace {

using namespace quillon_system;
using quillon::fakewmi::ScopedFakeWmi;
using quillon_test::FakeReader;

constexpr wchar_t kUpgradeCode[] = L"{3D32C70B-38F8-4BAB-A869-07CC520842A7}";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
constexpr wchar_t kNeighbour[] = L"QuillonTestNeighbour";  // another program's Run value
constexpr DWORD kMsiexecWait = 120000;

std::wstring Widen(const char* s) { return std::wstring(s, s + strlen(s)); }

std::wstring FolderPath(int csidl) {
  wchar_t path[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path);
  return path;
}
std::wstring ProgramsDir() { return FolderPath(CSIDL_LOCAL_APPDATA) + L"\\Programs"; }
std::wstring InstallDir() { return ProgramsDir() + L"\\Quillon"; }
std::wstring InstalledExe() { return InstallDir() + L"\\Quillon.exe"; }
std::wstring InstalledCom() { return InstallDir() + L"\\Quillon.com"; }
constexpr wchar_t kFolderKey[] = L"Software\\Quillon";  // the folder component's key path

bool KeyExists(const wchar_t* key) {
  HKEY h = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}
std::wstring Shortcut() { return FolderPath(CSIDL_PROGRAMS) + L"\\Quillon.lnk"; }
// Where the shortcut leads, or "(none)".
std::wstring ShortcutTarget() {
  std::wstring target = L"(none)";
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  wchar_t path[MAX_PATH] = {};
  if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                 reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(Shortcut().c_str(), STGM_READ)) &&
      SUCCEEDED(link->GetPath(path, ARRAYSIZE(path), nullptr, 0)))
    target = path;
  if (file) file->Release();
  if (link) link->Release();
  CoUninitialize();
  return target;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Whether an installer log (UTF-16 or ANSI, as msiexec writes it) holds `text`.
bool LogHas(const std::wstring& path, const std::string& text) {
  std::string bytes, narrow;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         0, nullptr);
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
DWORD EndOf(PROCESS_INFORMATION& pi, DWORD timeoutMs) {
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
DWORD RunCommand(std::wstring cmd, DWORD timeoutMs) {
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return ~0u;
  return EndOf(pi, timeoutMs);
}

DWORD Msiexec(const std::wstring& args) { return RunCommand(L"msiexec.exe " + args, kMsiexecWait); }
std::wstring Package(const char* msi) { return L"\"" + WinePath(msi) + L"\""; }

std::vector<std::wstring> InstalledProducts() {
  std::vector<std::wstring> products;
  wchar_t code[39];
  for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i)
    products.push_back(code);
  return products;
}

std::wstring ProductInfo(const std::wstring& product, const wchar_t* property) {
  wchar_t value[MAX_PATH] = {};
  DWORD size = ARRAYSIZE(value);
  if (MsiGetProductInfoW(product.c_str(), property, value, &size) != ERROR_SUCCESS) return L"(none)";
  return value;
}

std::wstring RunValue(const wchar_t* name = L"Quillon") {
  wchar_t value[MAX_PATH * 2] = {};
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return L"(none)";
  return value;
}

// Windows keeps a per-user product's entry under HKCU; Wine writes every entry under HKLM.
bool UninstallEntryExists(const std::wstring& product) {
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

std::wstring FileVersion(const std::wstring& path) {
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

bool IsInstalledImage(DWORD pid) {
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return false;
  wchar_t path[MAX_PATH * 2];
  DWORD size = ARRAYSIZE(path);
  const bool match =
      QueryFullProcessImageNameW(h, 0, path, &size) && lstrcmpiW(path, InstalledExe().c_str()) == 0;
  CloseHandle(h);
  return match;
}

// Processes running the installed exe.
std::vector<DWORD> InstalledCopies() {
  std::vector<DWORD> pids;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return pids;
  PROCESSENTRY32W pe = {};
  pe.dwSize = sizeof(pe);
  for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
    if (lstrcmpiW(pe.szExeFile, L"Quillon.exe") == 0 && IsInstalledImage(pe.th32ProcessID))
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

::testing::AssertionResult WaitForInstalledCopy(InstalledCopy& copy) {
  std::vector<DWORD> pids;
  WaitFor(kLong, [&] {
    pids = InstalledCopies();
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

// Every installed copy ends; a stuck one is killed so that it cannot disturb later tests.
void EndInstalledCopies() {
  for (DWORD pid : InstalledCopies()) {
    if (HWND dialog = FindTopLevel(pid, L"#32770", L"Quillon", false)) PostMessageW(dialog, WM_COMMAND, 1, 0);
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
    if (!h) continue;
    if (WaitForSingleObject(h, kLong) != WAIT_OBJECT_0) TerminateProcess(h, 99);
    CloseHandle(h);
  }
}

class Installer : public ::testing::Test {
 protected:
  void SetUp() override {
    // Installed copies run discovery: the test provider keeps Wine's own WMI host out.
    wmi_.reset(new ScopedFakeWmi());
    ASSERT_EQ(wmi_->Result(), S_OK);
    RemoveAll();
    ASSERT_TRUE(InstalledProducts().empty());
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

  std::unique_ptr<ScopedFakeWmi> wmi_;
  FakeReader reader_;
  TargetWindow target_;
};

TEST_F(Installer, SilentInstallSetsUpStartAtLogonAndRunsItAndItTypesCards) {
  ASSERT_TRUE(reader_.Connected() && reader_.Plug(kReaderPort)) << reader_.LastError();
  ASSERT_TRUE(wmi_->SetConfig(ReaderDevices()));

  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" /qn"), 0u);
  EXPECT_EQ(FileVersion(InstalledExe()), Widen(QUILLON_VERSION));
  EXPECT_EQ(FileVersion(InstalledCom()), Widen(QUILLON_VERSION));
  EXPECT_TRUE(KeyExists(kFolderKey));
  EXPECT_EQ(RunValue(), L"\"" + InstalledExe() + L"\"");
  EXPECT_EQ(ShortcutTarget(), InstalledExe());
  const std::vector<std::wstring> products = InstalledProducts();
  ASSERT_EQ(products.size(), 1u);
  EXPECT_TRUE(UninstallEntryExists(products[0]));
  EXPECT_EQ(ProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING), Widen(QUILLON_VERSION));
  EXPECT_EQ(ProductInfo(products[0], INSTALLPROPERTY_PUBLISHER), L"Quillon");
  EXPECT_TRUE(Exists(ProductInfo(products[0], INSTALLPROPERTY_PRODUCTICON)));

  InstalledCopy copy;
  ASSERT_TRUE(WaitForInstalledCopy(copy));
  ASSERT_TRUE(StartTargetWindow(WinePath(TARGET_WINDOW_EXE), L"Quillon installed", target_));
  ASSERT_TRUE(reader_.WaitOpeners(kReaderPort, 1, kLong)) << reader_.LastError();
  ASSERT_TRUE(SyncWithOpen(reader_, kReaderPort)) << reader_.LastError();
  CardMaker cards;
  std::wstring expected;
  ASSERT_TRUE(reader_.Write(kReaderPort, cards.Next(&expected)));
  WaitFor(kLong, [&] { return GetTargetText(target_.edit).size() >= expected.size(); });
  EXPECT_EQ(GetTargetText(target_.edit), expected);
}

TEST_F(Installer, NoLaunchInstallsWithoutStartingIt) {
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" NOLAUNCH=1 /qn"), 0u);
  EXPECT_TRUE(Exists(InstalledExe()));
  // The installer starts it before it ends, so a started copy would be listed by now.
  EXPECT_TRUE(InstalledCopies().empty());
}

// The installer's start meets the single-instance guard: that copy ends, the
// running one stays, and the install still succeeds.
TEST_F(Installer, InstallWhileACopyRunsKeepsThatCopyAndSucceeds) {
  Program running;
  ASSERT_TRUE(running.Start(QUILLON_EXE));
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" /qn"), 0u);
  EXPECT_TRUE(WaitFor(kLong, [] { return InstalledCopies().empty(); }));
  EXPECT_TRUE(running.Running());
}

TEST_F(Installer, UpgradeOverARunningCopyReplacesItInPlace) {
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" /qn"), 0u);
  InstalledCopy first;
  ASSERT_TRUE(WaitForInstalledCopy(first));
  const std::wstring runValue = RunValue();

  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_NEXT_MSI) + L" /qn"), 0u);
  // Ended as its Exit command ends it.
  EXPECT_EQ(first.ExitCode(), 1u);
  const std::vector<std::wstring> products = InstalledProducts();
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(ProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING), Widen(QUILLON_NEXT_VERSION));
  EXPECT_EQ(FileVersion(InstalledExe()), Widen(QUILLON_NEXT_VERSION));
  EXPECT_EQ(RunValue(), runValue);
  EXPECT_TRUE(Exists(Shortcut()));
  InstalledCopy next;
  ASSERT_TRUE(WaitForInstalledCopy(next));
  EXPECT_NE(next.pid, first.pid);
}

// A repair replaces no file of the same version, so it leaves the running copy alone.
TEST_F(Installer, RepairLeavesARunningCopyRunning) {
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" /qn"), 0u);
  InstalledCopy copy;
  ASSERT_TRUE(WaitForInstalledCopy(copy));
  // What msiexec /fomus asks for (Wine's msiexec /f fails with 1 before doing anything).
  EXPECT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" REINSTALL=ALL REINSTALLMODE=omus /qn"), 0u);
  EXPECT_EQ(WaitForSingleObject(copy.process, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the repair ended it";
  EXPECT_EQ(FileVersion(InstalledExe()), Widen(QUILLON_VERSION));
}

// The README's "without an installer" path first, then the installer: the
// versioned exe copied by hand is replaced, not kept beside a registered install.
TEST_F(Installer, InstallOverAHandCopiedExeReplacesIt) {
  struct HandCopyRemover {  // when no install took the file over
    ~HandCopyRemover() {
      RemoveAll();
      DeleteFileW(InstalledExe().c_str());
      RemoveDirectoryW(InstallDir().c_str());
    }
  } remover;
  ASSERT_TRUE(CreateDirectoryW(ProgramsDir().c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(CreateDirectoryW(InstallDir().c_str(), nullptr));
  ASSERT_TRUE(CopyFileW(WinePath(QUILLON_EXE).c_str(), InstalledExe().c_str(), FALSE));
  ASSERT_EQ(FileVersion(InstalledExe()), Widen(QUILLON_VERSION));

  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_NEXT_MSI) + L" NOLAUNCH=1 /qn"), 0u);
  EXPECT_EQ(FileVersion(InstalledExe()), Widen(QUILLON_NEXT_VERSION));
  EXPECT_EQ(FileVersion(InstalledCom()), Widen(QUILLON_NEXT_VERSION));
}

TEST_F(Installer, DowngradeIsRefusedWithAMessageAndKeepsTheNewerOne) {
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_NEXT_MSI) + L" /qn"), 0u);
  InstalledCopy running;
  ASSERT_TRUE(WaitForInstalledCopy(running));

  // Status through msiexec, as a deployment tool sees it.
  EXPECT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" /qn"), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
  // With basic UI the refusal is a message box that says why (Wine shows launch
  // conditions this way only; Windows Installer passes them to any UI).
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::wstring cmd = L"msiexec.exe /i " + Package(QUILLON_MSI) + L" /qb";
  ASSERT_TRUE(CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  HWND box = nullptr;
  WaitFor(kLong, [&] { return (box = FindTopLevel(pi.dwProcessId, L"#32770", nullptr, true)) != nullptr; });
  wchar_t text[256] = {};
  if (box) {
    GetDlgItemTextW(box, 0xFFFF, text, ARRAYSIZE(text));  // a message box's text control
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  const DWORD code = EndOf(pi, kMsiexecWait);
  EXPECT_NE(std::wstring(text).find(L"A newer version of Quillon is already installed"), std::wstring::npos)
      << "message box: " << (box != nullptr);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_INSTALL_FAILURE));

  const std::vector<std::wstring> products = InstalledProducts();
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(ProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING), Widen(QUILLON_NEXT_VERSION));
  EXPECT_EQ(FileVersion(InstalledExe()), Widen(QUILLON_NEXT_VERSION));
  EXPECT_EQ(WaitForSingleObject(running.process, 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the refusal ended it";
}

TEST_F(Installer, RemovalWhileRunningEndsItAndLeavesNothingBehind) {
  const bool hadProgramsDir = Exists(ProgramsDir());
  // Another program's start at logon, which removal must leave alone.
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kRunKey, kNeighbour, REG_SZ, L"x", sizeof(L"x")),
            ERROR_SUCCESS);
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" /qn"), 0u);
  InstalledCopy copy;
  ASSERT_TRUE(WaitForInstalledCopy(copy));
  const std::vector<std::wstring> products = InstalledProducts();
  ASSERT_EQ(products.size(), 1u);

  const std::wstring log = FolderPath(CSIDL_LOCAL_APPDATA) + L"\\quillon-remove.log";
  EXPECT_EQ(Msiexec(L"/x " + Package(QUILLON_MSI) + L" /qn /l*v \"" + log + L"\""), 0u);
  // --exit returns only once the copy has ended, and says so in the installer's log.
  EXPECT_EQ(WaitForSingleObject(copy.process, 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(copy.ExitCode(), 1u);
  EXPECT_TRUE(LogHas(log, "Quillon: no Quillon runs in this logon session any more."));
  DeleteFileW(log.c_str());
  EXPECT_FALSE(IconExists(copy.dialog));
  EXPECT_FALSE(Exists(InstalledExe()));
  EXPECT_FALSE(Exists(InstallDir()));
  EXPECT_EQ(Exists(ProgramsDir()), hadProgramsDir);
  EXPECT_FALSE(Exists(Shortcut()));
  EXPECT_FALSE(KeyExists(kFolderKey));
  EXPECT_EQ(RunValue(), L"(none)");
  EXPECT_EQ(RunValue(kNeighbour), L"x");
  EXPECT_TRUE(InstalledProducts().empty());
  EXPECT_FALSE(UninstallEntryExists(products[0]));
}

#ifdef _WIN64
// The machine a PE file is built for, or 0.
WORD ExeMachine(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  IMAGE_DOS_HEADER dos = {};
  IMAGE_FILE_HEADER header = {};
  DWORD read = 0, signature = 0;
  const bool ok = ReadFile(file, &dos, sizeof(dos), &read, nullptr) && read == sizeof(dos) &&
                  SetFilePointer(file, dos.e_lfanew, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
                  ReadFile(file, &signature, sizeof(signature), &read, nullptr) &&
                  signature == IMAGE_NT_SIGNATURE && ReadFile(file, &header, sizeof(header), &read, nullptr);
  CloseHandle(file);
  return ok ? header.Machine : 0;
}

// Both architectures' packages share the upgrade code and the folder: either,
// installed over the other of the same version, replaces it, leaving one product,
// one exe (the new one's) and one Run value. NOLAUNCH: the 32-bit exe need not run.
TEST_F(Installer, EitherArchitectureReplacesTheOtherArchitectureOfTheSameVersion) {
  const std::string win32Msi = QUILLON_WIN32_MSI;
  if (!Exists(WinePath(win32Msi.c_str())))
    GTEST_SKIP() << "not run: the x86 build's package " << win32Msi
                 << " is missing (scripts/test.sh builds x86 before x64)";
  // The win32 package's exit step is a 32-bit DLL: where 32-bit programs cannot
  // start, Wine's installer waits for its 32-bit action server for ever.
  const std::pair<DWORD, std::string> x86 = RunCaptured(QUILLON_WIN32_EXE, L"--version");
  if (x86.first != 0 || x86.second.find("Quillon") == std::string::npos)
    GTEST_SKIP() << "not run: this machine does not run 32-bit programs (the x86 build's "
                 << "Quillon.exe --version gave status " << x86.first << " and printed \""
                 << x86.second << "\"), and the win32 "
                 << "package's exit step is 32-bit code";
  struct Order {
    const char* first;
    const char* second;
    WORD machine;
  } orders[] = {{win32Msi.c_str(), QUILLON_MSI, IMAGE_FILE_MACHINE_AMD64},
                {QUILLON_MSI, win32Msi.c_str(), IMAGE_FILE_MACHINE_I386}};
  for (const Order& order : orders) {
    SCOPED_TRACE(std::string(order.first) + " then " + order.second);
    ASSERT_EQ(Msiexec(L"/i " + Package(order.first) + L" NOLAUNCH=1 /qn"), 0u);
    const std::vector<std::wstring> replaced = InstalledProducts();
    ASSERT_EQ(replaced.size(), 1u);
    ASSERT_EQ(Msiexec(L"/i " + Package(order.second) + L" NOLAUNCH=1 /qn"), 0u);
    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_NE(products[0], replaced[0]);
    EXPECT_FALSE(UninstallEntryExists(replaced[0]));
    EXPECT_EQ(ProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING), Widen(QUILLON_VERSION));
    EXPECT_EQ(ExeMachine(InstalledExe()), order.machine);
    EXPECT_EQ(RunValue(), L"\"" + InstalledExe() + L"\"");
    EXPECT_EQ(ShortcutTarget(), InstalledExe());
    RemoveAll();
    EXPECT_FALSE(Exists(InstalledExe()));
    EXPECT_EQ(RunValue(), L"(none)");
  }
}
#endif

}  // namespace
