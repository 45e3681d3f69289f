// Storage paths end to end: the real keld, hubdsink and kelinject, with a
// host model whose path figure changes between observations.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "keldHost.h"

namespace {

// naa.600: two partitions on one datastore; naa.700: partitions without
// volumes. The path figure of naa.600 is filled in by the test.
std::string HostModel(int figure) {
  return KeldHost::DefaultHostModel() + "lun naa.600 " + std::to_string(figure) +
         " 1 2\n"
         "path vmhba1:C0:T0:L0 naa.600\n"
         "volume naa.600:1 ds1\n"
         "volume naa.600:2 ds1\n"
         "lun naa.700 1 1 2\n"
         "path vmhba2:C0:T0:L0 naa.700\n";
}

// Rewrites the host model and moves its modification time forward, so that
// keld reads it again even when the rewrite falls in the same clock tick.
void WriteHostModel(const KeldHost &host, const std::string &text) {
  std::string path = host.Path("/etc/hostsim.conf");
  std::ofstream(path, std::ios::trunc) << text;
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  struct timespec times[2] = {st.st_mtim, st.st_mtim};
  times[0].tv_sec += 10;
  times[1].tv_sec += 10;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

void PathState(KeldHost &host, const char *state, const char *path, const char *previous) {
  ASSERT_EQ(host.Inject({"--ctx", "2", std::string("kel.scsi.scsipath.pathstate.") + state,
                         "Path %s changed state from %s", std::string("s:") + path,
                         std::string("s:") + previous}),
            0);
}

TEST(StorageE2e, PathLossAndRestorationNameTheDatastores) {
  KeldHost host(HostModel(1));
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());

  PathState(host, "dead", "vmhba1:C0:T0:L0", "on");
  ASSERT_TRUE(host.WaitHubd(1));
  WriteHostModel(host, HostModel(2));
  PathState(host, "on", "vmhba1:C0:T0:L0", "dead");
  ASSERT_TRUE(host.WaitHubd(2));
  // A path coming up with no handled loss posts nothing; the loss that
  // follows it on the same correlator is the next event.
  PathState(host, "on", "vmhba2:C0:T0:L0", "off");
  PathState(host, "dead", "vmhba2:C0:T0:L0", "on");
  ASSERT_TRUE(host.WaitHubd(3));

  std::vector<std::string> lines = host.HubdLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(R"("id":"nox.problem.storage.connectivity.lost")"), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(R"("args":["naa.600","vmhba1:C0:T0:L0","\"ds1\""])"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(R"("id":"nox.clear.storage.connectivity.restored")"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find(R"("args":["naa.600","\"ds1\"","vmhba1:C0:T0:L0"])"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(R"("id":"nox.problem.storage.connectivity.lost")"), std::string::npos) << lines[2];
  EXPECT_NE(lines[2].find(R"("args":["naa.700","vmhba2:C0:T0:L0","Unknown"])"), std::string::npos) << lines[2];

  EXPECT_EQ(host.SyslogLines("Lost connectivity to storage device naa.600. Path vmhba1:C0:T0:L0 is down. "
                             "Affected datastores: \"ds1\".")
                .size(),
            1u);
}

}  // namespace
