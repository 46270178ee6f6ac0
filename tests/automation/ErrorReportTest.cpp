// The per-thread failure record and the report texts.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "FakeDispatch.h"
#include "automation/Automation.h"

namespace quillon {
namespace {

using fakedispatch::BstrLedger;
using fakedispatch::FakeDispatch;

std::atomic<int> g_callbacks{0};
ErrorRecord* g_lastCallbackRecord = nullptr;
std::wstring g_callbackOuter;

HRESULT CountingCallback(ErrorRecord* record) {
  ++g_callbacks;
  g_lastCallbackRecord = record;
  g_callbackOuter = record->outerOperation ? record->outerOperation : L"";
  return E_FAIL;  // ignored
}

std::wstring SystemText(HRESULT code) {
  WCHAR text[256];
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(code), 0x400, text, 256, nullptr);
  std::wstring s(text, n);
  if (s.size() >= 2 && s.compare(s.size() - 2, 2, L"\r\n") == 0) s.resize(s.size() - 2);
  return s;
}

std::wstring Report(BOOL fixed, ErrorRecord* record = nullptr) {
  WCHAR text[1024];
  EXPECT_EQ(FormatErrorText(record, text, 1024, fixed), S_OK);
  return text;
}

class ErrorReport : public ::testing::Test {
 protected:
  void SetUp() override {
    ReleaseThreadState();
    ErrorOptions options = {};
    options.callback = CountingCallback;
    SetErrorOptions(&options);
    g_callbacks = 0;
    fake.Add(L"Known", 1, fakedispatch::ReturnsInt(1));
  }
  void TearDown() override {
    ErrorOptions none = {};
    SetErrorOptions(&none);
    ReleaseThreadState();
    EXPECT_EQ(fake.RefCount(), 1u);
  }
  ErrorRecord* Record() {
    ErrorRecord* record = nullptr;
    EXPECT_EQ(GetErrorRecord(&record), S_OK);
    return record;
  }
  FakeDispatch fake;
};

TEST_F(ErrorReport, UnknownMemberReportsTheOuterOperationAndTheMember) {
  LONG value;
  EXPECT_EQ(GetValue(L"%d", &value, &fake, L".Nope(%d)", 5), DISP_E_UNKNOWNNAME);
  ErrorRecord* r = Record();
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->outerOperation, L"GetValue");
  EXPECT_STREQ(r->failedOperation, L"InvokeArray");
  EXPECT_STREQ(r->itemName, L"Nope");
  EXPECT_STREQ(r->memberText, L".Nope(%d)");
  EXPECT_TRUE(r->dispatchFailure);
  EXPECT_TRUE(r->reported);
  EXPECT_EQ(r->result, DISP_E_UNKNOWNNAME);
  EXPECT_EQ(g_callbacks, 1);
  EXPECT_EQ(g_lastCallbackRecord, r);

  EXPECT_EQ(Report(FALSE),
            L"Member:\t  .Nope(%d)\r\nFunction:\t  GetValue\t\t\r\nError In:\t  InvokeArray\r\n"
            L"Error:\t  Object doesn't support this property or method: 'Nope'\r\n"
            L"Code:\t  80020006\r\nSource:\t  IDispatch Interface");
  EXPECT_EQ(Report(TRUE),
            L"Member:   .Nope(%d)\r\nFunction: GetValue\r\nError In: InvokeArray\r\n"
            L"Error:    Object doesn't support this property or method: 'Nope'\r\n"
            L"Code:     80020006\r\nSource:   IDispatch Interface");
}

TEST_F(ErrorReport, FixedDescriptionsByCode) {
  fake.Add(L"NotFound", 2, fakedispatch::Fails(DISP_E_MEMBERNOTFOUND));
  fake.Add(L"Mismatch", 3, fakedispatch::Fails(DISP_E_TYPEMISMATCH, 1));
  fake.Add(L"NullObj", 5, fakedispatch::ReturnsNullObject());
  fake.Add(L"Odd", 4, fakedispatch::Fails(static_cast<HRESULT>(0xE0041234)));
  IDispatch* object;
  struct {
    std::function<HRESULT()> fail;
    const wchar_t* description;
    const wchar_t* source;
  } cases[] = {
      {[&] { return CallMethod(&fake, L"NotFound"); },
       L"Object doesn't support this property or method: 'NotFound'", L"IDispatch Interface"},
      {[&] { return CallMethod(&fake, L"Mismatch(%d, %d)", 1, 2); },
       L"Type mismatch: 'Mismatch'. Argument Index: 1", L"IDispatch Interface"},
      {[&] { return GetValue(L"%o", &object, &fake, L"NullObj"); }, L"Object required", L"Application"},
      {[&] { return CallMethod(&fake, L"Odd"); }, L"Unknown runtime error", L"IDispatch Interface"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.description, c.description + wcslen(c.description)));
    EXPECT_LT(c.fail(), 0);
    ErrorRecord* r = Record();
    ASSERT_NE(r, nullptr);
    Report(TRUE);
    EXPECT_STREQ(r->description, c.description);
    EXPECT_STREQ(r->source, c.source);
  }
}

