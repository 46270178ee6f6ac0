#include "discovery/ReaderWalk.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "automation/Automation.h"
#include "tests/support/fakedispatch/FakeDispatch.h"
#include "tests/support/fakewmi/FakeWmi.h"

namespace quillon {
namespace {

using fakedispatch::FakeCollection;
using fakedispatch::FakeDispatch;
using fakedispatch::Handler;

const HRESULT kNoValue = static_cast<HRESULT>(0x80041001);  // the read fails

struct Device {
  const wchar_t* name;  // null: the read fails
  const wchar_t* id;
};

// A service whose ExecQuery yields a collection of the given devices. Every
// member call is appended to `trace` as "Member" or "dev<i>.Member".
class FakeService {
 public:
  explicit FakeService(const std::vector<Device>& devices, HRESULT queryResult = S_OK) {
    std::vector<VARIANT> items;
    for (size_t i = 0; i < devices.size(); ++i) {
      auto device = std::make_unique<FakeDispatch>();
      const std::string tag = "dev" + std::to_string(i);
      device->Add(L"Name", 1, Traced(tag + ".Name", devices[i].name));
      device->Add(L"PnPDeviceID", 2, Traced(tag + ".PnPDeviceID", devices[i].id));
      VARIANT v;
      V_VT(&v) = VT_DISPATCH;
      V_DISPATCH(&v) = device.get();
      items.push_back(v);
      this->devices.push_back(std::move(device));
    }
    collection = std::make_unique<FakeCollection>(items);
    service.Add(L"ExecQuery", 7,
                [this, queryResult](const DISPPARAMS& params, VARIANT* result, EXCEPINFO*, UINT*) {
                  trace.push_back("ExecQuery");
                  if (params.cArgs == 1 && V_VT(&params.rgvarg[0]) == VT_BSTR)
                    query = V_BSTR(&params.rgvarg[0]);
                  if (FAILED(queryResult)) return queryResult;
                  collection->AddRef();
                  V_VT(result) = VT_DISPATCH;
                  V_DISPATCH(result) = collection.get();
                  return S_OK;
                });
  }

  Handler Traced(const std::string& what, const wchar_t* text) {
    return [this, what, text](const DISPPARAMS&, VARIANT* result, EXCEPINFO*, UINT*) {
      trace.push_back(what);
      if (!text) return kNoValue;
      V_VT(result) = VT_BSTR;
      V_BSTR(result) = SysAllocString(text);
      return S_OK;
    };
  }

  FakeDispatch service;
  // The collection's items refer to the devices, so the devices outlive it.
  std::vector<std::unique_ptr<FakeDispatch>> devices;
  std::unique_ptr<FakeCollection> collection;
  std::vector<std::string> trace;
  std::wstring query;
};

const wchar_t kReaderId[] = L"USBSER\\VID_0403+PID_8288+A1B2\\0000";

struct WalkCase {
  const char* what;
  std::vector<Device> devices;
  int port;
  size_t devicesRead;  // devices whose Name and PnPDeviceID were read
};

class Walk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(Walk, FindsTheFirstReaderAndStopsThere) {
  const WalkCase& c = GetParam();
  FakeService fake(c.devices);
  fakedispatch::BstrLedger ledger;

  EXPECT_EQ(FindReaderPort(&fake.service), c.port);

