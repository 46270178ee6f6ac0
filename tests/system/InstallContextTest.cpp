// The MSI's contexts and properties under Wine's Windows Installer, black box:
// per machine (ALLUSERS), the typing properties and a refused value, a
// per-machine upgrade and removal, and what the install's steps leave alone.
#include "tests/system/InstallSupport.h"

#include <msiquery.h>

namespace {

using namespace quillon_install;

// Both of Windows Installer's spellings of "for every user of this machine".
TEST_F(Installer, PerMachineInstallPutsItInTheMachinesPlacesAndNothingInTheProfile) {
  for (const wchar_t* properties : {L" ALLUSERS=1", L" ALLUSERS=2 MSIINSTALLPERUSER=\"\""}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(properties)));
    const bool hadProgramsDir = Exists(ProgramsDir());
    ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + properties + L" /qn"), 0u);
    EXPECT_EQ(FileVersion(InstalledExe(true)), Widen(QUILLON_VERSION));
    EXPECT_EQ(FileVersion(InstalledCom(true)), Widen(QUILLON_VERSION));
    EXPECT_EQ(RunValue(HKEY_LOCAL_MACHINE), L"\"" + InstalledExe(true) + L"\"");
    EXPECT_EQ(ShortcutTarget(true), InstalledExe(true));
    // Nothing of the installing user's: no folder, value or shortcut.
    EXPECT_FALSE(Exists(InstallDir(false)));
    EXPECT_EQ(Exists(ProgramsDir()), hadProgramsDir);
    EXPECT_EQ(RunValue(HKEY_CURRENT_USER), L"(none)");
    EXPECT_FALSE(KeyExists(kFolderKey));
    EXPECT_FALSE(Exists(Shortcut(false)));
    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_TRUE(RegisteredIn(products[0], MSIINSTALLCONTEXT_MACHINE));
    EXPECT_FALSE(RegisteredIn(products[0], MSIINSTALLCONTEXT_USERUNMANAGED));
    // An interactive install starts it for the installing user.
    InstalledCopy copy;
    EXPECT_TRUE(WaitForInstalledCopy(copy, true));

    // Removal by the package, as the README gives it, with no ALLUSERS: the
    // product's registration says where it is (Wine's installer gives ALLUSERS
    // only to a removal by product code).
    EXPECT_EQ(Msiexec(L"/x " + Package(QUILLON_MSI) + L" /qn"), 0u);
    EXPECT_EQ(copy.ExitCode(), 1u);
    EXPECT_FALSE(Exists(InstalledExe(true)));
    EXPECT_FALSE(Exists(InstallDir(true)));
    EXPECT_FALSE(Exists(Shortcut(true)));
    EXPECT_EQ(RunValue(HKEY_LOCAL_MACHINE), L"(none)");
    EXPECT_TRUE(InstalledProducts().empty());
  }
}

// In that order, whatever order and case they were given in, and nothing without them.
TEST_F(Installer, TypingPropertiesGoIntoTheRunValueAndTheShortcutInEitherContext) {
  const struct {
    const wchar_t* properties;
    const wchar_t* switches;
  } cases[] = {
      {L" SUFFIX=enter KEYS=layout", L"--keys layout --suffix enter"},
      {L" KEYS=Unicode SUFFIX=TAB", L"--suffix tab"},
      {L" KEYS=LAYOUT", L"--keys layout"},
      {L"", L""},
  };
  for (const Context& context : {kPerUser, kPerMachine}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::PrintToString(std::wstring(context.name) + c.properties));
      ASSERT_EQ(
          Msiexec(L"/i " + Package(QUILLON_MSI) + context.properties + c.properties + L" NOLAUNCH=1 /qn"),
          0u);
      const std::wstring switches = c.switches;
      EXPECT_EQ(RunValue(RunRoot(context.machine)),
                L"\"" + InstalledExe(context.machine) + L"\"" + (switches.empty() ? L"" : L" " + switches));
      const ShortcutInfo shortcut = ReadShortcut(Shortcut(context.machine));
      EXPECT_EQ(shortcut.target, InstalledExe(context.machine));
      EXPECT_EQ(shortcut.arguments, switches);
      RemoveAll();
      EXPECT_EQ(RunValue(RunRoot(context.machine)), L"(none)");
    }
  }
}