TEST_F(ErrorReport, TypeMismatchWithoutItemUsesTheSystemText) {
  EnterOperation();
  LeaveOperation(DISP_E_TYPEMISMATCH, FALSE, nullptr, L"text", nullptr, 0, L"Mine");
  Report(TRUE);
  // Wine has no system text for this code; Windows has.
  std::wstring expected = SystemText(DISP_E_TYPEMISMATCH);
  if (expected.empty()) expected = L"Unknown runtime error";
  EXPECT_STREQ(Record()->description, expected.c_str());
  EXPECT_STREQ(Record()->outerOperation, L"Mine");
}

TEST_F(ErrorReport, TooLongMemberNamesInvokeVWithTheSystemText) {
  std::wstring member(512, L'x');
  EXPECT_EQ(CallMethod(&fake, member.c_str()), E_INVALIDARG);
  const std::wstring expected = L"Member:   " + member.substr(0, 255) +
                                L"\r\nFunction: CallMethod\r\nError In: InvokeV\r\nError:    " +
                                SystemText(E_INVALIDARG) + L"\r\nCode:     80070057\r\nSource:   Application";
  ASSERT_FALSE(SystemText(E_INVALIDARG).empty());
  EXPECT_EQ(Report(TRUE), expected);
}

TEST_F(ErrorReport, ServerExceptionWithDeferredFillIn) {
  fakedispatch::Exception e;
  e.scode = static_cast<SCODE>(0x800A01B6);
  e.description = L"The server gave up\r\n";
  e.source = L"Fake.Server";
  e.helpFile = L"fake.chm";
  e.helpContext = 42;
  e.deferred = true;
  fake.Add(L"Throwing", 2, fakedispatch::Throws(e));
  {
    BstrLedger ledger;
    EXPECT_EQ(CallMethod(&fake, L"Throwing"), DISP_E_EXCEPTION);
    ErrorRecord* r = Record();
    EXPECT_EQ(r->serverCode, static_cast<LONG>(0x800A01B6));
    EXPECT_STREQ(r->helpFile, L"fake.chm");
    EXPECT_EQ(r->helpContext, 42u);
    EXPECT_EQ(Report(TRUE),
              L"Member:   Throwing\r\nFunction: CallMethod\r\nError In: InvokeArray\r\n"
              L"Error:    The server gave up\r\nCode:     800a01b6\r\nSource:   Fake.Server");
    EXPECT_EQ(Report(TRUE), Report(TRUE));  // the record keeps what it composed
    ReleaseThreadState();
    EXPECT_EQ(ledger.Outstanding(), 0);  // the record freed the server's strings
  }
  // wCode wins over scode; a lone line feed is trimmed too.
  e.wCode = 1234;
  e.description = L"Numbered\n";
  e.deferred = false;
  fake.Add(L"Numbered", 3, fakedispatch::Throws(e));
  EXPECT_EQ(CallMethod(&fake, L"Numbered"), DISP_E_EXCEPTION);
  EXPECT_EQ(Report(TRUE).find(L"Error:    Numbered\r\nCode:     4d2\r\n") != std::wstring::npos, true);
  // A carriage return inside the text is not a line break.
  e.description = L"a\rb";
  fake.Add(L"Inner", 4, fakedispatch::Throws(e));
  EXPECT_EQ(CallMethod(&fake, L"Inner"), DISP_E_EXCEPTION);
  Report(TRUE);
  EXPECT_STREQ(Record()->description, L"a\rb");
}

