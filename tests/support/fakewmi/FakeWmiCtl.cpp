// fakewmi-ctl: installs the test WMI provider in a Wine prefix from the Linux
// side (demo scripts, manual runs), with the build's wine-run wrapper:
//
//   wine-run fakewmi-ctl.exe install CONFIG [LOG]  provider next to this exe;
//                                                  LOG defaults to CONFIG.log
//   wine-run fakewmi-ctl.exe uninstall             "winmgmts:" is Wine's again
//   wine-run fakewmi-ctl.exe status                what "winmgmts:" resolves to
//   wine-run fakewmi-ctl.exe list                  what a client sees now
//   wine-run fakewmi-ctl.exe time [RUNS]           milliseconds per full walk
//                                                  (bind, query, every read)
//
// Paths may be Linux paths ("/tmp/x" is taken as "Z:\tmp\x"). Exit code 0 on
// success, 1 on failure, 2 on bad usage.

#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>

#include "tests/support/fakewmi/FakeWmi.h"

using namespace quillon::fakewmi;

namespace {

std::wstring FullPath(const wchar_t* arg) {
  std::wstring p = ToWindowsPath(arg);
  wchar_t full[MAX_PATH];
  DWORD n = GetFullPathNameW(p.c_str(), MAX_PATH, full, nullptr);
  return (n > 0 && n < MAX_PATH) ? std::wstring(full) : p;
}

std::wstring DllBesideExe() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\') + 1) + L"fakewmi.dll";
}

std::string Show(const WmiValue& v) {
  if (FAILED(v.hr)) {
    char buf[32];
    snprintf(buf, sizeof buf, "<failed 0x%08lX>", static_cast<unsigned long>(v.hr));
    return buf;
  }
  if (v.vt == VT_NULL) return "<null>";
  if (v.vt != VT_BSTR) return "<vt " + std::to_string(v.vt) + ">";
  return WideToUtf8(v.text);
}

int List() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  WmiListing l = ListWmiDevices();
  printf("bind 0x%08lX query 0x%08lX enumerate 0x%08lX devices %u\n", static_cast<unsigned long>(l.bind),
         static_cast<unsigned long>(l.query), static_cast<unsigned long>(l.enumerate),
         static_cast<unsigned>(l.devices.size()));
  for (const WmiDevice& d : l.devices) printf("%s\t%s\n", Show(d.name).c_str(), Show(d.pnpDeviceId).c_str());
  CoUninitialize();
  return SUCCEEDED(l.enumerate) ? 0 : 1;
}

// The provider's own share of a discovery run's time, for benchmarks that
// list many devices before the reader.
int Time(int runs) {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  bool ok = true;
  for (int i = 0; i < runs; ++i) {
    QueryPerformanceCounter(&t0);
    WmiListing l = ListWmiDevices();
    QueryPerformanceCounter(&t1);
    ok = ok && SUCCEEDED(l.enumerate);
    printf("run %d: %u devices, %.2f ms\n", i + 1, static_cast<unsigned>(l.devices.size()),
           (t1.QuadPart - t0.QuadPart) * 1000.0 / freq.QuadPart);
  }
  CoUninitialize();
  return ok ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring cmd = argc > 1 ? argv[1] : L"";
  if (cmd == L"install" && (argc == 3 || argc == 4)) {
    const std::wstring config = FullPath(argv[2]);
    const std::wstring log = argc == 4 ? FullPath(argv[3]) : config + L".log";
    HRESULT hr = Install(config, log, DllBesideExe());
    if (FAILED(hr)) {
      fprintf(stderr, "fakewmi-ctl: install failed: 0x%08lX (is the configuration readable and valid?)\n",
              static_cast<unsigned long>(hr));
      return 1;
    }
    printf("installed: config %s, log %s\n", WideToUtf8(config).c_str(), WideToUtf8(log).c_str());
    return 0;
  }
  if (cmd == L"uninstall" && argc == 2) {
    HRESULT hr = Uninstall();
    printf("uninstall: 0x%08lX\n", static_cast<unsigned long>(hr));
    return SUCCEEDED(hr) ? 0 : 1;
  }
  if (cmd == L"status" && argc == 2) {
    ProviderPaths p;
    const std::wstring clsid = WinmgmtsClsid();
    printf("winmgmts: %s (%s)\n", WideToUtf8(clsid).c_str(),
           clsid == kProviderClsidText  ? "test provider"
           : clsid == kWineWmiClsidText ? "Wine's WMI"
                                        : "other");
    if (ReadProviderPaths(&p))
      printf("provider: dll %s\nconfig: %s\nlog: %s\n", WideToUtf8(p.dll).c_str(),
             WideToUtf8(p.config).c_str(), WideToUtf8(p.log).c_str());
    return 0;
  }
  if (cmd == L"list" && argc == 2) return List();
  if (cmd == L"time" && argc <= 3) {
    int runs = argc == 3 ? _wtoi(argv[2]) : 5;
    return Time(runs > 0 && runs <= 1000 ? runs : 5);
  }
  fprintf(stderr, "usage: fakewmi-ctl install CONFIG [LOG] | uninstall | status | list | time [RUNS]\n");
  return 2;
}
