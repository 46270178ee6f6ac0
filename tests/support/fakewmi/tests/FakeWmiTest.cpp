// The provider as a client in the test prefix sees it: the real moniker bound
// with CoGetObject, ExecQuery and the enumeration through raw IDispatch, in this
// process and in another one.

#include "tests/support/fakewmi/FakeWmi.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

namespace quillon {
namespace fakewmi {
namespace {

const wchar_t* const kReaderName = L"USB Serial Port (COM7)";
const wchar_t* const kReaderId = L"USBSER\\VID_0403+PID_8288+A1B2\\0000";
const HRESULT kInvalidNamespace = static_cast<HRESULT>(0x8004100E);
const HRESULT kAccessDenied = static_cast<HRESULT>(0x80041003);
const HRESULT kInvalidClass = static_cast<HRESULT>(0x80041010);
const HRESULT kNotFound = static_cast<HRESULT>(0x80041002);

std::string Hex(HRESULT hr) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08lX", static_cast<unsigned long>(hr));
  return buf;
}

std::string Show(const WmiValue& v) {
  if (FAILED(v.hr)) return "<fail " + Hex(v.hr) + ">";
  if (v.vt == VT_NULL) return "<null>";
  if (v.vt != VT_BSTR) return "<vt " + std::to_string(v.vt) + ">";
  return WideToUtf8(v.text);
}

// One line per device, "name|id", then the enumeration's end.
std::string Describe(const WmiListing& l) {
  std::string s;
  for (const WmiDevice& d : l.devices) s += Show(d.name) + "|" + Show(d.pnpDeviceId) + "\n";
  return s + "end " + Hex(l.last) + "\n";
}

bool LogHas(const FakeWmiLog& log, const std::string& text) {
  for (const std::string& line : log.Lines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

// Runs a Windows program of the build to its end and returns its exit code and
// standard output.
DWORD RunProgram(std::wstring commandLine, std::string* output) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return 0xDEAD;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = si.hStdError = writeEnd;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi = {};
  BOOL started =
      CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    return 0xDEAD;
  }
  char buf[4096];
  DWORD got;
  while (ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got > 0) output->append(buf, got);
  CloseHandle(readEnd);
  DWORD code = 0xDEAD;
  if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

std::wstring ThisExe() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n);
}

std::wstring CtlExe() {
  std::wstring dll = ProviderDllPath();
  return dll.substr(0, dll.find_last_of(L'\\') + 1) + L"fakewmi-ctl.exe";
}

class FakeWmiBound : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override {
    Uninstall();  // whatever a failed test left behind: Wine's WMI is shared
    CoUninitialize();
  }
};

TEST_F(FakeWmiBound, ListsTheConfiguredDevicesInOrderWithTheirReadResults) {
  FakeWmiConfig config;
  config.Add(L"Communications Port (COM1)", L"ACPI\\PNP0501\\1")
      .Add(FakeValue::Null(), L"ROOT\\LEGACY\\0000")
      .Add(kReaderName, FakeValue::Fail())
      .Add(FakeValue::Fail(kNotFound), kReaderId)
      .Add(L"", L"");
  ScopedFakeWmi wmi(config);
  ASSERT_EQ(wmi.Result(), S_OK);

  WmiListing l = ListWmiDevices();
  EXPECT_EQ(l.bind, S_OK);
  EXPECT_EQ(l.query, S_OK);
  EXPECT_EQ(l.enumerate, S_OK);
  EXPECT_EQ(Describe(l),
            "Communications Port (COM1)|ACPI\\PNP0501\\1\n"
            "<null>|ROOT\\LEGACY\\0000\n"
            "USB Serial Port (COM7)|<fail 0x80020009>\n"
            "<fail 0x80041002>|USBSER\\VID_0403+PID_8288+A1B2\\0000\n"
            "|\n"
            "end 0x00000001\n");

  const FakeWmiLog& log = wmi.Log();
  EXPECT_EQ(log.Count("parse"), 1);
  EXPECT_EQ(log.Count("bind"), 1);
  EXPECT_EQ(log.Count("query-begin"), 1);
  EXPECT_EQ(log.QueriesInProgress(), 0);
  EXPECT_EQ(log.Count("enum-begin"), 1);
  EXPECT_EQ(log.EnumeratorsAlive(), 0);
  EXPECT_TRUE(LogHas(log, "name=winmgmts:{impersonationLevel=impersonate}!\\\\.\\root\\cimv2"));
  EXPECT_TRUE(LogHas(log, "query=Select * from Win32_PnPEntity"));
  EXPECT_TRUE(LogHas(log, "hr=0x00000000 devices=5"));
  EXPECT_TRUE(LogHas(log, "fetched=5"));
}

