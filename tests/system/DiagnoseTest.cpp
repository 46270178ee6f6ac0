// Black box: "Quillon.exe --diagnose N" with its standard output in a file or a
// pipe, against the test WMI provider and the fake reader's COM7.
#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/fakewmi/FakeWmi.h"
#include "tests/support/reader/FakeReader.h"
#include "tests/support/targetwindow/TargetWindow.h"
#include "tests/system/ReaderTestSupport.h"
#include "tests/system/SystemTestSupport.h"

namespace {

using namespace quillon_system;
using quillon::fakewmi::FakeWmiConfig;
using quillon::fakewmi::ScopedFakeWmi;
using quillon_test::FakeReader;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The live view as the report gives it: every byte in order, and the card numbers.
void ParseLive(const std::string& report, std::string* bytes, std::vector<std::string>* cards) {
  for (const std::string& line : Lines(report)) {
    const size_t b = line.find(" s  bytes "), c = line.find(" s  card ");
    if (b != std::string::npos) {
      std::istringstream hex(line.substr(b + 10));
      for (unsigned value; hex >> std::hex >> value;) bytes->push_back(static_cast<char>(value));
    } else if (c != std::string::npos) {
      cards->push_back(line.substr(c + 9));
    }
  }
}

// A digit's line of the typing section on a US layout: "  1  key 0x31, scan code 0x02".
std::string FormatLine(int digit) {
  char line[64];
  snprintf(line, sizeof(line), "  %d  key 0x%02X, scan code 0x%02X\r\n", digit, '0' + digit,
           digit == 0 ? 0x0B : digit + 1);
  return line;
}

class Diagnose : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(reader_.Connected()) << reader_.LastError();
    ASSERT_TRUE(reader_.Plug(kReaderPort)) << reader_.LastError();
  }
  void TearDown() override { reader_.Unplug(kReaderPort); }

  FakeReader reader_;
};

