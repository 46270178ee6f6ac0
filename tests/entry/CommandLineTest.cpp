#include "entry/CommandLine.h"

#include <gtest/gtest.h>

namespace {

using quillon::CommandKind;
using quillon::KeyMode;
using quillon::KeySuffix;
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

// The tray program's typing switches: each once, in either order, with one of its
// values; anything else is the usage line, and never a tray copy with a default
// that nobody asked for.
TEST(CommandLine, TypingSwitchesAndTheirNearMisses) {
  const struct {
    std::vector<std::wstring> args;
    bool tray;
    KeyMode keys;
    KeySuffix suffix;
  } cases[] = {
      {{}, true, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys", L"layout"}, true, KeyMode::kLayout, KeySuffix::kNone},
      {{L"--keys=layout"}, true, KeyMode::kLayout, KeySuffix::kNone},
      {{L"/KEYS", L"Layout"}, true, KeyMode::kLayout, KeySuffix::kNone},
      {{L"--keys", L"unicode"}, true, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--suffix", L"enter"}, true, KeyMode::kUnicode, KeySuffix::kEnter},
      {{L"--suffix=TAB"}, true, KeyMode::kUnicode, KeySuffix::kTab},
      {{L"--keys", L"layout", L"--suffix", L"enter"}, true, KeyMode::kLayout, KeySuffix::kEnter},
      {{L"--suffix=tab", L"--keys=layout"}, true, KeyMode::kLayout, KeySuffix::kTab},
      {{L"--suffix", L"tab", L"/keys=unicode"}, true, KeyMode::kUnicode, KeySuffix::kTab},
      // Near misses.
      {{L"--keys"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys="}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys", L""}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys", L"scancode"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys", L"layouts"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys=layout", L"extra"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys", L"layout", L"--keys", L"layout"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys", L"layout", L"--keys=unicode"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--suffix", L"enter", L"--suffix", L"tab"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--suffix", L"none"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--suffix", L"--keys", L"layout"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys", L"layout", L"--exit"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--keys", L"layout", L"--diagnose"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"--diagnose", L"--keys", L"layout"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"-keys", L"layout"}, false, KeyMode::kUnicode, KeySuffix::kNone},
      {{L"keys", L"layout"}, false, KeyMode::kUnicode, KeySuffix::kNone},
  };
  for (const auto& c : cases) {
    std::wstring shown;
    for (const std::wstring& a : c.args) shown += L"[" + a + L"]";
    SCOPED_TRACE(testing::PrintToString(shown));
    const quillon::Command command = ParseCommandLine(c.args);
    EXPECT_EQ(command.kind, c.tray ? CommandKind::kTray : CommandKind::kUsage);
    if (!c.tray) continue;
    EXPECT_EQ(command.typing.keys, c.keys);
    EXPECT_EQ(command.typing.suffix, c.suffix);
    // What the console companion passes on reads back as the same options.
    std::vector<std::wstring> passed;
    const std::wstring text = quillon::TypingArguments(command.typing);
    for (size_t at = 0; at < text.size();) {
      const size_t space = text.find(L' ', at);
      passed.push_back(text.substr(at, space == std::wstring::npos ? std::wstring::npos : space - at));
      at = space == std::wstring::npos ? text.size() : space + 1;
    }
    const quillon::Command again = ParseCommandLine(passed);
    EXPECT_EQ(again.kind, CommandKind::kTray);
    EXPECT_EQ(again.typing.keys, c.keys);
    EXPECT_EQ(again.typing.suffix, c.suffix);
  }
}

}  // namespace
