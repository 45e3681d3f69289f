// The SCSI correlator: its rows and logged read failures, and storms of path state changes and power-on resets.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "rowCases.h"

namespace {

// hba1 -> naa.600 (figure 1, partitions 1 and 2 on ds1, 3 on ds2), hba2 -> naa.700 (figure 2, a partition
// without a volume), hba3 -> naa.800 (figure 3, not a disk), hba4 -> naa.900 (figure 0).
const char kScsiHost[] =
    "lun naa.600 1 1 2 3\nlun naa.700 2 1\nlun naa.800 3\nlun naa.900 0 1\n"
    "path hba1 naa.600\npath hba2 naa.700\npath hba3 naa.800\npath hba4 naa.900\n"
    "volume naa.600:1 ds1\nvolume naa.600:2 ds1\nvolume naa.600:3 ds2\n";
const char kBoth[] = "\"ds1\", \"ds2\"";
using Strings = std::vector<std::string>;

size_t Count(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
  return n;
}

TEST(ScsiCorrelator, RowsAndLoggedReadFailures) {
  CorrelatorHarness h(ScsiCorrelator_Def(), kScsiHost);
  ASSERT_EQ(h.Table().size(), 35u);
  for (const std::string &f : RunRowCases(h, "scsi.rows")) ADD_FAILURE() << f;
  // Each failing case logs its row's line with the status (22: mistyped, or missing for Kel_GetArgs; 75: a text
  // missing at its index), as often as it occurs, and nothing else: path state and power-on-reset reads are silent.
  auto logged = [log = h.Syslog()](const std::string &line) { return Count(log, "Failed to " + line + "\n"); };
  for (const char *row : {"io.latency.high", "io.latency.improved", "io.bad.plugin.type", "io.inquiry.failed",
                          "is.pseudo.failed", "is.ssd.failed", "is.local.failed", "close.failed",
                          "io.qerr.change.config", "io.qerr.changed"}) {
    EXPECT_EQ(logged("correlate kel.scsi.device." + std::string(row) + ": 22"), 1u) << row;
  }
  for (const char *line : {"get params for correlation kel.scsi.device.invalid.xcopy.request: 22",
                           "get params for correlation kel.scsi.device.filter.attach.failed: 22",
                           "get params for correlation kel.scsi.device.detach.failed: 75", "get MPX ARTY options: 75",
                           "correlate kel.scsi.unsupported.plugin.type: 22", "get path limit reached path count: 22",
                           "get device limit reached device count: 22", "get device limit reached plugin name: 75",
                           "get path limit reached path name: 75", "get path add remove path name: 75",
                           "get PE-incapable adapter name for path hba5:C0:T1:L0 : 75",
                           "get thin provisioned device name: 75"}) {
    EXPECT_EQ(logged(line), 1u) << line;
  }
  EXPECT_EQ(logged("get path name: 75"), 2u);    // the arty row's path, then unsafepe
  EXPECT_EQ(logged("get device name: 75"), 7u);  // four state rows, three permanent-loss rows
  EXPECT_EQ(Count(h.Syslog(), ": 22\n") + Count(h.Syslog(), ": 75\n"), 31u);
  h.Send("kel.scsi.no.such.row", "x");
  EXPECT_TRUE(h.Take().empty());
  EXPECT_EQ(Count(h.Syslog(), "No correlator for kel.scsi.no.such.row \n"), 1u);
}

// Sends `n` observations kel.scsi.scsipath.`what` for each name; path states carry `state` (no loss by default).
void Note(CorrelatorHarness &h, const std::string &what, const Strings &names, int n, const char *state = "dead") {
  for (const std::string &name : names) {
    std::vector<KelArg> args = {KelArg::Str(name)};
    if (what.rfind("pathstate.", 0) == 0) args.push_back(KelArg::Str(state));
    for (int i = 0; i < n; i++) h.Send("kel.scsi.scsipath." + what, args.size() == 2 ? "%s %s" : "%s", args);
  }
}

TEST(ScsiCorrelator, StormsAndLookupFailures) {
  CorrelatorHarness h(ScsiCorrelator_Def(), kScsiHost);
  // A path's first addition starts its count at 0, a removal takes it back to 0; other additions count.
  Note(h, "add", {"hba3"}, 10);
  Note(h, "remove", {"hba3"}, 1);
  Note(h, "pathstate.off", {"hba3", "hba1"}, 9);
  EXPECT_TRUE(h.Take().empty());
  Note(h, "add", {"hba3"}, 1);
  Note(h, "pathstate.off", {"hba1"}, 1);
  // Power-on resets name the path, or the device when the name is no path; neither: nothing.
  Note(h, "por", {"hba2", "naa.600", "naa.404"}, 10);
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(ArgTexts(events[0]), (Strings{"hba3", "naa.800", "Unknown"}));
  EXPECT_EQ(events[1].id + ": " + events[1].message,
            "nox.problem.storage.connectivity.pathstatechanges: Frequent path state changes are occurring for path "
            "hba1. This may indicate a storage problem. Affected device: naa.600. Affected datastores: " +
                std::string(kBoth) + ".");
  EXPECT_EQ(ArgTexts(events[1]), (Strings{"hba1", "naa.600", kBoth}));
  EXPECT_EQ(events[2].id + ": " + events[2].message,
            "nox.problem.storage.connectivity.pathpor: Frequent PowerOn Reset Unit Attentions are occurring on path "
            "hba2. This may indicate a storage problem. Affected device: naa.700. Affected datastores: Unknown.");
  EXPECT_EQ(events[3].id + ": " + events[3].message,
            "nox.problem.storage.connectivity.devicepor: Frequent PowerOn Reset Unit Attentions are occurring on "
            "device naa.600. This may indicate a storage problem. Affected datastores: " + std::string(kBoth) + ".");
  EXPECT_EQ(ArgTexts(events[3]), (Strings{"naa.600", kBoth}));
  // Past 10 the count survives the sweeps but is not reported again.
  Note(h, "pathstate.off", {"hba1"}, 1);
  h.Advance(300);
  Note(h, "pathstate.off", {"hba1"}, 5);
  EXPECT_TRUE(h.Take().empty());
  // After the reset (more than 600 s) ten more changes are a new storm; figure 0 names no datastores.
  h.Advance(301);
  Note(h, "pathstate.off", {"hba4", "hba1"}, 10);
  events = h.Take();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(ArgTexts(events[0]), (Strings{"hba4", "naa.900", "Unknown"}));
  EXPECT_EQ(ArgTexts(events[1]), (Strings{"hba1", "naa.600", kBoth}));
  // A sweep (more than 60 s since the last) zeroes counts of 9 or less before the next change is counted.
  h.Advance(601);
  Note(h, "pathstate.off", {"hba2"}, 9);  // the first one resets
  h.Advance(61);
  Note(h, "pathstate.off", {"hba2"}, 1);
  EXPECT_TRUE(h.Take().empty());
  Note(h, "pathstate.off", {"hba2"}, 9);
  EXPECT_EQ(h.Take().size(), 1u);
  // A failing volume request fails the whole list; a failing LUN lookup throws out of the handler, which drops it.
  h.WriteHostModel(std::string(kScsiHost) + "fail volume naa.600:2\nfail lun naa.700\n");
  h.Send("kel.scsi.device.state.permanentloss", "%s", {KelArg::Str("naa.600")});
  Note(h, "pathstate.dead", {"hba2", "hba1"}, 1, "on");
  events = h.Take();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(ArgTexts(events[0]), (Strings{"naa.600", "Unknown"}));
  EXPECT_EQ(ArgTexts(events[1]), (Strings{"naa.600", "hba1", "Unknown"}));
  // Many paths counted at once, short names and long ones alike, each reach 10 and are reported once; each
  // loss is paired with its one restoration, whatever the order.
  std::string host = "lun naa.900 2 1\n";
  Strings paths;
  for (int i = 0; i < 150; i++) {
    paths.push_back(i % 2 ? "p" + std::to_string(i) : "hba1:C0:T0:L" + std::to_string(i) + std::string(50, 'x'));
    host += "path " + paths.back() + " naa.900\n";
  }
  h.WriteHostModel(host);
  for (int round = 0; round < 9; round++) Note(h, "pathstate.off", paths, 1);
  EXPECT_TRUE(h.Take().empty());
  Note(h, "pathstate.off", paths, 1);
  events = h.Take();
  ASSERT_EQ(events.size(), paths.size());
  for (size_t i = 0; i < paths.size(); i++) EXPECT_EQ(ArgTexts(events[i])[0], paths[i]);
  Note(h, "pathstate.dead", paths, 1, "on");
  EXPECT_EQ(h.Take().size(), paths.size());
  Strings reversed(paths.rbegin(), paths.rend());
  Note(h, "pathstate.on", reversed, 2, "dead");
  events = h.Take();
  ASSERT_EQ(events.size(), paths.size());
  for (size_t i = 0; i < paths.size(); i++) EXPECT_EQ(ArgTexts(events[i])[2], reversed[i]);
}

}  // namespace