TEST_F(ErrorReport, InnermostFailureWinsAndTheCompositeReportsOnce) {
  fakedispatch::Exception e;
  e.description = L"second";
  fake.Add(L"Throwing", 2, fakedispatch::Throws(e));
  BstrLedger ledger;
  EnterOperation();
  LONG value;
  EXPECT_EQ(GetValue(L"%d", &value, &fake, L"First"), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(CallMethod(&fake, L"Throwing"), DISP_E_EXCEPTION);
  EXPECT_EQ(g_callbacks, 0);  // nothing reported while the composite is open
  EXPECT_EQ(LeaveOperation(E_FAIL, FALSE, nullptr, L"composite text", nullptr, 0, L"Composite"), E_FAIL);
  EXPECT_EQ(g_callbacks, 1);
  ErrorRecord* r = Record();
  EXPECT_STREQ(r->outerOperation, L"Composite");
  EXPECT_STREQ(r->failedOperation, L"InvokeArray");
  EXPECT_STREQ(r->itemName, L"First");
  EXPECT_STREQ(r->memberText, L"composite text");
  EXPECT_EQ(r->result, DISP_E_UNKNOWNNAME);
  EXPECT_EQ(r->description, nullptr);  // the later exception's strings were not kept...
  ReleaseThreadState();
  EXPECT_EQ(ledger.Outstanding(), 0);  // ...but freed
}

TEST_F(ErrorReport, SuccessKeepsTheRecordAndTheNextFailureReplacesIt) {
  EXPECT_LT(CallMethod(&fake, L"Missing"), 0);
  LONG value;
  EXPECT_EQ(GetValue(L"%d", &value, &fake, L"Known"), S_OK);
  ErrorRecord* r = Record();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->result, DISP_E_UNKNOWNNAME);
  EXPECT_TRUE(r->reported);
  EXPECT_EQ(CallMethod(&fake, L"M(%%)"), E_INVALIDARG);
  EXPECT_EQ(Record(), r);  // the same block, reset
  EXPECT_EQ(r->result, E_INVALIDARG);
  EXPECT_STREQ(r->itemName, L"");
  EXPECT_FALSE(r->dispatchFailure);
  EXPECT_EQ(g_callbacks, 2);
}

TEST_F(ErrorReport, RecordingOffLeavesTheRecordAndCallsNothing) {
  EXPECT_LT(CallMethod(&fake, L"Missing"), 0);
  ErrorOptions options;
  GetErrorOptions(&options);
  options.recordingOff = TRUE;
  SetErrorOptions(&options);
  EXPECT_EQ(CallMethod(&fake, L"M(%%)"), E_INVALIDARG);
  EXPECT_EQ(Record()->result, DISP_E_UNKNOWNNAME);
  EXPECT_EQ(g_callbacks, 1);

  // Display off keeps recording off; display on switches recording back on.
  EnableErrorDisplay(FALSE);
  GetErrorOptions(&options);
  EXPECT_TRUE(options.recordingOff);
  EXPECT_FALSE(options.showMessageBox);
  EnableErrorDisplay(TRUE);
  GetErrorOptions(&options);
  EXPECT_FALSE(options.recordingOff);
  EXPECT_TRUE(options.showMessageBox);
  EXPECT_EQ(options.callback, &CountingCallback);
  EnableErrorDisplay(FALSE);
  GetErrorOptions(&options);
  EXPECT_FALSE(options.recordingOff);
  EXPECT_FALSE(options.showMessageBox);
}

TEST_F(ErrorReport, OptionsCopyAllFieldsAndRefuseNull) {
  EXPECT_EQ(SetErrorOptions(nullptr), E_INVALIDARG);
  EXPECT_EQ(GetErrorOptions(nullptr), E_INVALIDARG);
  EXPECT_EQ(GetErrorRecord(nullptr), E_INVALIDARG);
  ErrorOptions in = {reinterpret_cast<HWND>(0x1234), L"caption", TRUE, TRUE, CountingCallback};
  ASSERT_EQ(SetErrorOptions(&in), S_OK);
  ErrorOptions out = {};
  ASSERT_EQ(GetErrorOptions(&out), S_OK);
  EXPECT_EQ(std::memcmp(&in, &out, sizeof(in)), 0);
}

TEST_F(ErrorReport, FormatErrorTextCapacityAndNullRules) {
  WCHAR text[64];
  EXPECT_EQ(FormatErrorText(nullptr, nullptr, 5, TRUE), E_INVALIDARG);
  // A thread that never failed.
  EXPECT_EQ(FormatErrorText(nullptr, text, 64, TRUE), S_OK);
  EXPECT_STREQ(text, L"No error information available.");
  EXPECT_EQ(FormatErrorText(nullptr, text, 3, TRUE), S_OK);
  EXPECT_STREQ(text, L"No");
  EXPECT_EQ(FormatErrorText(nullptr, nullptr, 0, TRUE), S_OK);

  EXPECT_LT(CallMethod(&fake, L"Missing"), 0);
  ErrorRecord* r = Record();
  EXPECT_EQ(r->description, nullptr);
  // Capacity 0 with no buffer only composes the texts into the record.
  EXPECT_EQ(FormatErrorText(nullptr, nullptr, 0, TRUE), S_OK);
  EXPECT_STREQ(r->description, L"Object doesn't support this property or method: 'Missing'");
  EXPECT_STREQ(r->source, L"IDispatch Interface");
  text[8] = L'#';
  EXPECT_EQ(FormatErrorText(r, text, 9, TRUE), S_OK);
  EXPECT_STREQ(text, L"Member: ");
  text[0] = L'#';
  EXPECT_EQ(FormatErrorText(r, text, 1, TRUE), S_OK);
  EXPECT_STREQ(text, L"");
}

