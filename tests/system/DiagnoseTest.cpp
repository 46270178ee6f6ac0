// Black box: "Quillon.exe --diagnose N" with its standard output in a file or a
// pipe, against the test WMI provider and the fake reader's COM7.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
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

const wchar_t kSecondReaderId[] = L"USBSER\\VID_0403+PID_8288+C3D4\\0000";

// A temporary file the program writes its report into, readable while it grows.
class ReportFile {
 public:
  ReportFile() {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"qdg", 0, path);
    path_ = path;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    handle_ =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS, 0, nullptr);
  }
  ~ReportFile() {
    CloseHandle(handle_);
    DeleteFileW(path_.c_str());
  }
  HANDLE Handle() const { return handle_; }
  std::string Text() const {
    HANDLE h = CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (h != INVALID_HANDLE_VALUE && ReadFile(h, buffer, sizeof(buffer), &read, nullptr) && read > 0)
      text.append(buffer, read);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return text;
  }

 private:
  std::wstring path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

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

// The line after the one that is `name`, indented, in the device list.
std::string VerdictOf(const std::string& report, const std::string& name) {
  const std::vector<std::string> lines = Lines(report);
  for (size_t i = 0; i + 2 < lines.size(); ++i)
    if (lines[i] == "  " + name) return lines[i + 2];
  return "<not listed>";
}

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
  config.Add(L"USB Serial Port (COM9)", kSecondReaderId);
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
  EXPECT_EQ(VerdictOf(text, "Communications Port (COM1)"),
            "    not the reader: the id does not carry VID_0403+PID_8288");
  EXPECT_EQ(VerdictOf(text, "USB Serial Port (COM7)"), "    the reader, on COM7");
  EXPECT_TRUE(Has(VerdictOf(text, "USB Serial Port (COM9)"), "uses the first one only"));
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
  StopTargetWindow(target);
}

// No reader, or WMI failing at the connection or the query: said in words, with
// the error code and the system's text, and the port is never opened.
TEST_F(Diagnose, NoReaderOrFailingWmiIsSaidWithItsStatus) {
  struct Case {
    const char* what;
    FakeWmiConfig config;
    DWORD status;
    HRESULT error;
  };
  FakeWmiConfig noReader;
  noReader.Add(L"Communications Port (COM1)", L"ACPI\\PNP0501\\1")
      .Add(L"USB Serial Port (COM7)", L"USB\\VID_067B+PID_2303\\5");
  FakeWmiConfig queryFails = ReaderDevices();
  queryFails.queryFailure = E_ACCESSDENIED;
  FakeWmiConfig bindFails = ReaderDevices();
  bindFails.bindFailure = static_cast<HRESULT>(0x800706BA);  // the RPC server is unavailable
  const Case cases[] = {{"no reader", noReader, 1, S_OK},
                        {"query fails", queryFails, 3, E_ACCESSDENIED},
                        {"bind fails", bindFails, 3, static_cast<HRESULT>(0x800706BA)}};
  ScopedFakeWmi wmi;
  ASSERT_EQ(wmi.Result(), S_OK);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(wmi.SetConfig(c.config));
    ReportFile report;
    Program diagnose;
    ASSERT_TRUE(diagnose.LaunchWith(QUILLON_EXE, L"--diagnose 3", report.Handle()));
    EXPECT_EQ(diagnose.Wait(), c.status);
    const std::string text = report.Text();
    EXPECT_FALSE(Has(text, "Opened")) << text;
    if (c.error == S_OK) {
      EXPECT_TRUE(Has(text, "No reader found.")) << text;
      continue;
    }
    char code[16], system[256] = {};
    snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(c.error));
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, c.error, 0, system,
                   sizeof(system), nullptr);
    EXPECT_TRUE(Has(text, code)) << text;
    ASSERT_GT(strlen(system), 10u);
    EXPECT_TRUE(Has(text, "Error:    " + std::string(system, 10))) << text;
    EXPECT_FALSE(Has(text, "No reader found.")) << text;
  }
  EXPECT_EQ(reader_.Openers(kReaderPort), 0);
}

// Listed but gone from the system (Wine lets a second program open a held port,
// so the refusal tested here is the missing device's).
TEST_F(Diagnose, APortThatDoesNotOpenIsSaidInWords) {
  ScopedFakeWmi wmi(ReaderDevices());
  ASSERT_EQ(wmi.Result(), S_OK);
  ASSERT_TRUE(reader_.Unplug(kReaderPort));
  ReportFile report;
  Program diagnose;
  ASSERT_TRUE(diagnose.LaunchWith(QUILLON_EXE, L"--diagnose 3", report.Handle()));
  EXPECT_EQ(diagnose.Wait(), 2u);
  char system[256] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND, 0,
                 system, sizeof(system), nullptr);
  ASSERT_GT(strlen(system), 10u);
  EXPECT_TRUE(Has(report.Text(), "Opening COM7 at 9600 8N1 failed: error 2, " + std::string(system, 10)))
      << report.Text();
  EXPECT_FALSE(Has(report.Text(), "Watching")) << report.Text();
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

// A bad argument: one usage line on a pipe, its own status, and nothing else: no
// device query, no port.
TEST_F(Diagnose, ABadArgumentGetsOneUsageLineAndNothingElse) {
  ScopedFakeWmi wmi(ReaderDevices());
  ASSERT_EQ(wmi.Result(), S_OK);
  for (const wchar_t* args : {L"--diagnose abc", L"--diagnose -5", L"--diagnose 86401",
                              L"--diagnose 4294967296", L"--diagnose 3 4"}) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(args)));
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &sa, 0));
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    Program diagnose;
    ASSERT_TRUE(diagnose.LaunchWith(QUILLON_EXE, args, writeEnd));
    CloseHandle(writeEnd);
    std::string output;
    char buffer[512];
    DWORD read = 0;
    while (ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0) output.append(buffer, read);
    CloseHandle(readEnd);
    EXPECT_EQ(diagnose.Wait(), 5u);
    EXPECT_EQ(Lines(output).size(), 1u) << output;
    EXPECT_EQ(output.rfind("usage: Quillon.exe --diagnose [seconds]", 0), 0u) << output;
  }
  EXPECT_TRUE(wmi.Log().Lines().empty());
  EXPECT_EQ(reader_.Openers(kReaderPort), 0);
}

}  // namespace
