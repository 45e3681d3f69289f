// The cluster file system correlator: its rows (tests/data/glfs.rows), the
// logged latency read failures, and the internal error of a shared handler
// reached by an ID that is not one of its rows.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "rowCases.h"

namespace {

TEST(GlfsCorrelator, Rows) {
  CorrelatorHarness h(GlfsCorrelator_Def());
  ASSERT_EQ(h.Table().size(), 24u);
  for (const std::string &f : RunRowCases(h, "glfs.rows")) ADD_FAILURE() << f;

  // Only the latency rows log their read failures; unknown IDs log nothing.
  std::string syslog = h.Syslog();
  for (const char *line : {"Failed to correlate kel.glfs.nfs.volume.io.latency.high: 22\n",
                           "Failed to correlate kel.glfs.nfs.volume.io.latency.improved: 22\n",
                           "Failed to correlate kel.glfs.nfs.volume.io.latency.exceed.threshold.period: 22\n"}) {
    EXPECT_NE(syslog.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(syslog.find("Failed to correlate kel.glfs.heartbeat"), std::string::npos);
  EXPECT_EQ(syslog.find("kel.glfs.no.such.row"), std::string::npos);
}

TEST(GlfsCorrelatorDeathTest, SharedHandlerWithForeignIdStopsTheDaemon) {
  // The heartbeat handler, registered under an ID none of its rows has.
  static ObservationHandler heartbeat = GlfsCorrelator_Def().buildTable().at("kel.glfs.heartbeat.timedout");
  static const CorrelatorDef def = {
      "glfs", {"glfs"}, Unhandled_ReadId, [] { return HandlerTable{{"kel.glfs.foreign", heartbeat}}; },
      nullptr, nullptr, nullptr};
  CorrelatorHarness h(def);
  std::vector<KelArg> args;
  for (int i = 0; i < 9; i++) args.push_back(KelArg::U32(1));
  args.push_back(KelArg::Str("detail"));
  EXPECT_DEATH(h.Send("kel.glfs.foreign", "x", args), "NOT_REACHED keldGlfsCorrelator:[0-9]+");
}

}  // namespace
