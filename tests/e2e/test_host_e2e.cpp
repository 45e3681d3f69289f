// Hardware correlators end to end: machine checks that retire a page, storage
// paths lost and restored while the host model changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <fstream>
#include <string>
#include <vector>

#include "keldHost.h"

namespace {

constexpr uint64_t kAddrValid = 1ULL << 58;
constexpr uint64_t kOver = 1ULL << 62;

TEST(CpuE2e, RepeatedCorrectedErrorsRetireThePage) {
  // A long counting period, so that no count reset falls between the errors.
  KeldHost host(KeldHost::DefaultHostModel() + "option PageRetire PageErrorCorrPeriod 3600\n");
  ASSERT_TRUE(host.StartKeld());
  const std::vector<std::pair<uint64_t, uint64_t>> errors = {
      {kAddrValid, 0x5000}, {kAddrValid, 0x5008},            // page 5: two are tolerated
      {kAddrValid | kOver, 0x0}, {kAddrValid | kOver, 0x10},  // page 0: never asked for
      {kAddrValid, 0x5010},                                   // page 5: the third
      {kAddrValid | kOver, 0x6000}, {kAddrValid, 0x6000}};    // page 6: OVER counts twice
  for (const auto &[status, address] : errors) {
    ASSERT_EQ(host.Inject({"--ctx", "3", "kel.cpu.mce.log3", "%lu %lu %lu %lu %lu %lu %lu", "L:0",
                           "L:" + std::to_string(status), "L:0", "L:0", "L:2", "L:" + std::to_string(address), "L:0"}),
              0);
  }
  // The actions journal, without the time of each line.
  std::vector<std::string> actions;
  ASSERT_TRUE(KeldHost::WaitFor([&] {
    actions.clear();
    for (const std::string &line : host.Lines("/var/log/hostsim-actions.log")) {
      actions.push_back(line.substr(line.find(' ') + 1));
    }
    return actions.size() >= 4;
  }));
  EXPECT_EQ(actions, (std::vector<std::string>{"page.status 5", "page.retire 5 1 NiceRetire", "page.status 6",
                                               "page.retire 6 1 NiceRetire"}));
}

// naa.600: two partitions on one datastore, its path figure filled in by the
// test; naa.700: partitions without volumes.
std::string StorageModel(int figure) {
  return KeldHost::DefaultHostModel() + "lun naa.600 " + std::to_string(figure) +
         " 1 2\n"
         "path vmhba1:C0:T0:L0 naa.600\nvolume naa.600:1 ds1\nvolume naa.600:2 ds1\n"
         "lun naa.700 1 1 2\npath vmhba2:C0:T0:L0 naa.700\n";
}

void PathState(KeldHost &host, const std::string &state, const std::string &path, const std::string &previous) {
  ASSERT_EQ(host.Inject({"--ctx", "2", "kel.scsi.scsipath.pathstate." + state, "Path %s changed state from %s",
                         "s:" + path, "s:" + previous}),
            0);
}

TEST(StorageE2e, PathLossAndRestorationNameTheDatastores) {
  KeldHost host(StorageModel(1));
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());

  PathState(host, "dead", "vmhba1:C0:T0:L0", "on");
  ASSERT_TRUE(host.WaitHubd(1));
  // The new model's time is moved on, so that keld reads it even when the rewrite falls in the same clock tick.
  std::string model = host.Path("/etc/hostsim.conf");
  std::ofstream(model, std::ios::trunc) << StorageModel(2);
  struct timespec times[2] = {{0, UTIME_OMIT}, {time(nullptr) + 10, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, model.c_str(), times, 0), 0);
  PathState(host, "on", "vmhba1:C0:T0:L0", "dead");
  ASSERT_TRUE(host.WaitHubd(2));
  // A path coming up with no handled loss posts nothing; the loss that
  // follows it on the same correlator is the next event.
  PathState(host, "on", "vmhba2:C0:T0:L0", "off");
  PathState(host, "dead", "vmhba2:C0:T0:L0", "on");
  ASSERT_TRUE(host.WaitHubd(3));

  std::vector<std::string> lines = host.HubdLines();
  ASSERT_EQ(lines.size(), 3u);
  const char *expected[][2] = {
      {R"("id":"nox.problem.storage.connectivity.lost")", R"("args":["naa.600","vmhba1:C0:T0:L0","\"ds1\""])"},
      {R"("id":"nox.clear.storage.connectivity.restored")", R"("args":["naa.600","\"ds1\"","vmhba1:C0:T0:L0"])"},
      {R"("id":"nox.problem.storage.connectivity.lost")", R"("args":["naa.700","vmhba2:C0:T0:L0","Unknown"])"}};
  for (size_t i = 0; i < 3; i++) {
    for (const char *part : expected[i]) EXPECT_NE(lines[i].find(part), std::string::npos) << lines[i];
  }
  EXPECT_EQ(host.SyslogLines("Lost connectivity to storage device naa.600. Path vmhba1:C0:T0:L0 is down. "
                             "Affected datastores: \"ds1\".")
                .size(),
            1u);
}

}  // namespace
