// The SCSI correlator: its rows (tests/data/scsi.rows), the logged read
// failures, and the counting of path state changes and power-on resets under
// the fake clock.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "keldCorrelators.h"
#include "rowCases.h"

namespace {

// vmhba1 -> naa.600 (figure 1, partitions 1 and 2 on ds1, 3 on ds2),
// vmhba2 -> naa.700 (figure 2, a partition without a volume),
// vmhba3 -> naa.800 (figure 3, not a disk), vmhba4 -> naa.900 (figure 0).
const char kScsiHost[] =
    "lun naa.600 1 1 2 3\n"
    "lun naa.700 2 1\n"
    "lun naa.800 3\n"
    "lun naa.900 0 1\n"
    "path vmhba1 naa.600\n"
    "path vmhba2 naa.700\n"
    "path vmhba3 naa.800\n"
    "path vmhba4 naa.900\n"
    "volume naa.600:1 ds1\n"
    "volume naa.600:2 ds1\n"
    "volume naa.600:3 ds2\n";

const char kBothDatastores[] = "\"ds1\", \"ds2\"";

size_t Count(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
  return n;
}

std::vector<std::string> Ids(const std::vector<PostedEvent> &events) {
  std::vector<std::string> ids;
  for (const PostedEvent &e : events) ids.push_back(e.id);
  return ids;
}

TEST(ScsiCorrelator, RowsAndLoggedReadFailures) {
  CorrelatorHarness h(ScsiCorrelator_Def(), kScsiHost);
  ASSERT_EQ(h.Table().size(), 35u);
  for (const std::string &f : RunRowCases(h, "scsi.rows")) ADD_FAILURE() << f;

  // Every failing case of scsi.rows logs its row's line with the accessor's
  // status (22 for a mistyped argument or one missing for Kel_GetArgs, 75 for
  // a text missing at its index), as often as it occurs there, and nothing
  // else: path state and power-on-reset reads fail silently.
  const std::vector<std::pair<std::string, size_t>> logged = {
      {"Failed to get params for correlation kel.scsi.device.invalid.xcopy.request: 22\n", 1},
      {"Failed to correlate kel.scsi.device.io.latency.high: 22\n", 1},
      {"Failed to correlate kel.scsi.device.io.latency.improved: 22\n", 1},
      {"Failed to correlate kel.scsi.device.io.bad.plugin.type: 22\n", 1},
      {"Failed to correlate kel.scsi.device.io.inquiry.failed: 22\n", 1},
      {"Failed to correlate kel.scsi.device.is.pseudo.failed: 22\n", 1},
      {"Failed to correlate kel.scsi.device.is.ssd.failed: 22\n", 1},
      {"Failed to correlate kel.scsi.device.is.local.failed: 22\n", 1},
      {"Failed to correlate kel.scsi.device.close.failed: 22\n", 1},
      {"Failed to correlate kel.scsi.device.io.qerr.change.config: 22\n", 1},
      {"Failed to correlate kel.scsi.device.io.qerr.changed: 22\n", 1},
      {"Failed to get MPX ARTY options: 75\n", 1},
      {"Failed to get path name: 75\n", 2},  // the arty row's path, then unsafepe
      {"Failed to get params for correlation kel.scsi.device.filter.attach.failed: 22\n", 1},
      {"Failed to get params for correlation kel.scsi.device.detach.failed: 75\n", 1},
      {"Failed to get device name: 75\n", 7},  // four state rows, three permanent-loss rows
      {"Failed to correlate kel.scsi.unsupported.plugin.type: 22\n", 1},
      {"Failed to get device limit reached device count: 22\n", 1},
      {"Failed to get device limit reached plugin name: 75\n", 1},
      {"Failed to get path limit reached path count: 22\n", 1},
      {"Failed to get path limit reached path name: 75\n", 1},
      {"Failed to get PE-incapable adapter name for path vmhba5:C0:T1:L0 : 75\n", 1},
      {"Failed to get path add remove path name: 75\n", 1},
      {"Failed to get thin provisioned device name: 75\n", 1},
  };
  std::string syslog = h.Syslog();
  for (const auto &[line, times] : logged) EXPECT_EQ(Count(syslog, line), times) << line;
  EXPECT_EQ(Count(syslog, ": 22\n") + Count(syslog, ": 75\n"), 31u);

  h.Send("kel.scsi.no.such.row", "x");
  EXPECT_TRUE(h.Take().empty());
  EXPECT_EQ(Count(h.Syslog(), "No correlator for kel.scsi.no.such.row \n"), 1u);
}

// Sends `n` state changes of `path` that report no loss of their own.
void Changes(CorrelatorHarness &h, const std::string &path, int n) {
  for (int i = 0; i < n; i++) {
    h.Send("kel.scsi.scsipath.pathstate.off", "%s %s", {KelArg::Str(path), KelArg::Str("dead")});
  }
}

TEST(ScsiCorrelator, PathStateChangeStormIsReportedOncePerReset) {
  CorrelatorHarness h(ScsiCorrelator_Def(), kScsiHost);
  Changes(h, "vmhba1", 9);
  EXPECT_TRUE(h.Take().empty());
  Changes(h, "vmhba1", 1);
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, "nox.problem.storage.connectivity.pathstatechanges");
  EXPECT_EQ(events[0].message,
            "Frequent path state changes are occurring for path vmhba1. This may indicate a storage problem. "
            "Affected device: naa.600. Affected datastores: " + std::string(kBothDatastores) + ".");
  EXPECT_EQ(ArgTexts(events[0]), (std::vector<std::string>{"vmhba1", "naa.600", kBothDatastores}));

