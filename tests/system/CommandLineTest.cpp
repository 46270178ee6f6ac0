// Black box: the command line of Quillon.exe and of its console companion
// Quillon.com: every switch form, --exit against the tray copy, a running
// diagnose and a copy whose end is held up, and the companion in Wine's cmd.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/fakewmi/FakeWmi.h"
#include "tests/support/reader/FakeReader.h"
#include "tests/system/ReaderTestSupport.h"
#include "tests/system/SystemTestSupport.h"

namespace {

using namespace quillon_system;
using quillon::fakewmi::FakeWmiConfig;
using quillon::fakewmi::ScopedFakeWmi;
using quillon_test::FakeReader;

constexpr wchar_t kHoldEvent[] = L"Local\\QuillonCommandLine.QueryHold";
constexpr char kUsage[] =
    "usage: Quillon [--keys unicode|layout] [--suffix enter|tab] | --diagnose [seconds] | --exit | --version "
    "| --help";

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string FirstLine(const std::string& text) { return text.substr(0, text.find("\r\n")); }

// A top-level window of Quillon's tray copy, in any process.
HWND AnyTrayDialog() { return FindWindowW(L"#32770", L"Quillon"); }

std::string TempPath(const char* name) {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  return std::string(dir) + name;
}

class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(reader_.Connected()) << reader_.LastError();
    wmi_.reset(new ScopedFakeWmi());
    ASSERT_EQ(wmi_->Result(), S_OK);
  }
  void TearDown() override {
    RunExit();  // whatever a failed test left running
    reader_.Unplug(kReaderPort);
    wmi_.reset();
  }
  // `Quillon --exit` run to its end; its status.
  static DWORD RunExit(const char* exe = QUILLON_COM) { return RunCaptured(exe, L"--exit").first; }

  FakeReader reader_;
  std::unique_ptr<ScopedFakeWmi> wmi_;
};

// Every form a script or a typo gives, through both programs. No reader is
// listed, so a diagnose ends at once with 1; a tray copy started by mistake would
// run on and show here as a status that never comes.
TEST_F(CommandLine, EverySwitchFormThroughBothPrograms) {
  const std::string report = "Quillon " QUILLON_VERSION " diagnostic report";
  const struct {
    const wchar_t* args;
    DWORD status;
    std::string firstLine;  // a prefix; empty: no output at all
  } cases[] = {
      {L"\"--exit\"", 0, ""},
      {L"--EXIT", 0, ""},
      {L"/exit", 0, ""},
      {L"--diagnose=0", 1, report},
      {L"/DIAGNOSE 0", 1, report},
      {L"\"--Diagnose\" \"0\"", 1, report},
      {L"--version", 0, "Quillon " QUILLON_VERSION},
      {L"/?", 0, "Quillon " QUILLON_VERSION ": types"},
      {L"--diagnose=abc", 5, kUsage},
      {L"--diagnose 0 0", 5, kUsage},
      {L"--exit now", 5, kUsage},
      {L"-exit", 5, kUsage},
      {L"--bogus", 5, kUsage},
      {L"\"\"", 5, kUsage},
      {L"--keys scancode", 5, kUsage},
      {L"--suffix=none", 5, kUsage},
      {L"--keys layout --keys=layout", 5, kUsage},
      {L"--suffix enter --diagnose 0", 5, kUsage},
  };
  for (const char* exe : {QUILLON_EXE, QUILLON_COM}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << exe << " " << testing::PrintToString(std::wstring(c.args)));
      const std::pair<DWORD, std::string> run = RunCaptured(exe, c.args);
      EXPECT_EQ(run.first, c.status);
      if (c.firstLine.empty()) {
        EXPECT_EQ(run.second, "");
      } else {
        EXPECT_EQ(FirstLine(run.second).rfind(c.firstLine, 0), 0u) << run.second;
      }
      if (c.firstLine == kUsage) {
        EXPECT_EQ(run.second, FirstLine(run.second) + "\r\n") << "one usage line, nothing else";
      }
    }
  }
  EXPECT_EQ(AnyTrayDialog(), nullptr);
}