TEST_F(Diagnose, ReaderPresentListsDevicesOpensAndReportsEveryByteAndExactlyTheCards) {
  FakeWmiConfig config = ReaderDevices();
  config.Add(L"USB Serial Port (COM9)", L"USBSER\\VID_0403+PID_8288+C3D4\\0000");
  ScopedFakeWmi wmi(config);
  ASSERT_EQ(wmi.Result(), S_OK);
  TargetWindow target;
  ASSERT_TRUE(StartTargetWindow(WinePath(TARGET_WINDOW_EXE), L"Quillon diagnose", target));

  ReportFile report;
  Program diagnose;
  ASSERT_TRUE(diagnose.LaunchWith(QUILLON_EXE, L"--diagnose 4", report.Handle()));
  // The port is open and watched once the report says so.
  ASSERT_TRUE(WaitFor(kLong, [&] { return Has(report.Text(), "Watching COM7"); })) << report.Text();
  EXPECT_EQ(reader_.Openers(kReaderPort), 1);
  // A 5-byte card, noise, a 9-byte card.
  const std::string stream = Bytes(
      {0x12, 0x34, 0x56, 0x78, 0x08, 0xAA, 0x55, 0x66, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x08});
  ASSERT_TRUE(reader_.Write(kReaderPort, stream)) << reader_.LastError();

  EXPECT_EQ(diagnose.Wait(), 0u);
  const std::string text = report.Text();
  EXPECT_TRUE(Has(text,
                  "  Communications Port (COM1)\r\n    device id: ACPI\\PNP0501\\1\r\n"
                  "    not the reader: the id does not carry VID_0403+PID_8288\r\n"))
      << text;
  EXPECT_TRUE(Has(text,
                  "  USB Serial Port (COM7)\r\n    device id: USBSER\\VID_0403+PID_8288+A1B2\\0000\r\n"
                  "    the reader, on COM7\r\n"));
  EXPECT_TRUE(Has(text,
                  "  USB Serial Port (COM9)\r\n    device id: USBSER\\VID_0403+PID_8288+C3D4\\0000\r\n"
                  "    also matches the reader (COM9), but Quillon uses the first one only\r\n"));
  EXPECT_FALSE(Has(text, "USB Input Device"));  // no "(COM" in its name
  EXPECT_TRUE(Has(text, "Quillon would open COM7.\r\n"));
  EXPECT_TRUE(Has(text, "Opened COM7 at 9600 8N1.\r\n"));
  std::string bytes;
  std::vector<std::string> cards;
  ParseLive(text, &bytes, &cards);
  EXPECT_EQ(bytes, stream);
  EXPECT_EQ(cards, (std::vector<std::string>{"305419896", "72623859790382856"}));
  EXPECT_TRUE(Has(text, "Watched COM7 for 4 s: 17 bytes, 2 cards.\r\n")) << text;
  EXPECT_EQ(reader_.Openers(kReaderPort), 0);
  EXPECT_EQ(GetTargetText(target.edit), L"");  // it never types
  // The typing section: the window in front, the keys --keys layout would press on
  // its layout (US here), and that Windows lets Quillon type into it.
  EXPECT_TRUE(Has(text, "The window in front: \"Quillon diagnose\", of ")) << text;
  EXPECT_TRUE(Has(text, "With --keys layout a card would be typed on its keyboard layout 04090409 (English"));
  for (int d = 0; d <= 9; ++d) {
    const std::string line = FormatLine(d);
    EXPECT_TRUE(Has(text, line)) << line;
  }
  EXPECT_TRUE(Has(text, "It could be typed into: its program runs at ")) << text;
  StopTargetWindow(target);
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The help desk sees the reader come back: a resume (both of its broadcasts), then the
// reader's own port arriving again, each after the reader came back as a new device.
// Each is said, the port is opened once again on the new line, and its cards show.
TEST_F(Diagnose, AResumeAndTheReadersReturnAreSaidAndThePortIsReopened) {
  ScopedFakeWmi wmi(ReaderDevices());
  ASSERT_EQ(wmi.Result(), S_OK);
  ReportFile report;
  Program diagnose;
  ASSERT_TRUE(diagnose.LaunchWith(QUILLON_EXE, L"--diagnose 120", report.Handle()));
  ASSERT_TRUE(WaitFor(kLong, [&] { return Has(report.Text(), "Watching COM7"); })) << report.Text();
  const HWND window = FindTopLevel(diagnose.Pid(), L"QuillonReport", nullptr, false);
  ASSERT_NE(window, nullptr);
  auto reopened = [&](size_t times) {
    return WaitFor(kLong, [&] { return Occurrences(report.Text(), "  reopened COM7\r\n") >= times; }) &&
           reader_.WaitOpeners(kReaderPort, 1, kLong) && reader_.OldOpeners(kReaderPort) == 0;
  };

  ASSERT_TRUE(reader_.Renew(kReaderPort)) << reader_.LastError();
  EXPECT_EQ(SendAsSystem(window, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0), 1u);
  EXPECT_EQ(SendAsSystem(window, WM_POWERBROADCAST, PBT_APMRESUMESUSPEND, 0), 1u);
  ASSERT_TRUE(reopened(1)) << report.Text();
  ASSERT_TRUE(reader_.Write(kReaderPort, Bytes({0x12, 0x34, 0x56, 0x78, 0x08})));
  ASSERT_TRUE(WaitFor(kLong, [&] { return Has(report.Text(), "card 305419896"); })) << report.Text();

  ASSERT_TRUE(reader_.Renew(kReaderPort)) << reader_.LastError();
  PortRecord again(L"COM7");
  EXPECT_EQ(SendAsSystem(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, again.Param()), 1u);
  ASSERT_TRUE(reopened(2)) << report.Text();
  ASSERT_TRUE(reader_.Write(kReaderPort, Bytes({0xDE, 0xAD, 0xBE, 0xEF, 0x22})));
  ASSERT_TRUE(WaitFor(kLong, [&] { return Has(report.Text(), "card 3735928559"); })) << report.Text();

  PostMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_EQ(diagnose.Wait(), 0u);
  const std::string text = report.Text();
  EXPECT_TRUE(Has(text, "  the system resumed from sleep: reopening COM7, as Quillon does\r\n")) << text;
  EXPECT_TRUE(Has(text, "  the system resumed (the same resume, now with a person at the desk)\r\n")) << text;
  EXPECT_TRUE(Has(text, "  COM7 arrived again (the reader came back as a new device): reopening it")) << text;
  EXPECT_EQ(Occurrences(text, "  reopened COM7\r\n"), 2u) << text;
  EXPECT_TRUE(Has(text, "2 cards.\r\n")) << text;
}

// The system's text for an error, as far as the report must quote it.
std::string SystemText(DWORD error) {
  char text[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                 sizeof(text), nullptr);
  return std::string(text).substr(0, 10);
}

// No reader; WMI failing at the connection or the query; a listed port that is
// gone (Wine lets a second program open a held port, so "access denied" cannot
// be made here). Each said in words with its status, and no port opened.
TEST_F(Diagnose, WhatGoesWrongIsSaidWithItsStatus) {
  struct Case {
    const char* what;
    FakeWmiConfig config;
    bool plugged;
    DWORD status;
    std::vector<std::string> said;
  };
  FakeWmiConfig noReader;
  noReader.Add(L"Communications Port (COM1)", L"ACPI\\PNP0501\\1")
      .Add(L"USB Serial Port (COM7)", L"USB\\VID_067B+PID_2303\\5");
  FakeWmiConfig queryFails = ReaderDevices();
  queryFails.queryFailure = E_ACCESSDENIED;
  FakeWmiConfig bindFails = ReaderDevices();
  bindFails.bindFailure = HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE);
  const Case cases[] = {
      {"no reader", noReader, true, 1, {"not the reader", "No reader found."}},
      {"query fails", queryFails, true, 3, {"error 0x80070005", "Error:    " + SystemText(E_ACCESSDENIED)}},
      {"bind fails",
       bindFails,
       true,
       3,
       {"error 0x800706BA", "Error:    " + SystemText(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE))}},
      {"port gone",
       ReaderDevices(),
       false,
       2,
       {"Opening COM7 at 9600 8N1 failed: error 2, " + SystemText(ERROR_FILE_NOT_FOUND)}}};
  ScopedFakeWmi wmi;
  ASSERT_EQ(wmi.Result(), S_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(wmi.SetConfig(c.config));
    ASSERT_TRUE(c.plugged ? reader_.Plug(kReaderPort) : reader_.Unplug(kReaderPort));
    ReportFile report;
    Program diagnose;
    ASSERT_TRUE(diagnose.LaunchWith(QUILLON_EXE, L"--diagnose 3", report.Handle()));
    EXPECT_EQ(diagnose.Wait(), c.status);
    const std::string text = report.Text();
    for (const std::string& part : c.said) EXPECT_TRUE(Has(text, part)) << part << "\n" << text;
    EXPECT_FALSE(Has(text, "Opened")) << text;
    if (c.plugged) {
      EXPECT_EQ(reader_.Openers(kReaderPort), 0);
    }
  }
}

