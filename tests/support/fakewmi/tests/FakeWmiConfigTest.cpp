#include "tests/support/fakewmi/FakeWmiConfig.h"

#include <gtest/gtest.h>

namespace quillon {
namespace fakewmi {
namespace {

TEST(FakeWmiConfigText, EveryKindOfSettingSurvivesTheTextForm) {
  FakeWmiConfig c;
  c.parseFailure = static_cast<HRESULT>(0x800401E4);
  c.bindFailure = static_cast<HRESULT>(0x80041003);
  c.queryFailure = DISP_E_EXCEPTION;
  c.queryDelayMs = 2500;
  c.readDelayMs = 3;
  c.queryHoldEvent = L"Local\\hold me";
  c.Add(L"USB Serial Port (COM7)", L"USBSER\\VID_0403+PID_8288+A1B2\\0000")
      .Add(FakeValue::Null(), FakeValue::Fail())
      .Add(FakeValue::Fail(static_cast<HRESULT>(0x80041002)), L"!starts with a bang")
      .Add(L"", L"caf\u00e9 \u2603");
  FakeWmiConfig back;
  std::string error;
  ASSERT_TRUE(FakeWmiConfig::FromText(c.ToText(), &back, &error)) << error << "\n" << c.ToText();
  EXPECT_EQ(back.parseFailure, c.parseFailure);
  EXPECT_EQ(back.bindFailure, c.bindFailure);
  EXPECT_EQ(back.queryFailure, c.queryFailure);
  EXPECT_EQ(back.queryDelayMs, 2500u);
  EXPECT_EQ(back.readDelayMs, 3u);
  EXPECT_EQ(back.queryHoldEvent, c.queryHoldEvent);
  EXPECT_EQ(back.devices, c.devices);
}

TEST(FakeWmiConfigText, ReadsHandWrittenTextWithFillerInPlace) {
  const std::string text =
      "\xEF\xBB\xBF# demo\r\n"
      "\n"
      "device First (COM1)\tACPI\\PNP0501\\1\r\n"
      "filler 2\n"
      "device !null\t!0x80041002\n"
      "query-fail 2147749890\n";  // 0x80041002 in decimal
  FakeWmiConfig c;
  std::string error;
  ASSERT_TRUE(FakeWmiConfig::FromText(text, &c, &error)) << error;
  ASSERT_EQ(c.devices.size(), 4u);
  EXPECT_EQ(c.devices[0].name.text, L"First (COM1)");
  EXPECT_EQ(c.devices[0].pnpDeviceId.text, L"ACPI\\PNP0501\\1");
  EXPECT_EQ(c.devices[1], (FakeDevice{L"Filler device 1", L"ROOT\\FILLER\\0001"}));
  EXPECT_EQ(c.devices[2], (FakeDevice{L"Filler device 2", L"ROOT\\FILLER\\0002"}));
  EXPECT_EQ(c.devices[3].name.kind, FakeValue::kNull);
  EXPECT_EQ(c.devices[3].pnpDeviceId.kind, FakeValue::kFail);
  EXPECT_EQ(c.devices[3].pnpDeviceId.failure, static_cast<HRESULT>(0x80041002));
  EXPECT_EQ(c.queryFailure, static_cast<HRESULT>(0x80041002));
}

TEST(FakeWmiConfigText, RejectsMistakesAndNamesTheLine) {
  const struct {
    const char* text;
    const char* line;
  } cases[] = {
      {"device no tab here\n", "line 1:"},
      {"# ok\nquery-dely 5\n", "line 2:"},
      {"query-fail 5\n", "line 1:"},           // a success code is no failure
      {"bind-fail 0x8000FFFF0\n", "line 1:"},  // more than 32 bits
      {"read-delay -1\n", "line 1:"},
      {"device a\t!0x00000001\n", "line 1:"},
      {"filler\n", "line 1:"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.text);
    FakeWmiConfig c;
    std::string error;
    EXPECT_FALSE(FakeWmiConfig::FromText(tc.text, &c, &error));
    EXPECT_EQ(error.rfind(tc.line, 0), 0u) << error;
  }
}

}  // namespace
}  // namespace fakewmi
}  // namespace quillon