// The reader's typing does not change because a newer version or a repair came:
// without KEYS and SUFFIX they keep the switches in place; with either, those decide.
TEST_F(Installer, UpgradeAndRepairKeepTheSwitchesUnlessTheyAreGivenAgain) {
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" KEYS=layout SUFFIX=enter NOLAUNCH=1 /qn"), 0u);
  const struct {
    const char* msi;
    const wchar_t* properties;
    const wchar_t* switches;
  } steps[] = {
      {QUILLON_NEXT_MSI, L"", L" --keys layout --suffix enter"},
      {QUILLON_NEXT_MSI, L" REINSTALL=ALL REINSTALLMODE=omus", L" --keys layout --suffix enter"},
      {QUILLON_NEXT_MSI, L" REINSTALL=ALL REINSTALLMODE=omus SUFFIX=tab", L" --suffix tab"},
      {QUILLON_NEXT_MSI, L" REINSTALL=ALL REINSTALLMODE=omus KEYS=unicode", L""},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(step.properties)));
    ASSERT_EQ(Msiexec(L"/i " + Package(step.msi) + step.properties + L" NOLAUNCH=1 /qn"), 0u);
    EXPECT_EQ(RunValue(), L"\"" + InstalledExe() + L"\"" + step.switches);
    EXPECT_EQ(FileVersion(InstalledExe()), Widen(QUILLON_NEXT_VERSION));
  }
}

// Checked before anything changes: an upgrade with a bad value keeps the version
// installed, as a first install with one installs nothing.
TEST_F(Installer, AValueTheProgramRefusesFailsTheInstallWithItsReasonInTheLog) {
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" KEYS=layout NOLAUNCH=1 /qn"), 0u);
  const std::wstring runValue = RunValue();
  const std::wstring log = FolderPath(CSIDL_LOCAL_APPDATA) + L"\\quillon-refused.log";
  const struct {
    const wchar_t* properties;
    const char* logged;
  } cases[] = {
      {L" KEYS=bogus", "Quillon: KEYS=\"bogus\" SUFFIX=\"\" is not what Quillon takes"},
      {L" SUFFIX=none", "Quillon: KEYS=\"\" SUFFIX=\"none\" is not what Quillon takes"},
      {L" KEYS=\"layout --suffix tab\"", "Quillon: KEYS=\"layout --suffix tab\" SUFFIX=\"\" is not"},
      {L" ALLUSERS=1 KEYS=layout SUFFIX=space", "Quillon: KEYS=\"layout\" SUFFIX=\"space\" is not"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.properties)));
    EXPECT_EQ(Msiexec(L"/i " + Package(QUILLON_NEXT_MSI) + c.properties + L" /qn /l*v \"" + log + L"\""),
              static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_TRUE(LogHas(log, c.logged));
    DeleteFileW(log.c_str());
    const std::vector<std::wstring> products = InstalledProducts();
    ASSERT_EQ(products.size(), 1u);
    EXPECT_EQ(ProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING), Widen(QUILLON_VERSION));
    EXPECT_EQ(FileVersion(InstalledExe()), Widen(QUILLON_VERSION));
    EXPECT_EQ(RunValue(), runValue);
    EXPECT_FALSE(Exists(InstallDir(true)));
    EXPECT_TRUE(InstalledCopies(false).empty() && InstalledCopies(true).empty());
  }
}

TEST_F(Installer, PerMachineUpgradeReplacesARunningCopyAndRemovalLeavesNothing) {
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" ALLUSERS=1 KEYS=layout /qn"), 0u);
  InstalledCopy first;
  ASSERT_TRUE(WaitForInstalledCopy(first, true));

  // No KEYS: the upgrade keeps the switches it replaces.
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_NEXT_MSI) + L" ALLUSERS=1 /qn"), 0u);
  EXPECT_EQ(first.ExitCode(), 1u);
  std::vector<std::wstring> products = InstalledProducts();
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(ProductInfo(products[0], INSTALLPROPERTY_VERSIONSTRING), Widen(QUILLON_NEXT_VERSION));
  EXPECT_TRUE(RegisteredIn(products[0], MSIINSTALLCONTEXT_MACHINE));
  EXPECT_EQ(FileVersion(InstalledExe(true)), Widen(QUILLON_NEXT_VERSION));
  EXPECT_EQ(RunValue(HKEY_LOCAL_MACHINE), L"\"" + InstalledExe(true) + L"\" --keys layout");
  EXPECT_EQ(ReadShortcut(Shortcut(true)).arguments, L"--keys layout");
  InstalledCopy next;
  ASSERT_TRUE(WaitForInstalledCopy(next, true));

  const std::wstring log = FolderPath(CSIDL_LOCAL_APPDATA) + L"\\quillon-machine-remove.log";
  EXPECT_EQ(Msiexec(L"/x " + Package(QUILLON_NEXT_MSI) + L" /qn /l*v \"" + log + L"\""), 0u);
  EXPECT_TRUE(LogHas(log, "Quillon: for every user of this machine."));
  EXPECT_TRUE(LogHas(log, "Quillon: no Quillon from its folder runs in this logon session any more."));
  DeleteFileW(log.c_str());
  EXPECT_EQ(next.ExitCode(), 1u);
  EXPECT_FALSE(Exists(InstallDir(true)));
  EXPECT_FALSE(Exists(Shortcut(true)));
  EXPECT_EQ(RunValue(HKEY_LOCAL_MACHINE), L"(none)");
  EXPECT_TRUE(InstalledProducts().empty());
}