// The running copy keeps the line: the diagnostic does not open it, and cards
// presented while it runs and after it ended are typed.
TEST_F(Diagnose, ARunningQuillonKeepsTheReader) {
  ScopedFakeWmi wmi(ReaderDevices());
  ASSERT_EQ(wmi.Result(), S_OK);
  Program quillon;
  ASSERT_TRUE(quillon.Start(QUILLON_EXE));
  TargetWindow target;
  ASSERT_TRUE(StartTargetWindow(WinePath(TARGET_WINDOW_EXE), L"Quillon diagnose", target));
  ASSERT_TRUE(reader_.WaitOpeners(kReaderPort, 1, kLong)) << reader_.LastError();
  ASSERT_TRUE(SyncWithOpen(reader_, kReaderPort)) << reader_.LastError();

  CardMaker cards;
  std::wstring expected;
  ReportFile report;
  Program diagnose;
  ASSERT_TRUE(diagnose.LaunchWith(QUILLON_EXE, L"--diagnose 3", report.Handle()));
  ASSERT_TRUE(reader_.Write(kReaderPort, cards.Next(&expected)));
  int most = 0;
  WaitFor(kLong, [&] {
    most = std::max(most, reader_.Openers(kReaderPort));
    return !diagnose.Running();
  });
  EXPECT_EQ(diagnose.Wait(), 4u);
  EXPECT_EQ(most, 1);
  EXPECT_TRUE(Has(report.Text(), "Another Quillon is running in this logon session.")) << report.Text();
  EXPECT_TRUE(Has(report.Text(), "The running Quillon holds the reader")) << report.Text();
  EXPECT_FALSE(Has(report.Text(), "Opened")) << report.Text();

  ASSERT_TRUE(reader_.Write(kReaderPort, cards.Next(&expected)));
  WaitFor(kLong, [&] { return GetTargetText(target.edit).size() >= expected.size(); });
  EXPECT_EQ(GetTargetText(target.edit), expected);
  EXPECT_EQ(reader_.Openers(kReaderPort), 1);
  quillon.Stop();
  StopTargetWindow(target);
}

