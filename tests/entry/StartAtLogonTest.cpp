#include "entry/StartAtLogon.h"

#include <gtest/gtest.h>

#include "entry/SetupDecisions.h"

namespace {

using quillon::KeyMode;
using quillon::KeySuffix;
using quillon::StartupApproval;

// A Run value as an installer, a person or another tool may have written it.
TEST(StartAtLogon, RunValuesSplitIntoTheProgramAndItsArguments) {
  const struct {
    const wchar_t* value;
    const wchar_t* exe;
    std::vector<std::wstring> args;
  } cases[] = {
      {L"\"C:\\Program Files\\Quillon\\Quillon.exe\"", L"C:\\Program Files\\Quillon\\Quillon.exe", {}},
      {L"\"C:\\Q\\Quillon.exe\" --keys layout --suffix enter",
       L"C:\\Q\\Quillon.exe",
       {L"--keys", L"layout", L"--suffix", L"enter"}},
      {L"\"C:\\Q\\Quillon.exe\"--keys=layout", L"C:\\Q\\Quillon.exe", {L"--keys=layout"}},
      {L"  \"C:\\Q\\Quillon.exe\" \t --suffix\ttab  ", L"C:\\Q\\Quillon.exe", {L"--suffix", L"tab"}},
      {L"\"C:\\Q\\Quillon.exe\" \"--keys\" \"lay\"out", L"C:\\Q\\Quillon.exe", {L"--keys", L"layout"}},
      {L"\"C:\\Q\\Quillon.exe\" \"\"", L"C:\\Q\\Quillon.exe", {L""}},
      // Unquoted: a path with spaces ends at ".exe", in any case.
      {L"C:\\Program Files\\Quillon\\Quillon.EXE --keys layout",
       L"C:\\Program Files\\Quillon\\Quillon.EXE",
       {L"--keys", L"layout"}},
      {L"C:\\Program Files\\Quillon\\Quillon.exe", L"C:\\Program Files\\Quillon\\Quillon.exe", {}},
      {L"C:\\x.exes\\Quillon.exe /keys=layout", L"C:\\x.exes\\Quillon.exe", {L"/keys=layout"}},
      {L"C:\\Tools\\quillon --keys layout", L"C:\\Tools\\quillon", {L"--keys", L"layout"}},
      // A quote never closed takes the rest as the path.
      {L"\"C:\\Q\\Quillon.exe --keys layout", L"C:\\Q\\Quillon.exe --keys layout", {}},
      {L"", L"", {}},
      {L"   ", L"", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.value)));
    const quillon::RunCommand run = quillon::SplitRunCommand(c.value);
    EXPECT_EQ(run.exe, c.exe);
    EXPECT_EQ(run.args, c.args);
  }
}

// What an upgrade keeps: only a Quillon.exe started as the tray program.
TEST(StartAtLogon, TheTypingOfARunValue) {
  const struct {
    const wchar_t* value;
    bool quillon;
    KeyMode keys;
    KeySuffix suffix;
  } cases[] = {
      {L"\"C:\\Q\\Quillon.exe\" --keys layout --suffix enter", true, KeyMode::kLayout, KeySuffix::kEnter},
      {L"\"C:\\Q\\QUILLON.EXE\" --suffix=tab", true, KeyMode::kUnicode, KeySuffix::kTab},
      {L"\"C:\\Q\\Quillon.exe\"", true, KeyMode::kUnicode, KeySuffix::kNone},
      {L"C:\\Program Files\\Quillon\\Quillon.exe --keys layout", true, KeyMode::kLayout, KeySuffix::kNone},
      {L"\"C:\\Q\\Quillon.exe\" --diagnose", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"\"C:\\Q\\Quillon.exe\" --keys", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"\"C:\\Q\\NotQuillon.exe\" --keys layout", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"\"C:\\Q\\Quillon.com\" --keys layout", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"Quillon.exe --keys layout", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"", false, KeyMode::kUnicode, KeySuffix::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.value)));
    quillon::TypingOptions typing;
    EXPECT_EQ(quillon::TypingOfRunValue(c.value, &typing), c.quillon);
    EXPECT_EQ(typing.keys, c.keys);
    EXPECT_EQ(typing.suffix, c.suffix);
  }
}