TEST_F(FakeWmiBound, EachStageFailsAsConfigured) {
  const struct {
    const char* what;
    HRESULT parse, bind, query;
    HRESULT wantBind, wantQuery;
    int wantQueries;
  } cases[] = {
      {"parse", kInvalidNamespace, S_OK, S_OK, kInvalidNamespace, E_PENDING, 0},
      {"bind", S_OK, kAccessDenied, S_OK, kAccessDenied, E_PENDING, 0},
      {"query", S_OK, S_OK, kInvalidClass, S_OK, kInvalidClass, 1},
      {"query exception", S_OK, S_OK, DISP_E_EXCEPTION, S_OK, DISP_E_EXCEPTION, 1},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.what);
    FakeWmiConfig config;
    config.Add(kReaderName, kReaderId);
    config.parseFailure = tc.parse;
    config.bindFailure = tc.bind;
    config.queryFailure = tc.query;
    ScopedFakeWmi wmi(config);
    ASSERT_EQ(wmi.Result(), S_OK);
    WmiListing l = ListWmiDevices();
    EXPECT_EQ(Hex(l.bind), Hex(tc.wantBind));
    EXPECT_EQ(Hex(l.query), Hex(tc.wantQuery));
    EXPECT_EQ(l.enumerate, E_PENDING);
    EXPECT_TRUE(l.devices.empty());
    EXPECT_EQ(wmi.Log().Count("query-begin"), tc.wantQueries);
  }
}

