#include "app/ExitRunning.h"

#include <gtest/gtest.h>

namespace {

// Only the switch itself ends a copy; any other command line starts the program
// as before, so a near miss must not count.
TEST(ExitSwitch, OnlyTheWholeFirstWordCounts) {
  const struct {
    const wchar_t* cmdLine;
    bool isExit;
  } cases[] = {
      {L"--exit", true}, {L"  --exit", true},   {L"\t--exit", true},  {L"--exit now", true},
      {L"", false},      {L"--exitnow", false}, {L"--exi", false},    {L"-exit", false},
      {L"/exit", false}, {L"--EXIT", false},    {L"x --exit", false}, {L"\"--exit\"x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "command line [" << c.cmdLine << "]");
    EXPECT_EQ(IsExitSwitch(c.cmdLine), c.isExit);
  }
  EXPECT_FALSE(IsExitSwitch(nullptr));
}

}  // namespace
