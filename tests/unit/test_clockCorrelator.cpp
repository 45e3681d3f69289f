// The clock correlator: every row and the hour window from its data file, and
// the release of the synchronised event by each loss of synchronisation.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "rowCases.h"

namespace {

const char kSync[] = "kel.clock.correction.adjtime.sync";
const char kUnsync[] = "kel.clock.correction.adjtime.unsync";

// Sends an observation without arguments (or the two of a clock step) and
// returns the number of events it posted.
size_t Observe(CorrelatorHarness &h, const std::string &id) {
  if (id == "kel.clock.correction.step.unsync") {
    h.Send(id, "%d %d", {KelArg::I32(1700000000), KelArg::I32(0)});
  } else {
    h.Send(id, "none");
  }
  return h.Take().size();
}

TEST(ClockCorrelator, RowsPostTheirEvents) {
  CorrelatorHarness h(ClockCorrelator_Def());
  for (const std::string &failure : RunRowCases(h, "clock.rows")) ADD_FAILURE() << failure;
  EXPECT_NE(h.Syslog().find("No system clock correlator for kel.clock.no.such\n"), std::string::npos);
}

TEST(ClockCorrelator, EveryLossReleasesRegainedSync) {
  for (const char *loss : {kUnsync, "kel.clock.correction.adjtime.lostsync", "kel.clock.correction.step.unsync"}) {
    SCOPED_TRACE(loss);
    CorrelatorHarness h(ClockCorrelator_Def());
    EXPECT_EQ(Observe(h, kSync), 1u);
    h.Advance(60);
    EXPECT_EQ(Observe(h, loss), 1u);
    h.Advance(60);
    EXPECT_EQ(Observe(h, kSync), 1u);
    h.Advance(60);
    EXPECT_EQ(Observe(h, kSync), 0u);
  }
}

TEST(ClockCorrelator, ThrottledLossDoesNotReleaseSync) {
  CorrelatorHarness h(ClockCorrelator_Def());
  EXPECT_EQ(Observe(h, kUnsync), 1u);
  EXPECT_EQ(Observe(h, kSync), 1u);
  h.Advance(600);
  EXPECT_EQ(Observe(h, kUnsync), 0u);
  EXPECT_EQ(Observe(h, kSync), 0u);
}

}  // namespace