TEST_F(FakeWmiBound, ReadsItsConfigurationAgainForEveryRun) {
  FakeWmiConfig first;
  first.Add(L"Communications Port (COM1)", L"ACPI\\PNP0501\\1");
  ScopedFakeWmi wmi(first);
  ASSERT_EQ(wmi.Result(), S_OK);
  EXPECT_EQ(Describe(ListWmiDevices()), "Communications Port (COM1)|ACPI\\PNP0501\\1\nend 0x00000001\n");

  FakeWmiConfig second;
  second.AddFiller(1).Add(kReaderName, kReaderId);
  ASSERT_TRUE(wmi.SetConfig(second));
  EXPECT_EQ(Describe(ListWmiDevices()),
            "Filler device 1|ROOT\\FILLER\\0001\n"
            "USB Serial Port (COM7)|USBSER\\VID_0403+PID_8288+A1B2\\0000\nend 0x00000001\n");

  // A broken configuration fails the run loudly instead of listing nothing.
  HANDLE f = CreateFileW(wmi.ConfigPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written;
  WriteFile(f, "devices twice\n", 14, &written, nullptr);
  CloseHandle(f);
  EXPECT_EQ(ListWmiDevices().bind, E_UNEXPECTED);
  EXPECT_TRUE(LogHas(wmi.Log(), "config-error"));
  EXPECT_EQ(wmi.Log().Count("query-begin"), 2);
}

TEST_F(FakeWmiBound, AnswersLikeAnAutomationCollection) {
  FakeWmiConfig config;
  config.AddFiller(2).Add(kReaderName, FakeValue::Fail());
  ScopedFakeWmi wmi(config);
  ASSERT_EQ(wmi.Result(), S_OK);
  IDispatch* service = nullptr;
  ASSERT_EQ(CoGetObject(kWmiMoniker, nullptr, IID_IDispatch, reinterpret_cast<void**>(&service)), S_OK);

  VARIANT arg, result;
  VariantInit(&result);
  V_VT(&arg) = VT_BSTR;
  V_BSTR(&arg) = SysAllocString(kWmiQuery);
  // A plain method call, and member names in any case.
  EXPECT_EQ(InvokeByName(service, L"execquery", DISPATCH_METHOD, &arg, 1, &result), S_OK);
  VariantClear(&arg);
  EXPECT_EQ(InvokeByName(service, L"Bogus", DISPATCH_METHOD, nullptr, 0, nullptr), DISP_E_UNKNOWNNAME);
  service->Release();
  ASSERT_EQ(V_VT(&result), VT_DISPATCH);
  IDispatch* set = V_DISPATCH(&result);

  VARIANT count;
  VariantInit(&count);
  EXPECT_EQ(InvokeByName(set, L"Count", DISPATCH_PROPERTYGET, nullptr, 0, &count), S_OK);
  EXPECT_EQ(V_VT(&count), VT_I4);
  EXPECT_EQ(V_I4(&count), 3);

  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  VARIANT newEnum;
  VariantInit(&newEnum);
  ASSERT_EQ(set->Invoke(DISPID_NEWENUM, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &newEnum,
                        nullptr, nullptr),
            S_OK);
  set->Release();
  IEnumVARIANT* items = nullptr;
  ASSERT_EQ(V_VT(&newEnum), VT_UNKNOWN);
  ASSERT_EQ(V_UNKNOWN(&newEnum)->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void**>(&items)), S_OK);
  VariantClear(&newEnum);
  EXPECT_EQ(wmi.Log().EnumeratorsAlive(), 1);

  // Asking for more than is left gives what is left and S_FALSE.
  VARIANT got[4];
  ULONG fetched = 99;
  ASSERT_EQ(items->Skip(1), S_OK);
  ASSERT_EQ(items->Next(4, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  ASSERT_EQ(V_VT(&got[1]), VT_DISPATCH);
  // A failing read reports the exception as a scripting client expects it.
  DISPID id;
  LPOLESTR name[] = {const_cast<LPOLESTR>(L"PnPDeviceID")};
  ASSERT_EQ(V_DISPATCH(&got[1])->GetIDsOfNames(IID_NULL, name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  EXCEPINFO excep = {};
  VARIANT value;
  VariantInit(&value);
  EXPECT_EQ(
      V_DISPATCH(&got[1])->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                  &none, &value, &excep, nullptr),
      DISP_E_EXCEPTION);
  EXPECT_EQ(Hex(excep.scode), Hex(kWbemFailed));
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  VariantClear(&got[0]);
  VariantClear(&got[1]);
  EXPECT_EQ(items->Next(1, got, nullptr), S_FALSE);
  items->Release();
  EXPECT_EQ(wmi.Log().EnumeratorsAlive(), 0);
}

DWORD WINAPI ListOnThread(void* out) {
  *static_cast<WmiListing*>(out) = ListWmiDevices();
  return 0;
}

TEST_F(FakeWmiBound, AHeldQueryShowsInTheLogUntilReleased) {
  HANDLE hold = CreateEventW(nullptr, TRUE, FALSE, L"Local\\QuillonFakeWmiTestHold");
  ASSERT_NE(hold, nullptr);
  FakeWmiConfig config;
  config.Add(kReaderName, kReaderId);
  config.queryHoldEvent = L"Local\\QuillonFakeWmiTestHold";
  ScopedFakeWmi wmi(config);
  ASSERT_EQ(wmi.Result(), S_OK);

  // The thread runs in the process's multithreaded apartment without entering
  // COM itself, as a discovery thread does.
  WmiListing l;
  HANDLE thread = CreateThread(nullptr, 0, ListOnThread, &l, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_TRUE(wmi.Log().WaitForCount("query-begin", 1, 60000));
  EXPECT_EQ(wmi.Log().QueriesInProgress(), 1);
  EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // it cannot end while held
  SetEvent(hold);
  EXPECT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
  CloseHandle(thread);
  CloseHandle(hold);
  EXPECT_EQ(wmi.Log().QueriesInProgress(), 0);
  EXPECT_EQ(Describe(l), "USB Serial Port (COM7)|USBSER\\VID_0403+PID_8288+A1B2\\0000\nend 0x00000001\n");
}

TEST_F(FakeWmiBound, AnotherProcessSeesTheConfiguredDevices) {
  FakeWmiConfig config;
  config.AddFiller(2).Add(kReaderName, kReaderId);
  ScopedFakeWmi wmi(config);
  ASSERT_EQ(wmi.Result(), S_OK);
  std::string out;
  EXPECT_EQ(RunProgram(L"\"" + ThisExe() + L"\" --list-child", &out), 0u);
  EXPECT_EQ(out,
            "Filler device 1|ROOT\\FILLER\\0001\n"
            "Filler device 2|ROOT\\FILLER\\0002\n"
            "USB Serial Port (COM7)|USBSER\\VID_0403+PID_8288+A1B2\\0000\nend 0x00000001\n");
  EXPECT_TRUE(LogHas(wmi.Log(), "fetched=3"));
  EXPECT_FALSE(LogHas(wmi.Log(), "pid=" + std::to_string(GetCurrentProcessId()) + " "));
}

TEST_F(FakeWmiBound, UninstallGivesTheMonikerBackToWinesWmi) {
  FakeWmiConfig config;
  config.Add(L"Only in the fake (COM9)", L"FAKE\\ONLY");
  {
    ScopedFakeWmi wmi(config);
    ASSERT_EQ(wmi.Result(), S_OK);
    EXPECT_EQ(WinmgmtsClsid(), kProviderClsidText);
    EXPECT_EQ(ListWmiDevices().devices.size(), 1u);
  }
  EXPECT_EQ(WinmgmtsClsid(), kWineWmiClsidText);
  ProviderPaths paths;
  EXPECT_FALSE(ReadProviderPaths(&paths));
  // The moniker's prefix resolves to Wine's class again, and that class still
  // loads. (Not bound here: Wine binds its own WMI through a dllhost.exe
  // surrogate that outlives the test and keeps its output pipe open.)
  CLSID clsid = {};
  EXPECT_EQ(CLSIDFromProgID(L"WINMGMTS", &clsid), S_OK);
  wchar_t text[40];
  StringFromGUID2(clsid, text, 40);
  EXPECT_STREQ(text, kWineWmiClsidText);
  IClassFactory* factory = nullptr;
  EXPECT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  if (factory) factory->Release();
  EXPECT_EQ(CoGetClassObject(kProviderClsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            REGDB_E_CLASSNOTREG);
}

TEST_F(FakeWmiBound, ControlToolAndSelfRegistrationInstallAndUninstall) {
  FakeWmiConfig config;
  config.Add(kReaderName, kReaderId);
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  const std::wstring path = std::wstring(dir) + L"quillon-fakewmi-ctl-test.txt";
  ASSERT_TRUE(WriteConfig(path, config));

  std::string out;
  EXPECT_EQ(RunProgram(L"\"" + CtlExe() + L"\" install \"" + path + L"\"", &out), 0u) << out;
  EXPECT_EQ(WinmgmtsClsid(), kProviderClsidText);
  EXPECT_EQ(ListWmiDevices().devices.size(), 1u);
  EXPECT_TRUE(LogHas(FakeWmiLog(path + L".log"), "fetched=1"));
  EXPECT_EQ(RunProgram(L"\"" + CtlExe() + L"\" uninstall", &out), 0u) << out;
  EXPECT_EQ(WinmgmtsClsid(), kWineWmiClsidText);
  EXPECT_EQ(RunProgram(L"\"" + CtlExe() + L"\" install C:\\no\\such\\file.txt", &out), 1u);
  EXPECT_EQ(WinmgmtsClsid(), kWineWmiClsidText);
  DeleteFileW(path.c_str());
  DeleteFileW((path + L".log").c_str());

  // regsvr32's way: the DLL's own exports.
  HMODULE dll = LoadLibraryW(ProviderDllPath().c_str());
  ASSERT_NE(dll, nullptr);
  using RegFn = HRESULT(STDAPICALLTYPE*)();
  auto reg = reinterpret_cast<RegFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
  auto unreg = reinterpret_cast<RegFn>(reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
  ASSERT_TRUE(reg && unreg && GetProcAddress(dll, "DllGetClassObject") &&
              GetProcAddress(dll, "DllCanUnloadNow"));
  EXPECT_EQ(reg(), S_OK);
  EXPECT_EQ(WinmgmtsClsid(), kProviderClsidText);
  ProviderPaths paths;
  EXPECT_TRUE(ReadProviderPaths(&paths));
  EXPECT_EQ(_wcsicmp(paths.dll.c_str(), ProviderDllPath().c_str()), 0) << WideToUtf8(paths.dll);
  EXPECT_EQ(ListWmiDevices().devices.size(), 0u);  // registered without a configuration: no devices
  EXPECT_EQ(unreg(), S_OK);
  EXPECT_EQ(WinmgmtsClsid(), kWineWmiClsidText);
  FreeLibrary(dll);
}

// The other process of AnotherProcessSeesTheConfiguredDevices: binds from a
// thread of its own in the multithreaded apartment and prints what it saw.
int ListChild() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
  WmiListing l;
  HANDLE thread = CreateThread(nullptr, 0, ListOnThread, &l, 0, nullptr);
  if (!thread || WaitForSingleObject(thread, 60000) != WAIT_OBJECT_0) return 4;
  CloseHandle(thread);
  _setmode(_fileno(stdout), _O_BINARY);  // "\n" as written, for the parent's comparison
  fputs(Describe(l).c_str(), stdout);
  fflush(stdout);
  CoUninitialize();
  return 0;
}

}  // namespace
}  // namespace fakewmi
}  // namespace quillon

int wmain(int argc, wchar_t** argv) {
  if (argc == 2 && wcscmp(argv[1], L"--list-child") == 0) return quillon::fakewmi::ListChild();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
