#include "discovery/FindReader.h"

#include <gtest/gtest.h>

#include <utility>

#include "serial/SerialPort.h"
#include "tests/support/fakewmi/FakeWmi.h"

namespace {

using quillon::fakewmi::FakeWmiConfig;
using quillon::fakewmi::ScopedFakeWmi;

// The run's host: a message-only window on the test's thread, which collects the
// run's report, and a port that a run without the reader must leave alone.
class Host final : public CReaderHost {
 public:
  Host()
      : window_(
            CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}
  ~Host() { DestroyWindow(window_); }
  HWND ReaderOwner() override { return window_; }
  CSerialPort& ReaderPort() override { return port_; }

  // The report the run posted: {outcome, run id}, or {~0, 0} when there is none.
  std::pair<WPARAM, LPARAM> TakeReport() {
    MSG msg;
    if (!PeekMessageW(&msg, window_, WM_READER_SEARCHED, WM_READER_SEARCHED, PM_REMOVE))
      return {~WPARAM(0), 0};
    return {msg.wParam, msg.lParam};
  }

 private:
  HWND window_;
  CSerialPort port_;
};

// A device list the service cannot give may hold the reader: the run says "unknown",
// so its owner tries again, and only a list that was read says "not listed".
TEST(FindReaderRun, AnUnreadableDeviceListIsReportedAsUnknown) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    ScopedFakeWmi wmi;
    ASSERT_EQ(wmi.Result(), S_OK);
    FakeWmiConfig queryFails, bindFails, readable;
    queryFails.queryFailure = quillon::fakewmi::kWbemFailed;
    bindFails.bindFailure = E_ACCESSDENIED;
    readable.AddFiller(3);
    const struct {
      const char* what;
      const FakeWmiConfig& config;
      WPARAM outcome;
    } cases[] = {
        {"query fails", queryFails, kReaderUnknown},
        {"service not bound", bindFails, kReaderUnknown},
        {"read, without the reader", readable, kReaderNotFound},
    };
    Host host;
    UINT id = 40;
    for (const auto& c : cases) {
      SCOPED_TRACE(c.what);
      ASSERT_TRUE(wmi.SetConfig(c.config));
      ReaderRun run = {&host, ++id};
      EXPECT_EQ(FindReaderThreadProc(&run), 0u);
      EXPECT_EQ(host.TakeReport(), std::make_pair(c.outcome, static_cast<LPARAM>(id)));
      EXPECT_FALSE(host.ReaderPort().IsOpen());
    }
  }
  CoUninitialize();
}

}  // namespace