// A Quillon run from elsewhere (a per-machine copy beside a per-user one, or a
// report) keeps running while this install's copy is removed.
TEST_F(Installer, RemovalEndsOnlyTheCopiesRunFromItsOwnFolder) {
  ASSERT_TRUE(reader_.Connected() && reader_.Plug(kReaderPort)) << reader_.LastError();
  ASSERT_TRUE(wmi_->SetConfig(ReaderDevices()));
  // A report takes no single-instance guard, so the installed copy starts beside it.
  ReportFile report;
  Program elsewhere;
  ASSERT_TRUE(elsewhere.LaunchWith(QUILLON_EXE, L"--diagnose 600", report.Handle()));
  ASSERT_TRUE(WaitFor(kLong, [&] { return report.Text().find("Watching COM7") != std::string::npos; }))
      << report.Text();
  ASSERT_EQ(Msiexec(L"/i " + Package(QUILLON_MSI) + L" /qn"), 0u);
  InstalledCopy copy;
  ASSERT_TRUE(WaitForInstalledCopy(copy));

  EXPECT_EQ(Msiexec(L"/x " + Package(QUILLON_MSI) + L" /qn"), 0u);
  EXPECT_EQ(copy.ExitCode(), 1u);
  EXPECT_TRUE(elsewhere.Running()) << "the removal ended a Quillon it does not remove";
  EXPECT_EQ(RunCaptured(QUILLON_EXE, L"--exit").first, 0u);
  EXPECT_EQ(elsewhere.Wait(), 0u);
}

// Wine's installer always runs as the logged-on user, so LocalSystem is shown to
// the start's condition as Intune, Configuration Manager and Group Policy give it.
TEST(InstallerStart, NotStartedForLocalSystemNorWhenToldNotToOrOnRemoval) {
  MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
  MSIHANDLE package = 0;
  ASSERT_EQ(MsiOpenPackageW(WinePath(QUILLON_MSI).c_str(), &package), static_cast<UINT>(ERROR_SUCCESS));
  MSIHANDLE database = MsiGetActiveDatabase(package), view = 0, record = 0;
  wchar_t condition[512] = {};
  DWORD size = ARRAYSIZE(condition);
  ASSERT_EQ(MsiDatabaseOpenViewW(
                database,
                L"SELECT `Condition` FROM `InstallExecuteSequence` WHERE `Action` = 'LaunchQuillon'", &view),
            static_cast<UINT>(ERROR_SUCCESS));
  EXPECT_EQ(MsiViewExecute(view, 0), static_cast<UINT>(ERROR_SUCCESS));
  EXPECT_EQ(MsiViewFetch(view, &record), static_cast<UINT>(ERROR_SUCCESS));
  EXPECT_EQ(MsiRecordGetStringW(record, 1, condition, &size), static_cast<UINT>(ERROR_SUCCESS));
  const struct {
    const wchar_t* userSid;
    const wchar_t* noLaunch;
    const wchar_t* remove;
    MSICONDITION starts;
  } cases[] = {
      {L"S-1-5-21-1004336348-1177238915-682003330-1001", L"", L"", MSICONDITION_TRUE},
      {L"S-1-5-18", L"", L"", MSICONDITION_FALSE},
      {L"S-1-5-21-1004336348-1177238915-682003330-1001", L"1", L"", MSICONDITION_FALSE},
      {L"S-1-5-21-1004336348-1177238915-682003330-1001", L"", L"ALL", MSICONDITION_FALSE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.userSid) + L" NOLAUNCH=" + c.noLaunch + L" REMOVE=" +
                                        c.remove));
    MsiSetPropertyW(package, L"UserSID", c.userSid);
    MsiSetPropertyW(package, L"NOLAUNCH", c.noLaunch);
    MsiSetPropertyW(package, L"REMOVE", c.remove);
    EXPECT_EQ(MsiEvaluateConditionW(package, condition), c.starts)
        << testing::PrintToString(std::wstring(condition));
  }
  if (record) MsiCloseHandle(record);
  if (view) MsiCloseHandle(view);
  MsiCloseHandle(database);
  MsiCloseHandle(package);
}

}  // namespace