// The help names the typing switches, what the layout mode is for and what it costs.
TEST_F(CommandLine, HelpNamesTheTypingSwitches) {
  const std::pair<DWORD, std::string> run = RunCaptured(QUILLON_COM, L"--help");
  EXPECT_EQ(run.first, 0u);
  for (const char* part :
       {"--keys unicode", "--keys layout", "--suffix enter|tab", "remote desktop", "VNC",
        "It follows the layout of the", "ordinary edit fields do not need it", "the error sound"})
    EXPECT_TRUE(Has(run.second, part)) << part << "\n" << run.second;
}

TEST_F(CommandLine, ExitEndsTheTrayCopyAndARunningDiagnoseEachClosingThePort) {
  ASSERT_TRUE(reader_.Plug(kReaderPort)) << reader_.LastError();
  ASSERT_TRUE(wmi_->SetConfig(ReaderDevices()));
  ReportFile report;
  ASSERT_NE(report.Handle(), INVALID_HANDLE_VALUE);
  Program diagnose;
  ASSERT_TRUE(diagnose.LaunchWith(QUILLON_COM, L"--diagnose 600", report.Handle()));
  ASSERT_TRUE(WaitFor(kLong, [&] { return Has(report.Text(), "Watching COM7"); })) << report.Text();
  // Wine lets the tray copy open the port the diagnose holds; Windows would not.
  Program tray;
  ASSERT_TRUE(tray.Start(QUILLON_EXE));
  ASSERT_TRUE(reader_.WaitOpeners(kReaderPort, 2, kLong)) << reader_.LastError();

  EXPECT_EQ(RunExit(QUILLON_EXE), 0u);
  // --exit returns once both have ended.
  EXPECT_FALSE(diagnose.Running());
  EXPECT_FALSE(tray.Running());
  EXPECT_EQ(diagnose.Wait(), 0u);
  EXPECT_EQ(tray.Wait(), 1u);
  const std::string text = report.Text();
  EXPECT_TRUE(Has(text, "asked to end (Quillon --exit, or the session ends): stopped watching\r\n")) << text;
  EXPECT_TRUE(Has(text, "Watched COM7 for ")) << text;
  EXPECT_TRUE(reader_.WaitOpeners(kReaderPort, 0, kLong)) << "the port stayed open";
}

// The tray copy's exit waits for a discovery run held in the device query. --exit
// must not return before that copy has ended.
TEST_F(CommandLine, ExitReturnsOnlyOnceAHeldCopyHasEnded) {
  HANDLE hold = CreateEventW(nullptr, TRUE, FALSE, kHoldEvent);
  ASSERT_NE(hold, nullptr);
  FakeWmiConfig held = ReaderDevices();
  held.queryHoldEvent = kHoldEvent;
  ASSERT_TRUE(wmi_->SetConfig(held));
  Program tray;
  ASSERT_TRUE(tray.Start(QUILLON_EXE));
  ASSERT_TRUE(wmi_->Log().WaitForCount("query-begin", 1, kLong));

  Program exit;
  ASSERT_TRUE(exit.LaunchWith(QUILLON_EXE, L"--exit", nullptr));
  const HWND dialog = tray.Dialog();
  ASSERT_TRUE(WaitFor(kLong, [&] { return !IsWindow(dialog); }));
  // The copy has taken the Exit command and waits for its discovery run. An
  // --exit that returned without waiting would end within this bound; one that
  // waits cannot, whatever the machine's speed.
  EXPECT_EQ(WaitForSingleObject(exit.Process(), 2000), static_cast<DWORD>(WAIT_TIMEOUT))
      << "--exit returned while the copy still ran";
  EXPECT_TRUE(tray.Running());
  SetEvent(hold);
  EXPECT_EQ(exit.Wait(), 0u);
  EXPECT_FALSE(tray.Running()) << "--exit returned before the copy ended";
  EXPECT_EQ(tray.Wait(), 1u);
  CloseHandle(hold);
}