  // Past 10 the count survives the sweeps but is not reported again.
  Changes(h, "vmhba1", 1);
  h.Advance(300);
  Changes(h, "vmhba1", 5);
  EXPECT_TRUE(h.Take().empty());

  // After the reset (more than 600 s) ten more changes are a new storm;
  // figure 0 names no datastores.
  h.Advance(301);
  Changes(h, "vmhba4", 10);
  Changes(h, "vmhba1", 10);
  events = h.Take();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(ArgTexts(events[0]), (std::vector<std::string>{"vmhba4", "naa.900", "Unknown"}));
  EXPECT_EQ(ArgTexts(events[1]), (std::vector<std::string>{"vmhba1", "naa.600", kBothDatastores}));

  // A sweep (more than 60 s since the last) zeroes counts of 9 or less
  // before the next change is counted.
  h.Advance(601);
  Changes(h, "vmhba2", 1);  // the reset
  Changes(h, "vmhba2", 8);
  h.Advance(61);
  Changes(h, "vmhba2", 1);
  EXPECT_TRUE(h.Take().empty());
  Changes(h, "vmhba2", 9);
  EXPECT_EQ(Ids(h.Take()), (std::vector<std::string>{"nox.problem.storage.connectivity.pathstatechanges"}));
}

TEST(ScsiCorrelator, PathAddAndRemoveCountAsChanges) {
  CorrelatorHarness h(ScsiCorrelator_Def(), kScsiHost);
  auto add = [&](const char *id, int n) {
    for (int i = 0; i < n; i++) h.Send(id, "%s", {KelArg::Str("vmhba3")});
  };
  add("kel.scsi.scsipath.add", 10);  // the first addition of a path starts it at 0
  EXPECT_TRUE(h.Take().empty());
  add("kel.scsi.scsipath.remove", 1);  // back to 0
  Changes(h, "vmhba3", 9);
  EXPECT_TRUE(h.Take().empty());
  add("kel.scsi.scsipath.add", 1);
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(ArgTexts(events[0]), (std::vector<std::string>{"vmhba3", "naa.800", "Unknown"}));
}

TEST(ScsiCorrelator, PowerOnResetStormNamesPathOrDevice) {
  CorrelatorHarness h(ScsiCorrelator_Def(), kScsiHost);
  auto resets = [&](const char *name, int n) {
    for (int i = 0; i < n; i++) h.Send("kel.scsi.scsipath.por", "%s", {KelArg::Str(name)});
  };
  resets("vmhba2", 10);
  resets("naa.600", 10);  // not a path: the device variant
  resets("naa.404", 10);  // neither path nor device: nothing
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].id, "nox.problem.storage.connectivity.pathpor");
  EXPECT_EQ(events[0].message,
            "Frequent PowerOn Reset Unit Attentions are occurring on path vmhba2. This may indicate a storage "
            "problem. Affected device: naa.700. Affected datastores: Unknown.");
  EXPECT_EQ(events[1].id, "nox.problem.storage.connectivity.devicepor");
  EXPECT_EQ(events[1].message,
            "Frequent PowerOn Reset Unit Attentions are occurring on device naa.600. This may indicate a "
            "storage problem. Affected datastores: " + std::string(kBothDatastores) + ".");
  EXPECT_EQ(ArgTexts(events[1]), (std::vector<std::string>{"naa.600", kBothDatastores}));
}

TEST(ScsiCorrelator, LookupFailures) {
  // A failing volume request fails the whole list; a failing LUN lookup
  // throws out of the handler, which the frame drops.
  CorrelatorHarness h(ScsiCorrelator_Def(), std::string(kScsiHost) + "fail volume naa.600:2\nfail lun naa.700\n");
  h.Send("kel.scsi.device.state.permanentloss", "%s", {KelArg::Str("naa.600")});
  h.Send("kel.scsi.scsipath.pathstate.dead", "%s %s", {KelArg::Str("vmhba2"), KelArg::Str("on")});
  h.Send("kel.scsi.scsipath.pathstate.dead", "%s %s", {KelArg::Str("vmhba1"), KelArg::Str("on")});
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(ArgTexts(events[0]), (std::vector<std::string>{"naa.600", "Unknown"}));
  EXPECT_EQ(ArgTexts(events[1]), (std::vector<std::string>{"naa.600", "vmhba1", "Unknown"}));
}

}  // namespace
