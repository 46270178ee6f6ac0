#include "entry/CommandLine.h"

#include <gtest/gtest.h>

namespace {

using quillon::CommandKind;
using quillon::ParseCommandLine;

// Every start of the program goes through this table: a near miss must be a
// usage message, never the tray program, which would take the reader.
TEST(CommandLine, EverySwitchFormAndEveryNearMiss) {
  const struct {
    std::vector<std::wstring> args;
    CommandKind kind;
    int seconds;
  } cases[] = {
      {{}, CommandKind::kTray, 0},
      {{L"--exit"}, CommandKind::kExit, 0},
      {{L"--EXIT"}, CommandKind::kExit, 0},
      {{L"/exit"}, CommandKind::kExit, 0},
      {{L"/Exit"}, CommandKind::kExit, 0},
      {{L"--version"}, CommandKind::kVersion, 0},
      {{L"/VERSION"}, CommandKind::kVersion, 0},
      {{L"--help"}, CommandKind::kHelp, 0},
      {{L"/?"}, CommandKind::kHelp, 0},
      {{L"--diagnose"}, CommandKind::kDiagnose, 30},
      {{L"--diagnose", L"5"}, CommandKind::kDiagnose, 5},
      {{L"--diagnose=5"}, CommandKind::kDiagnose, 5},
      {{L"/Diagnose=0"}, CommandKind::kDiagnose, 0},
      {{L"/DIAGNOSE", L"86400"}, CommandKind::kDiagnose, 86400},
      {{L"--diagnose", L"007"}, CommandKind::kDiagnose, 7},
      // Near misses and extra arguments.
      {{L""}, CommandKind::kUsage, 0},
      {{L"exit"}, CommandKind::kUsage, 0},
      {{L"-exit"}, CommandKind::kUsage, 0},
      {{L"---exit"}, CommandKind::kUsage, 0},
      {{L"--exi"}, CommandKind::kUsage, 0},
      {{L"--exitnow"}, CommandKind::kUsage, 0},
      {{L"--exit "}, CommandKind::kUsage, 0},
      {{L"--exit", L"now"}, CommandKind::kUsage, 0},
      {{L"--exit=1"}, CommandKind::kUsage, 0},
      {{L"--version", L"--exit"}, CommandKind::kUsage, 0},
      {{L"x", L"--exit"}, CommandKind::kUsage, 0},
      {{L"/"}, CommandKind::kUsage, 0},
      {{L"--"}, CommandKind::kUsage, 0},
      {{L"--diagnose="}, CommandKind::kUsage, 0},
      {{L"--diagnose=abc"}, CommandKind::kUsage, 0},
      {{L"--diagnose", L"abc"}, CommandKind::kUsage, 0},
      {{L"--diagnose", L"-5"}, CommandKind::kUsage, 0},
      {{L"--diagnose", L"+5"}, CommandKind::kUsage, 0},
      {{L"--diagnose", L"86401"}, CommandKind::kUsage, 0},
      {{L"--diagnose", L"4294967296"}, CommandKind::kUsage, 0},
      {{L"--diagnose", L"3", L"4"}, CommandKind::kUsage, 0},
      {{L"--diagnose=3", L"4"}, CommandKind::kUsage, 0},
      {{L"--diagnose", L""}, CommandKind::kUsage, 0},
      {{L"--diagnose5"}, CommandKind::kUsage, 0},
      {{L"--d\u0130agnose"}, CommandKind::kUsage, 0},  // no locale folds another letter into a switch
  };
  for (const auto& c : cases) {
    std::wstring shown;
    for (const std::wstring& a : c.args) shown += L"[" + a + L"]";
    SCOPED_TRACE(testing::PrintToString(shown));
    const quillon::Command command = ParseCommandLine(c.args);
    EXPECT_EQ(command.kind, c.kind);
    if (c.kind == CommandKind::kDiagnose) {
      EXPECT_EQ(command.seconds, c.seconds);
    }
  }
}

}  // namespace