  EXPECT_EQ(fake.query, L"Select * from Win32_PnPEntity");
  std::vector<std::string> expected = {"ExecQuery"};
  for (size_t i = 0; i < c.devicesRead; ++i) {
    expected.push_back("dev" + std::to_string(i) + ".Name");
    expected.push_back("dev" + std::to_string(i) + ".PnPDeviceID");
  }
  EXPECT_EQ(fake.trace, expected);
  // Every object is released and every string freed.
  EXPECT_EQ(fake.service.RefCount(), 1u);
  EXPECT_EQ(fake.collection->RefCount(), 1u);
  for (const auto& d : fake.devices) EXPECT_EQ(d->RefCount(), 1u);
  EXPECT_EQ(ledger.Outstanding(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, Walk,
    ::testing::Values(
        WalkCase{"port_3", {{L"Keyboard", L"HID\\1"}, {L"USB Serial Port (COM3)", kReaderId}}, 3, 2},
        WalkCase{"port_7_without_parenthesis", {{L"USB Serial Port (COM7", kReaderId}}, 7, 1},
        WalkCase{"empty_token_ends_the_walk",
                 {{L"USB Serial Port (COM)", kReaderId}, {L"USB Serial Port (COM5)", kReaderId}},
                 0,
                 1},
        WalkCase{"lower_case_marker", {{L"USB Serial Port (com4)", kReaderId}}, 0, 1},
        WalkCase{
            "lower_case_identifier", {{L"USB Serial Port (COM4)", L"USBSER\\vid_0403+pid_8288\\0"}}, 0, 1},
        WalkCase{"identifier_without_port_marker_skipped",
                 {{L"USB Serial Port", kReaderId}, {L"USB Serial Port (COM8)", kReaderId}},
                 8,
                 2},
        WalkCase{"failed_identifier_read", {{L"USB Serial Port (COM4)", nullptr}}, 0, 1},
        WalkCase{"failed_name_read_skipped", {{nullptr, kReaderId}, {L"Reader (COM6)", kReaderId}}, 6, 2},
        WalkCase{"two_readers_take_the_first",
                 {{L"Reader (COM9)", kReaderId}, {L"Reader (COM10)", kReaderId}},
                 9,
                 1},
        WalkCase{"no_devices", {}, 0, 0},
        WalkCase{"no_reader",
                 {{L"Communications Port (COM1)", L"ACPI\\PNP0501\\1"}, {L"Mouse", L"HID\\2"}},
                 0,
                 2}),
    [](const ::testing::TestParamInfo<WalkCase>& info) { return info.param.what; });

TEST(WalkFailures, AFailedQueryOrNoServiceFindsNothing) {
  FakeService failing({{L"Reader (COM3)", kReaderId}}, kNoValue);
  EXPECT_EQ(FindReaderPort(&failing.service), 0);
  EXPECT_EQ(failing.trace, std::vector<std::string>{"ExecQuery"});
  EXPECT_EQ(failing.service.RefCount(), 1u);
  EXPECT_EQ(FindReaderPort(nullptr), 0);
}

// What a watcher of the walk is told: every device in order with the walk's
// verdict, the devices past the reader when it asks for them, and a failed query
// while the thread's error record still holds that failure.
class Recorder : public CReaderWalkObserver {
 public:
  explicit Recorder(bool goOn) : goOn_(goOn) {}
  void OnWalkFailed(HRESULT hr) override {
    ErrorRecord* record = nullptr;
    GetErrorRecord(&record);
    char text[64];
    snprintf(text, sizeof(text), "failed %08lx, recorded %08lx", static_cast<unsigned long>(hr),
             static_cast<unsigned long>(record ? record->result : 0));
    seen.push_back(text);
  }
  bool OnDevice(const char* name, const char* deviceId, bool isReader, int port) override {
    seen.push_back(std::string(name ? name : "-") + "|" + (deviceId ? deviceId : "-") + "|" +
                   (isReader ? "reader " + std::to_string(port) : "other"));
    return goOn_;
  }
  std::vector<std::string> seen;

 private:
  bool goOn_;
};

TEST(WalkObserver, SeesEveryDeviceAndTheFirstReaderStillDecides) {
  FakeService fake({{L"Keyboard", L"HID\\1"},
                    {L"Reader (COM3)", kReaderId},
                    {nullptr, kReaderId},
                    {L"Reader (COM4)", kReaderId}});
  const std::string id = "USBSER\\VID_0403+PID_8288+A1B2\\0000";
  Recorder all(true);
  EXPECT_EQ(FindReaderPort(&fake.service, &all), 3);
  EXPECT_EQ(all.seen, (std::vector<std::string>{"Keyboard|HID\\1|other", "Reader (COM3)|" + id + "|reader 3",
                                                "-|" + id + "|other", "Reader (COM4)|" + id + "|reader 4"}));
  Recorder upToReader(false);
  EXPECT_EQ(FindReaderPort(&fake.service, &upToReader), 3);
  EXPECT_EQ(upToReader.seen.size(), 2u);
}

TEST(WalkObserver, HearsOfAFailedQueryOnceWhileItsRecordHoldsIt) {
  FakeService failing({{L"Reader (COM3)", kReaderId}}, kNoValue);
  Recorder recorder(true);
  EXPECT_EQ(FindReaderPort(&failing.service, &recorder), 0);
  EXPECT_EQ(recorder.seen, std::vector<std::string>{"failed 80041001, recorded 80041001"});
}

// The whole pass the discovery thread makes, through the real moniker, against
// the test provider in this process.
TEST(WalkThroughMoniker, FindsTheReaderBehindWinmgmts) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    fakewmi::FakeWmiConfig config;
    config.AddFiller(3).Add(L"USB Serial Port (COM7)", kReaderId).Add(L"USB Serial Port (COM8)", kReaderId);
    fakewmi::ScopedFakeWmi wmi(config);
    ASSERT_EQ(wmi.Result(), S_OK);

    IDispatch* service = nullptr;
    ASSERT_EQ(GetObject(kWmiMoniker, nullptr, &service), S_OK);
    EXPECT_EQ(FindReaderPort(service), 7);

    // Failures at any stage find nothing.
    config.queryFailure = static_cast<HRESULT>(0x80041017);
    ASSERT_TRUE(wmi.SetConfig(config));
    EXPECT_EQ(FindReaderPort(service), 0);
    service->Release();

    config.queryFailure = S_OK;
    config.bindFailure = E_ACCESSDENIED;
    ASSERT_TRUE(wmi.SetConfig(config));
    service = nullptr;
    EXPECT_LT(GetObject(kWmiMoniker, nullptr, &service), 0);
    EXPECT_EQ(service, nullptr);
    EXPECT_EQ(FindReaderPort(service), 0);
  }
  CoUninitialize();
}

}  // namespace
}  // namespace quillon
