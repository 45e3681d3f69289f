// keld -> hubd-alertmanager -> a real Alertmanager (the Debian package
// prometheus-alertmanager, started here on a free loopback port with its own
// storage directory and no cluster gossip). Skipped where it is not installed.
#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "keldHost.h"

namespace {

const char kAlertmanager[] = "/usr/bin/prometheus-alertmanager";

int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in addr {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    close(fd);
    return -1;
  }
  close(fd);
  return ntohs(addr.sin_port);
}

size_t Collect(char *data, size_t size, size_t count, void *out) {
  static_cast<std::string *>(out)->append(data, size * count);
  return size * count;
}

// GET on the loopback; the HTTP status (0 when nothing answered).
long Get(const std::string &url, std::string *body) {
  CURL *curl = curl_easy_init();
  body->clear();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 2000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  long status = 0;
  if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  return status;
}

// One Alertmanager instance in the test's root.
class Alertmanager {
 public:
  Alertmanager(KeldHost &host, const std::string &name) : host_(host), name_(name), port_(FreePort()) {
    std::ofstream(host.Path("/" + name + ".yml")) << "route:\n  receiver: none\n  group_wait: 1s\n"
                                                     "receivers:\n  - name: none\n";
  }
  ~Alertmanager() { Stop(); }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  bool Start() {
    pid_ = host_.Spawn(kAlertmanager,
                       {"--config.file=" + host_.Path("/" + name_ + ".yml"),
                        "--storage.path=" + host_.Path("/" + name_ + "-data"),
                        "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--cluster.listen-address=",
                        "--log.level=warn"},
                       host_.Path("/" + name_ + ".out"), host_.Path("/" + name_ + ".err"));
    std::string body;
    return KeldHost::WaitFor([&] { return Get(Url() + "/-/ready", &body) == 200; });
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  // The alerts Alertmanager lists (it leaves resolved ones out).
  nlohmann::json Alerts() {
    std::string body;
    if (Get(Url() + "/api/v2/alerts", &body) != 200) return nlohmann::json::array();
    return nlohmann::json::parse(body, nullptr, false);
  }
  // The listed alert with this alertname (and label value), or null.
  nlohmann::json Find(const std::string &alertname, const std::string &label = "", const std::string &value = "") {
    for (const auto &a : Alerts()) {
      if (a["labels"].value("alertname", "") == alertname && (label.empty() || a["labels"].value(label, "") == value)) {
        return a;
      }
    }
    return nullptr;
  }

 private:
  KeldHost &host_;
  std::string name_;
  int port_;
  pid_t pid_ = -1;
};

std::string ExampleHost() {
  std::ifstream in(std::string(KELD_SOURCE_DIR) + "/examples/host.conf");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const char kDown[] = "Uplink %s of port group %s is down: %d active, %d standby";
const char kUp[] = "Uplink %s of port group %s is up: %d active";

// Both uplinks of switch0 go down (the burst is decided 2 s later) or up.
void Uplinks(KeldHost &host, bool up) {
  for (const char *nic : {"hynic1", "hynic0"}) {
    int active = up ? (std::string(nic) == "hynic1" ? 1 : 2) : (std::string(nic) == "hynic1" ? 1 : 0);
    host.Inject({up ? "kel.net.hynic.linkstate.up" : "kel.net.hynic.linkstate.down",
                 up ? "Physical NIC %s is up" : "Physical NIC %s is down", std::string("s:") + nic});
    for (const char *pg : {"s:Management Network", "s:VM Network"}) {
      std::vector<std::string> args = {up ? "kel.net.pg.uplink.transition.up" : "kel.net.pg.uplink.transition.down",
                                       up ? kUp : kDown, std::string("s:") + nic, pg, "i:" + std::to_string(active)};
      if (!up) args.push_back("i:0");
      host.Inject(args);
    }
  }
}

#define REQUIRE_ALERTMANAGER()                                                               \
  if (access(kAlertmanager, X_OK) != 0) GTEST_SKIP() << "prometheus-alertmanager is not installed"

}  // namespace

TEST(AlertmanagerE2E, UplinkLossFiresAndItsRestorationResolvesTheAlert) {
  REQUIRE_ALERTMANAGER();
  KeldHost host(ExampleHost());
  Alertmanager am(host, "am");
  ASSERT_TRUE(am.Start()) << host.ReadFile("/am.err");
  ASSERT_TRUE(host.StartHubdAs("hubd-alertmanager", {"--url", am.Url(), "--hostname", "host7", "--retry-min", "100",
                                                     "--retry-max", "500"}));
  ASSERT_TRUE(host.StartKeld());
  Uplinks(host, false);
  nlohmann::json lost;
  ASSERT_TRUE(KeldHost::WaitFor([&] { return !(lost = am.Find("nox.problem.net.connectivity.lost")).is_null(); }))
      << am.Alerts().dump() << host.ReadFile("/hubd.err");
  EXPECT_EQ(lost["labels"]["switch"], "switch0");
  EXPECT_EQ(lost["labels"]["host"], "6c2f1d4e-9b3a-4f57-8e21-0d5c7a9b3e64");
  EXPECT_EQ(lost["labels"]["hostname"], "host7");
  EXPECT_EQ(lost["labels"]["severity"], "problem");
  EXPECT_EQ(lost["status"]["state"], "active");
  EXPECT_NE(lost["annotations"].value("summary", "").find("Lost network connectivity on virtual switch"),
            std::string::npos);

  Uplinks(host, true);
  // Resolved: Alertmanager no longer lists it.
  EXPECT_TRUE(KeldHost::WaitFor([&] { return am.Find("nox.problem.net.connectivity.lost").is_null(); }))
      << am.Alerts().dump();
}

TEST(AlertmanagerE2E, AnAlertmanagerStoppedFor20SecondsLosesNoEventAndTwoInstancesReceiveTheSame) {
  REQUIRE_ALERTMANAGER();
  KeldHost host(ExampleHost());
  Alertmanager first(host, "am1"), second(host, "am2");
  ASSERT_TRUE(first.Start()) << host.ReadFile("/am1.err");
  ASSERT_TRUE(second.Start()) << host.ReadFile("/am2.err");
  // The NIC's loss, which a clear can end, is renewed every 10 s.
  ASSERT_TRUE(host.StartHubdAs("hubd-alertmanager", {"--url", first.Url(), "--url", second.Url(), "--expire", "40",
                                                     "--retry-min", "100", "--retry-max", "1000"}));
  ASSERT_TRUE(host.StartKeld());
  host.Inject({"kel.net.hynic.linkstate.down", "Physical NIC %s is down", "s:hynic2"});
  ASSERT_TRUE(KeldHost::WaitFor([&] {
    return !first.Find("nox.problem.net.hynic.linkstate.down").is_null() &&
           !second.Find("nox.problem.net.hynic.linkstate.down").is_null();
  }));

  first.Stop();
  const std::vector<std::string> portsets = {"vSwitch1", "vSwitch2", "vSwitch3"};
  for (const std::string &p : portsets) host.Inject({"kel.net.portset.port.full", "%s %d", "s:" + p, "i:128"});
  host.Inject({"kel.net.hynic.linkstate.down", "Physical NIC %s is down", "s:hynic3"});
  ASSERT_TRUE(KeldHost::WaitFor([&] { return !second.Find("nox.problem.net.hynic.linkstate.down", "nic",
                                                                 "hynic3").is_null(); }));
  std::this_thread::sleep_for(std::chrono::seconds(20));  // the outage itself
  ASSERT_TRUE(first.Start()) << host.ReadFile("/am1.err");

  // Everything posted during the outage arrives, and the loss from before it
  // comes back with its renewal; the instance that stayed up has it all too.
  for (Alertmanager *am : {&first, &second}) {
    EXPECT_TRUE(KeldHost::WaitFor([&] {
      for (const std::string &p : portsets) {
        if (am->Find("nox.problem.net.portset.port.full", "portset", p).is_null()) return false;
      }
      return !am->Find("nox.problem.net.hynic.linkstate.down", "nic", "hynic2").is_null() &&
             !am->Find("nox.problem.net.hynic.linkstate.down", "nic", "hynic3").is_null();
    }, std::chrono::seconds(15))) << am->Url() << " " << am->Alerts().dump() << host.ReadFile("/hubd.err");
  }
  EXPECT_NE(host.ReadFile("/hubd.err").find(first.Url() + " unreachable"), std::string::npos);
}