TEST_F(ErrorReport, AnsiTextAndItsConversionFailure) {
  EXPECT_LT(CallMethod(&fake, L"Missing"), 0);
  char text[512];
  EXPECT_EQ(FormatErrorTextAnsi(nullptr, text, sizeof(text), TRUE), S_OK);
  EXPECT_STREQ(text,
               "Member:   Missing\r\nFunction: CallMethod\r\nError In: InvokeArray\r\n"
               "Error:    Object doesn't support this property or method: 'Missing'\r\n"
               "Code:     80020006\r\nSource:   IDispatch Interface");
  EXPECT_EQ(FormatErrorTextAnsi(nullptr, text, 10, TRUE),
            static_cast<HRESULT>(0x80070000 | ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(ErrorReport, UninitializeEndsTheThreadsRecord) {
  EXPECT_LT(CallMethod(&fake, L"Missing"), 0);
  ASSERT_NE(Record(), nullptr);
  UninitializeAutomation(FALSE);
  EXPECT_EQ(Record(), nullptr);
  WCHAR text[64];
  FormatErrorText(nullptr, text, 64, FALSE);
  EXPECT_STREQ(text, L"No error information available.");
}

TEST_F(ErrorReport, TwoThreadsFailingAtOnceKeepTheirOwnRecords) {
  FakeDispatch second;
  HANDLE bothFailed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<int> failed{0};
  std::wstring texts[2];
  ErrorRecord* records[2] = {};
  auto worker = [&](int i) {
    FakeDispatch& object = i == 0 ? fake : second;
    const wchar_t* member = i == 0 ? L".FirstThread" : L".SecondThread(%%)";
    CallMethod(&object, member);
    if (++failed == 2) SetEvent(bothFailed);
    WaitForSingleObject(bothFailed, 30000);
    GetErrorRecord(&records[i]);
    WCHAR text[512];
    FormatErrorText(nullptr, text, 512, TRUE);
    texts[i] = text;
    ReleaseThreadState();
  };
  std::thread a(worker, 0), b(worker, 1);
  a.join();
  b.join();
  CloseHandle(bothFailed);
  EXPECT_NE(records[0], records[1]);
  EXPECT_NE(texts[0].find(L"Member:   .FirstThread\r\n"), std::wstring::npos) << texts[0].c_str();
  EXPECT_NE(texts[0].find(L"Error In: InvokeArray"), std::wstring::npos);
  EXPECT_NE(texts[1].find(L"Member:   .SecondThread(%%)\r\n"), std::wstring::npos);
  EXPECT_NE(texts[1].find(L"Error In: CreateArgumentArray"), std::wstring::npos);
  EXPECT_EQ(Record(), nullptr);  // this thread never failed
  EXPECT_EQ(g_callbacks, 2);
}

BOOL CALLBACK FindReportText(HWND child, LPARAM param) {
  WCHAR text[1024];
  GetWindowTextW(child, text, 1024);
  if (wcsncmp(text, L"Member:", 7) == 0) *reinterpret_cast<std::wstring*>(param) = text;
  return TRUE;
}

// The message box comes up on the failing thread before the operation returns
// and before the callback; a second thread reads and closes it.
TEST_F(ErrorReport, MessageBoxShowsTheReportBeforeTheCallback) {
  const wchar_t* caption = L"Quillon automation test box";
  ErrorOptions options = {nullptr, caption, TRUE, FALSE, CountingCallback};
  SetErrorOptions(&options);
  std::atomic<bool> returned{false};
  std::thread failing([&] {
    CallMethod(&fake, L"Missing");
    returned = true;
    ReleaseThreadState();
  });

  HWND box = nullptr;
  for (int i = 0; i < 600 && !box; ++i) {  // up to a minute on a busy machine
    box = FindWindowW(L"#32770", caption);
    if (!box) Sleep(100);
  }
  std::wstring shown;
  bool callbackBeforeClose = true, returnedBeforeClose = true;
  if (box) {
    callbackBeforeClose = g_callbacks != 0;
    returnedBeforeClose = returned;
    EnumChildWindows(box, FindReportText, reinterpret_cast<LPARAM>(&shown));
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  }
  failing.join();
  ASSERT_NE(box, nullptr) << "no message box appeared";
  EXPECT_FALSE(callbackBeforeClose);
  EXPECT_FALSE(returnedBeforeClose);
  EXPECT_EQ(g_callbacks, 1);
  EXPECT_EQ(shown,
            L"Member:\t  Missing\r\nFunction:\t  CallMethod\t\t\r\nError In:\t  InvokeArray\r\n"
            L"Error:\t  Object doesn't support this property or method: 'Missing'\r\n"
            L"Code:\t  80020006\r\nSource:\t  IDispatch Interface");
}

}  // namespace
}  // namespace quillon
