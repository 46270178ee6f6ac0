#include "ui/ResumeBroadcasts.h"
#include "ui/RetrySchedule.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

// Steps, one word each: "sN" run N starts (an arrival's, a loss's...), "tN" the timer
// starts run N; "bN" run N reports busy or unknown, "oN" open or not listed, "!" after
// a report: the timer must be killed; "aMS" / "hMS": the interval armed now with
// nothing holding retries off / with the port open, 0 for none; "f" the timer fires;
// "r" an arrival, a loss or the session back starts over.
void Play(const char* script) {
  CRetrySchedule schedule;
  std::istringstream steps(script);
  std::string step;
  while (steps >> step) {
    SCOPED_TRACE(step);
    const char op = step[0];
    const bool kill = step.back() == '!';
    const UINT n = static_cast<UINT>(strtoul(step.c_str() + 1, nullptr, 10));
    switch (op) {
      case 's':
      case 't':
        schedule.RunStarted(n, op == 't');
        break;
      case 'b':
      case 'o':
        EXPECT_EQ(schedule.Reported(n, op == 'b'), kill);
        break;
      case 'a':
      case 'h':
        EXPECT_EQ(schedule.Arm(op == 'h'), n);
        break;
      case 'f':
        schedule.Fired();
        break;
      case 'r':
        schedule.Restart();
        break;
      default:
        FAIL() << "no such step";
    }
  }
}

TEST(RetrySchedule, ReportOrdersAndTheIntervals) {
  const struct {
    const char* name;
    const char* script;
  } cases[] = {
      {"doubles up to the most",
       "s1 b1 a1000 f t2 b2 a2000 f t3 b3 a4000 f t4 b4 a8000 f t5 b5 a16000 f t6 b6 a30000 f t7 b7 a30000"},
      {"one interval at a time", "s1 b1 a1000 a0"},
      {"not again while the timer's run is in flight", "s1 b1 a1000 f t2 a0 s3 b3 a0 b2 a2000"},
      {"an arrival starts over, after the timer's run", "s1 b1 a1000 f t2 b2 a2000 f t3 r s4 b4 a0 b3 a1000"},
      {"not while the port is open", "s1 b1 h0 a1000"},
      {"open from the newest ends them", "s1 b1 a1000 f t2 b2 a2000 s3 o3! a0 s4 b4 a1000"},
      {"an older open is history", "s1 s2 b2 a1000 o1 f t3 b3 a2000"},
      {"an older busy after the newest not listed", "s1 s2 o2! b1 a0"},
      {"a new run waits for its own report", "s1 b1 s2 a0 b2 a1000"},
      {"unknown from the newest goes on", "s1 b1 a1000 f t2 b2 a2000 f t3 b3 a4000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Play(c.script);
  }
}

}  // namespace

namespace {

// The two broadcasts of one resume are one; a suspend between them, or a long time,
// makes the next one a resume of its own. Other broadcasts are no resume.
TEST(ResumeBroadcasts, ThePairIsOneResume) {
  const struct {
    const char* name;
    std::vector<std::pair<WPARAM, ULONGLONG>> broadcasts;
    std::vector<bool> newResume;
  } cases[] = {
      {"automatic, then for a person",
       {{PBT_APMRESUMEAUTOMATIC, 0}, {PBT_APMRESUMESUSPEND, 3000}},
       {true, false}},
      {"for a person only", {{PBT_APMRESUMESUSPEND, 0}}, {true}},
      {"sleep between",
       {{PBT_APMRESUMEAUTOMATIC, 0}, {PBT_APMSUSPEND, 60000}, {PBT_APMRESUMEAUTOMATIC, 61000}},
       {true, false, true}},
      {"no suspend broadcast, hours later",
       {{PBT_APMRESUMEAUTOMATIC, 0}, {PBT_APMRESUMEAUTOMATIC, 8ull * 3600 * 1000}},
       {true, true}},
      {"just inside the pair", {{PBT_APMRESUMEAUTOMATIC, 0}, {PBT_APMRESUMESUSPEND, 119999}}, {true, false}},
      {"other broadcasts",
       {{PBT_APMPOWERSTATUSCHANGE, 0}, {PBT_POWERSETTINGCHANGE, 1}, {PBT_APMSUSPEND, 2}},
       {false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CResumeBroadcasts resumes;
    for (size_t i = 0; i < c.broadcasts.size(); ++i)
      EXPECT_EQ(resumes.IsNewResume(c.broadcasts[i].first, c.broadcasts[i].second), c.newResume[i]) << i;
  }
}

}  // namespace
