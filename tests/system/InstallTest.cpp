// The per-user MSI under Wine's Windows Installer, black box: install, start at
// logon, upgrade and removal while Quillon runs, a refused downgrade.
#include "tests/system/InstallSupport.h"

namespace {

using namespace quillon_install;

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
  EXPECT_TRUE(LogHas(log, "Quillon: no Quillon from its folder runs in this logon session any more."));
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
                 << "Quillon.exe --version gave status " << x86.first << " and printed \"" << x86.second
                 << "\"), and the win32 "
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
