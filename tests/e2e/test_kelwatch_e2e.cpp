// keld watching a Linux bridge through kelwatch, in network namespaces that
// each test makes and removes: the "host" namespace holds a bridge br0 with
// two veth ports u0 and u1, whose peers s0 and s1 sit in a second namespace
// playing the physical switch. Setting a peer down takes the port's carrier
// away. Nothing outside the two namespaces and the test's root is touched.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keldHost.h"

namespace {

std::string IpCommand() {
  for (const char *path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return {};
}

int Ip(const std::string &args) {
  return system((IpCommand() + " " + args + " >/dev/null 2>&1").c_str());
}

size_t Count(const std::vector<std::string> &lines, const std::string &needle) {
  size_t n = 0;
  for (const std::string &line : lines) n += line.find(needle) != std::string::npos;
  return n;
}

class KelwatchNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> serial{0};
    std::string tag = "kw" + std::to_string(getpid()) + "x" + std::to_string(serial++);
    ns_ = tag + "h";
    peer_ = tag + "p";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
    if (IpCommand().empty()) GTEST_SKIP() << "no ip command";
    if (Ip("netns add " + ns_) != 0) GTEST_SKIP() << "network namespaces not available here";
    made_ = true;
    ASSERT_EQ(Ip("netns add " + peer_), 0);
    if (Ip("-n " + ns_ + " link add br0 type bridge") != 0) GTEST_SKIP() << "no Linux bridges here";
    ASSERT_EQ(Ip("-n " + ns_ + " link set br0 up"), 0);
    for (const char *i : {"0", "1"}) {
      std::string u = std::string("u") + i, s = std::string("s") + i;
      if (Ip("-n " + ns_ + " link add " + u + " type veth peer name " + s + " netns " + peer_) != 0) {
        GTEST_SKIP() << "no veth pairs here";
      }
      ASSERT_EQ(Ip("-n " + ns_ + " link set " + u + " master br0 up"), 0);
      ASSERT_EQ(Ip("-n " + peer_ + " link set " + s + " up"), 0);
    }
  }
  void TearDown() override {
    if (watch_ > 0) {
      kill(watch_, SIGTERM);
      int status = -1;
      waitpid(watch_, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << "kelwatch ended badly: " << host_.ReadFile("/kelwatch.err");
    }
    if (made_) {
      Ip("netns del " + ns_);
      Ip("netns del " + peer_);
    }
  }

  // Starts kelwatch in the namespace with `config`, waits for its host
  // model, then starts hubdsink and keld.
  void Start(const std::string &config) {
    std::string dir = host_.Path("/etc/keld");
    ASSERT_EQ(system(("mkdir -p " + dir).c_str()), 0);
    FILE *f = fopen((dir + "/kelwatch.conf").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(("clock-poll 0\nkernel-log off\nauth-log off\n" + config).c_str(), f);
    fclose(f);
    watch_ = host_.Spawn(IpCommand(), {"netns", "exec", ns_, KeldHost::Tool("kelwatch")},
                         host_.Path("/kelwatch.out"), host_.Path("/kelwatch.err"));
    ASSERT_TRUE(KeldHost::WaitFor([&] { return Count(Watch(), "host model written") > 0; }))
        << host_.ReadFile("/kelwatch.err");
    ASSERT_NE(host_.ReadFile("/etc/hostsim.conf").find("portgroup \"br0\" br0"), std::string::npos);
    ASSERT_TRUE(host_.StartHubd());
    ASSERT_TRUE(host_.StartKeld());
  }
  std::vector<std::string> Watch() const { return host_.Lines("/kelwatch.err"); }
  // Sets peer sN up or down and waits until kelwatch has sent the port's
  // carrier change (the kernel may fold changes it has not yet announced).
  void SetPeer(int n, bool up) {
    std::string port = "u" + std::to_string(n);
    std::string sent = std::string("sent kel.net.hynic.linkstate.") + (up ? "up " : "down ") + port;
    size_t before = Count(Watch(), sent);
    ASSERT_EQ(Ip("-n " + peer_ + " link set s" + std::to_string(n) + (up ? " up" : " down")), 0);
    ASSERT_TRUE(KeldHost::WaitFor([&] { return Count(Watch(), sent) > before; }))
        << host_.ReadFile("/kelwatch.err");
  }
  bool WaitEvent(const std::string &needle) {
    return KeldHost::WaitFor([&] { return Count(host_.HubdLines(), needle) > 0; });
  }
  bool PortAdminUp(const std::string &port) {
    std::string cmd = IpCommand() + " -n " + ns_ + " -o link show " + port;
    FILE *p = popen(cmd.c_str(), "r");
    char buffer[512] = {};
    size_t n = p ? fread(buffer, 1, sizeof buffer - 1, p) : 0;
    if (p) pclose(p);
    std::string flags(buffer, n);
    flags = flags.substr(0, flags.find('>'));
    return flags.find(",UP") != std::string::npos || flags.find("<UP") != std::string::npos;
  }
  // Four carrier losses of u0 within the minute: past keld's threshold of 3.
  void Flap() {
    for (int i = 0; i < 4; ++i) {
      SetPeer(0, false);
      if (i < 3) SetPeer(0, true);
    }
  }

  KeldHost host_;
  std::string ns_, peer_;
  bool made_ = false;
  pid_t watch_ = -1;
};

TEST_F(KelwatchNetns, BridgeUplinksLostAndRestored) {
  Start("");
  SetPeer(0, false);
  ASSERT_TRUE(WaitEvent("\"nox.problem.net.redundancy.lost\"")) << host_.ReadFile("/hubd.out");
  SetPeer(1, false);
  ASSERT_TRUE(WaitEvent("\"nox.problem.net.connectivity.lost\"")) << host_.ReadFile("/hubd.out");
  SetPeer(1, true);
  ASSERT_TRUE(WaitEvent("\"nox.clear.net.connectivity.restored\"")) << host_.ReadFile("/hubd.out");
  SetPeer(0, true);
  ASSERT_TRUE(WaitEvent("\"nox.clear.net.redundancy.restored\"")) << host_.ReadFile("/hubd.out");
  // A new bridge becomes a port group of the host model, rewritten whole.
  ASSERT_EQ(Ip("-n " + ns_ + " link add br1 type bridge"), 0);
  EXPECT_TRUE(KeldHost::WaitFor([&] {
    std::string model = host_.ReadFile("/etc/hostsim.conf");
    return model.find("portgroup \"br1\" br1") != std::string::npos &&
           model.find("portgroup \"br0\" br0") != std::string::npos;
  })) << host_.ReadFile("/etc/hostsim.conf");
  std::vector<std::string> events = host_.HubdLines();
  for (const char *id : {"redundancy.lost", "connectivity.lost"}) {
    for (const std::string &line : events) {
      if (line.find(id) != std::string::npos) {
        EXPECT_NE(line.find("\"\\\"br0\\\"\""), std::string::npos) << line;  // the switch, quoted
      }
    }
  }
}

TEST_F(KelwatchNetns, FlappingPortTakenDownWhenAllowed) {
  Start("allow nic.down u*\n");
  Flap();
  ASSERT_TRUE(WaitEvent("\"nox.problem.net.hynic.linkstate.flapping\"")) << host_.ReadFile("/hubd.out");
  ASSERT_TRUE(KeldHost::WaitFor([&] { return Count(Watch(), "action nic.down u0: done") == 1; }))
      << host_.ReadFile("/kelwatch.err");
  EXPECT_FALSE(PortAdminUp("u0"));
  EXPECT_TRUE(PortAdminUp("u1"));
}

TEST_F(KelwatchNetns, FlappingPortStaysUpWhenNotAllowed) {
  Start("");
  Flap();
  ASSERT_TRUE(WaitEvent("\"nox.problem.net.hynic.linkstate.flapping\"")) << host_.ReadFile("/hubd.out");
  ASSERT_TRUE(KeldHost::WaitFor([&] {
    return Count(Watch(), "action nic.down u0: refused (not allowed by the configuration)") == 1;
  })) << host_.ReadFile("/kelwatch.err");
  EXPECT_TRUE(PortAdminUp("u0"));
}

}  // namespace
