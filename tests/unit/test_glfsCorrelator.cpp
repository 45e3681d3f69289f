// The cluster file system correlator: its rows (tests/data/glfs.rows) and the
// logged latency read failures.
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

}  // namespace
