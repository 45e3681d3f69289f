// The logger agent runs only with the extra agents.
#include <dirent.h>
#include <gtest/gtest.h>

#include <fstream>

#include "keldHost.h"

namespace {

// Names of the threads of process `pid` (the kernel keeps 15 characters).
std::vector<std::string> ThreadNames(pid_t pid) {
  std::vector<std::string> names;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(dir + "/" + e->d_name + "/comm");
    std::string name;
    std::getline(comm, name);
    names.push_back(name);
  }
  closedir(d);
  return names;
}

bool HasThread(pid_t pid, const std::string &name) {
  for (const std::string &n : ThreadNames(pid)) {
    if (n == name) return true;
  }
  return false;
}

TEST(LoggerAgent, LogsItsDomainsOnlyWithExtras) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeldAs("keldx"));
  EXPECT_TRUE(HasThread(host.KeldPid(), "LogAllLogger"));
  ASSERT_EQ(host.Inject({"--ctx", "6", "kel.net.hynic.linkstate.down", "link %s down", "s:hynic9"}), 0);
  ASSERT_EQ(host.Inject({"--ctx", "6", "kel.mem.x", "memory"}), 0);
  ASSERT_EQ(host.Inject({"--ctx", "6", "kel.user.marker", "last"}), 0);
  ASSERT_TRUE(host.WaitSyslog("[kel.user.marker]", 2));  // logger and Generic
  ASSERT_TRUE(host.WaitSyslog("[kel.net.hynic.linkstate.down]", 2));
  std::vector<std::string> down = host.SyslogLines("[kel.net.hynic.linkstate.down]");
  ASSERT_EQ(down.size(), 2u);
  bool byLogger = false, byNet = false;
  for (const std::string &l : down) {
    byLogger |= l.find("[LogAllLogger] ") != std::string::npos;
    byNet |= l.find("[netCorrelator] ") != std::string::npos;
  }
  EXPECT_TRUE(byLogger && byNet);
  std::vector<std::string> mem = host.SyslogLines("[kel.mem.x]");
  ASSERT_EQ(mem.size(), 1u);
  EXPECT_NE(mem[0].find("[LogAllLogger] "), std::string::npos);
  host.StopKeld();

  KeldHost plain;
  ASSERT_TRUE(plain.StartKeld());
  EXPECT_FALSE(HasThread(plain.KeldPid(), "LogAllLogger"));
  EXPECT_TRUE(HasThread(plain.KeldPid(), "netCorrelator"));
}

}  // namespace