// "Quillon" alone returns at once and leaves the tray copy running. That copy must
// hold none of the companion's handles: a script that reads the companion's output
// to its end, or deletes the file it went to, would otherwise wait for the tray copy.
TEST_F(CommandLine, TheTrayCopyHoldsNoneOfTheCompanionsHandles) {
  OutputPipe output;
  ASSERT_TRUE(output.Created());
  Program companion;
  ASSERT_TRUE(companion.LaunchWith(QUILLON_COM, nullptr, output.WriteEnd()));
  output.CloseWriteEnd();
  EXPECT_EQ(companion.Wait(), 0u);
  ASSERT_TRUE(WaitFor(kLong, [] { return AnyTrayDialog() != nullptr; })) << "no tray copy started";
  EXPECT_TRUE(WaitFor(kLong, [&] { return output.Ended(); })) << "the tray copy holds the companion's output";
  EXPECT_NE(AnyTrayDialog(), nullptr) << "the tray copy ended before the check";
  EXPECT_EQ(RunExit(), 0u);
  EXPECT_EQ(AnyTrayDialog(), nullptr);
}

// The companion in an interactive cmd, typed as a person types it: cmd waits for
// it, its status reaches %ERRORLEVEL%, a redirected report is whole and closed
// when the prompt is back, nul swallows it; "Quillon" alone starts the tray copy.
TEST_F(CommandLine, CompanionInAnInteractiveCmd) {
  CmdSession cmd;
  ASSERT_TRUE(cmd.Started());
  std::string dir = "Z:" + std::string(QUILLON_COM);
  dir = dir.substr(0, dir.rfind('/'));
  for (char& c : dir)
    if (c == '/') c = '\\';
  const std::string report = TempPath("quillon-cmd-report.txt");
  ASSERT_EQ(cmd.Run("cd /d " + dir), "");
  const struct {
    std::string command;
    std::string output;  // a prefix; exact when `exact`
    bool exact;
  } steps[] = {
      {"Quillon --diagnose abc", kUsage, false},
      {"echo status=%ERRORLEVEL%", "status=5", true},
      {"Quillon /diagnose=0 > \"" + report + "\"", "", true},
      {"echo status=%ERRORLEVEL%", "status=1", true},
      {"type \"" + report + "\"", "Quillon " QUILLON_VERSION " diagnostic report", false},
      {"Quillon --diagnose 0 > nul", "", true},
      {"echo status=%ERRORLEVEL%", "status=1", true},
      {"Quillon --version", "Quillon " QUILLON_VERSION, true},
      {"Quillon", "", true},
      {"echo status=%ERRORLEVEL%", "status=0", true},
  };
  std::string typed;
  for (const auto& s : steps) {
    SCOPED_TRACE(s.command);
    const std::string output = cmd.Run(s.command);
    if (s.exact)
      EXPECT_EQ(output, s.output);
    else
      EXPECT_EQ(output.rfind(s.output, 0), 0u) << output;
    if (s.command.rfind("type", 0) == 0) typed = output;
  }
  // The whole report: its last line is written before the prompt comes back.
  EXPECT_TRUE(Has(typed, "No reader found.")) << typed;
  ASSERT_TRUE(WaitFor(kLong, [] { return AnyTrayDialog() != nullptr; }))
      << "Quillon alone started no tray copy";
  EXPECT_EQ(cmd.Run("Quillon --exit"), "");
  EXPECT_EQ(cmd.Run("echo status=%ERRORLEVEL%"), "status=0");
  EXPECT_EQ(AnyTrayDialog(), nullptr);
  DeleteFileA(report.c_str());
}

}  // namespace