// The start at logon as Windows would see it: each Run value named Quillon, its
// program, Startup apps' record and the typing it starts with.
TEST_F(Diagnose, SaysWhetherAndHowQuillonStartsAtLogon) {
  constexpr wchar_t kRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
  constexpr wchar_t kApproved[] =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\StartupApproved\\Run";
  const std::wstring exe = L"\"" + WinePath(QUILLON_EXE) + L"\"";
  const std::string exeShown = "    program: " + std::string(exe.begin() + 1, exe.end() - 1) + " (present)";
  const struct {
    const char* name;
    std::wstring user, machine;                // the Run values, empty for none
    std::vector<unsigned char> approved;       // the user's Startup apps record, empty for none
    std::vector<std::string> shown, notShown;  // lines that begin so; text nowhere
  } cases[] = {
      {"no value",
       L"",
       L"",
       {},
       {"  HKCU Run: no value \"Quillon\"", "  HKLM Run: no value \"Quillon\"",
        "  Nothing starts Quillon at logon."},
       {}},
      {"the user's, with switches",
       exe + L" --keys layout --suffix tab",
       L"",
       {},
       {exeShown, "    Startup apps: not switched off", "    typing: keys layout, Tab after the number"},
       {"Nothing starts"}},
      {"a program that is gone",
       L"\"C:\\nowhere\\Quillon.exe\"",
       L"",
       {},
       {"    program: C:\\nowhere\\Quillon.exe (MISSING: nothing starts at logon)",
        "  Nothing starts Quillon at logon."},
       {}},
      {"switched off in Startup apps",
       exe,
       L"",
       {0x03, 0, 0, 0, 0x10, 0x2A, 0x7B, 0x51, 0x3C, 0x8E, 0xDA, 0x01},
       {exeShown, "    Startup apps: SWITCHED OFF (HKCU ...\\StartupApproved\\Run)",
        "  Nothing starts Quillon at logon."},
       {}},
      {"switched on again",
       exe,
       L"",
       {0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       {"    Startup apps: switched on (HKCU ...\\StartupApproved\\Run)",
        "    typing: keys unicode (the default), no key after the number"},
       {"Nothing starts"}},
      {"arguments the tray program refuses",
       exe + L" --diagnose",
       L"",
       {},
       {"    its arguments are not the tray program's", "  Nothing starts Quillon at logon."},
       {"typing:"}},
      {"the user's and the machine's",
       exe + L" --suffix enter",
       exe,
       {},
       {"  HKLM Run: \"Quillon\" = " + std::string(exe.begin(), exe.end()),
        "    typing: keys unicode (the default), Enter after the number",
        "  More than one starts it: the first to start runs, the others end at once (one copy a session)."},
       {"Nothing starts"}},
  };
  ScopedFakeWmi wmi;
  ASSERT_EQ(wmi.Result(), S_OK);
  auto clear = [&] {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kRun, L"Quillon");
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRun, L"Quillon");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kApproved, L"Quillon");
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clear();
    const std::pair<HKEY, const std::wstring*> values[] = {{HKEY_CURRENT_USER, &c.user},
                                                           {HKEY_LOCAL_MACHINE, &c.machine}};
    for (const auto& value : values) {
      if (!value.second->empty()) {
        ASSERT_EQ(RegSetKeyValueW(value.first, kRun, L"Quillon", REG_SZ, value.second->c_str(),
                                  static_cast<DWORD>((value.second->size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
      }
    }
    if (!c.approved.empty()) {
      ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kApproved, L"Quillon", REG_BINARY, c.approved.data(),
                                static_cast<DWORD>(c.approved.size())),
                ERROR_SUCCESS);
    }
    const std::pair<DWORD, std::string> run = RunCaptured(QUILLON_EXE, L"--diagnose 0");
    EXPECT_EQ(run.first, 1u);  // no reader
    const std::vector<std::string> lines = Lines(run.second);
    // Each expected text begins a line of its own.
    for (const std::string& start : c.shown)
      EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                              [&](const std::string& l) { return l.rfind(start, 0) == 0; }))
          << "no line begins \"" << start << "\" in\n"
          << run.second;
    for (const std::string& part : c.notShown) EXPECT_FALSE(Has(run.second, part)) << run.second;
  }
  clear();
}

// A bad argument: one usage line on a pipe, its own status, and nothing else: no
// device query, no port.
TEST_F(Diagnose, ABadArgumentGetsOneUsageLineAndNothingElse) {
  ScopedFakeWmi wmi(ReaderDevices());
  ASSERT_EQ(wmi.Result(), S_OK);
  for (const wchar_t* args : {L"--diagnose abc", L"--diagnose -5", L"--diagnose 86401",
                              L"--diagnose 4294967296", L"--diagnose 3 4"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(args)));
    const std::pair<DWORD, std::string> run = RunCaptured(QUILLON_EXE, args);
    EXPECT_EQ(run.first, 5u);
    EXPECT_EQ(Lines(run.second).size(), 1u) << run.second;
    EXPECT_EQ(run.second.rfind("usage: Quillon [--keys unicode|layout] [--suffix enter|tab] | --diagnose", 0),
              0u)
        << run.second;
  }
  EXPECT_TRUE(wmi.Log().Lines().empty());
  EXPECT_EQ(reader_.Openers(kReaderPort), 0);
}

}  // namespace
