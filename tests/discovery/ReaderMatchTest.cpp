#include "discovery/ReaderMatch.h"

#include <gtest/gtest.h>

namespace quillon {
namespace {

struct PortCase {
  const char* name;
  int port;
};

TEST(PortNumberFromName, ReadsTheNumberAfterTheFirstMarker) {
  const PortCase cases[] = {
      {"USB Serial Port (COM3)", 3},
      {"USB Serial Port (COM7", 7},  // no closing parenthesis
      {"Reader (COM12)", 12},
      {"Reader (COM)", 0},
      {"Reader (COMx)", 0},
      {"Reader (COM 4)", 4},  // blanks before the digits are skipped
      {"Reader (COM+5)", 5},
      {"Reader (COM-5)", -5},  // names no device; Open then fails
      {"Reader (COM9a)", 9},
      {"Reader (COM1(COM2)", 1},       // the token ends at the next "("
      {"A (COM2) and (COM3)", 2},      // the first marker counts
      {"Reader (COM99999999999)", 0},  // does not fit an int: no port
      {"Reader (COM2147483647)", 2147483647},
      {"Reader (com3)", 0},
      {"No marker", 0},
      {"", 0},
      {nullptr, 0},
  };
  for (const PortCase& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(null)");
    EXPECT_EQ(PortNumberFromName(c.name), c.port);
  }
}

struct MatchCase {
  const char* name;
  const char* id;
  bool reader;
};

TEST(IsReaderDevice, NeedsThePortMarkerAndTheReaderIdentifier) {
  const MatchCase cases[] = {
      {"USB Serial Port (COM3)", "USB\\VID_0403+PID_8288+A1\\0000", true},
      {"USB Serial Port (COM3)", "FTDIBUS\\VID_0403+PID_8288", true},
      {"USB Serial Port (COM)", "VID_0403+PID_8288", true},  // matches; its port is 0
      {"usb serial port (com3)", "VID_0403+PID_8288", false},
      {"USB Serial Port (COM3)", "vid_0403+pid_8288", false},
      {"USB Serial Port (COM3)", "VID_0403+PID_6001", false},
      {"USB Serial Port", "VID_0403+PID_8288", false},
      {"USB Serial Port COM3", "VID_0403+PID_8288", false},  // the port is written "(COM"
      {"USB Serial Port (COM3)", nullptr, false},
      {nullptr, "VID_0403+PID_8288", false},
  };
  for (const MatchCase& c : cases) {
    SCOPED_TRACE(std::string(c.name ? c.name : "(null)") + " / " + (c.id ? c.id : "(null)"));
    EXPECT_EQ(IsReaderDevice(c.name, c.id), c.reader);
  }
  EXPECT_STREQ(g_readerDeviceIds[0], "VID_0403+PID_8288");
  EXPECT_EQ(g_readerDeviceIds[1], nullptr);
}

}  // namespace
}  // namespace quillon