TEST(StartAtLogon, StartupAppsRecordsReadByTheirFirstByte) {
  const struct {
    std::vector<unsigned char> data;
    StartupApproval approval;
  } cases[] = {
      {{}, StartupApproval::kNotRecorded},
      {{0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, StartupApproval::kOn},
      {{0x03, 0, 0, 0, 0x10, 0x2A, 0x7B, 0x51, 0x3C, 0x8E, 0xDA, 0x01}, StartupApproval::kOff},
      {{0x03}, StartupApproval::kOff},
      {{0x00, 0x03}, StartupApproval::kUnknown},
      {{0x06, 0, 0, 0}, StartupApproval::kUnknown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.data));
    EXPECT_EQ(quillon::ReadStartupApproval(c.data), c.approval);
  }
}

// KEYS and SUFFIX take what the program's switches take, nothing else.
TEST(SetupDecisions, TypingPropertiesAreTheProgramsSwitchValues) {
  const struct {
    const wchar_t* keys;
    const wchar_t* suffix;
    bool accepted;
    KeyMode mode;
    KeySuffix after;
  } cases[] = {
      {L"", L"", true, KeyMode::kUnicode, KeySuffix::kNone},
      {L"layout", L"", true, KeyMode::kLayout, KeySuffix::kNone},
      {L"Layout", L"ENTER", true, KeyMode::kLayout, KeySuffix::kEnter},
      {L"unicode", L"tab", true, KeyMode::kUnicode, KeySuffix::kTab},
      {L"", L"enter", true, KeyMode::kUnicode, KeySuffix::kEnter},
      {L"bogus", L"", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"layout", L"none", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"layout --suffix tab", L"", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"--suffix", L"tab", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"=layout", L"", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L"", L"enter tab", false, KeyMode::kUnicode, KeySuffix::kNone},
      {L" layout", L"", false, KeyMode::kUnicode, KeySuffix::kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.keys) + L"|" + c.suffix));
    quillon::TypingOptions typing;
    typing.keys = KeyMode::kLayout;  // whatever was there before is not kept on a refusal
    EXPECT_EQ(quillon::TypingFromProperties(c.keys, c.suffix, &typing), c.accepted);
    EXPECT_EQ(typing.keys, c.mode);
    EXPECT_EQ(typing.suffix, c.after);
  }
}

TEST(SetupDecisions, TheContextOfAnInstallAndOfItsRemoval) {
  const struct {
    const wchar_t* allUsers;
    bool maintenance, forUser, forMachine;
    bool machine;
  } cases[] = {
      // First installs and upgrades go by ALLUSERS.
      {L"", false, false, false, false},
      {L"1", false, false, false, true},
      {L"2", false, false, false, true},  // Wine's reading; Windows has made it 1 or "" by now
      {L"0", false, false, false, false},
      {L"yes", false, false, false, false},
      // A new version beside another context's copy still goes by ALLUSERS.
      {L"1", false, true, false, true},
      {L"", false, false, true, false},
      // Removal and repair go by the registration, the user's first.
      {L"", true, false, true, true},
      {L"1", true, true, false, false},
      {L"", true, true, true, false},
      {L"1", true, false, false, true},  // registered nowhere readable: ALLUSERS decides
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "ALLUSERS=" << testing::PrintToString(std::wstring(c.allUsers))
                                    << " maintenance " << c.maintenance << " user " << c.forUser
                                    << " machine " << c.forMachine);
    quillon::SetupContext context;
    context.allUsers = c.allUsers;
    context.maintenance = c.maintenance;
    context.registeredForUser = c.forUser;
    context.registeredForMachine = c.forMachine;
    EXPECT_EQ(quillon::InstallsForMachine(context), c.machine);
  }
}

}  // namespace
