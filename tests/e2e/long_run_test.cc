// A log that piles annotations on one time, channel and number, then deletes
// there: annapply and annfile check take it as any other log.
#include <string>

#include "run.h"

namespace {

using LongRun = ScratchDir;

TEST_F(LongRun, ManyEditsAtOnePlace) {
  const int n = 30000;
  std::string log = log_header("rec", "atr");
  for (int i = 0; i < n; i++) log += "5000,N\n";
  for (int i = 0; i < n; i++) log += "5000,NOTE,x\n";
  // Nothing at 5000 is an ARR (a NOTE, and check warns of it as of a
  // mistyped ART); every NOTE lies before every N.
  for (int i = 0; i < n; i++) log += "-5000,ARR\n";
  for (int i = 0; i < n; i++) log += "-5000,NOTE,x\n";
  log += "-5000,N\n";
  load("rec", "atr", "5000\t1\t0\t0\t0\tstored\n6000\t1\t0\t0\t0\n");
  const run_limits guard = {.alarm_seconds = 60};

  run_result checked = annfile({"check"}, log, guard);
  EXPECT_EQ(checked.status, 1);
  EXPECT_EQ(checked.err, "");
  std::string summary =
      "<stdin>: 120001 entry lines: 90001 applied (60000 inserted, 30001 "
      "deleted), 0 skipped, 30000 unmatched; 30000 warnings\n<stdin>: annapply "
      "would write rec.atr_ with 30001 annotations (2 read from rec.atr)\n";
  ASSERT_GE(checked.out.size(), summary.size());
  EXPECT_EQ(checked.out.substr(checked.out.size() - summary.size()), summary);

  run_result applied = annapply(log, guard);
  EXPECT_EQ(applied.status, 0);
  EXPECT_EQ(applied.err, "");
  std::string expected;
  for (int i = 1; i < n; i++) expected += "5000\t1\t0\t0\t0\n";
  expected += "5000\t1\t0\t0\t0\tstored\n6000\t1\t0\t0\t0\n";
  EXPECT_EQ(dump("rec", "atr_"), expected);
}

}  // namespace
