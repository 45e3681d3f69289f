// kelwatch's units on recorded and constructed input: kernel log, auth log
// and journal readers, link tracking, host actions, configuration, host
// model, file following, and kelcore run on a small core.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "authLog.h"
#include "hostActions.h"
#include "hostModel.h"
#include "hostModelWriter.h"
#include "kernelLog.h"
#include "lineFollower.h"
#include "linkTracker.h"
#include "rtnl.h"
#include "testRoot.h"
#include "watchConfig.h"

namespace {

// One case of a .cases file: its input lines and expected output lines.
struct Case {
  std::string title;
  std::vector<std::string> in, out;
};

std::vector<Case> ReadCases(const std::string &name) {
  std::ifstream file(std::string(KELD_SOURCE_DIR) + "/tests/data/" + name);
  std::vector<Case> cases;
  std::string line;
  bool lastWasComment = false;  // a comment block of several lines starts one case
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    if (line[0] == '#') {
      if (!lastWasComment) cases.push_back({line, {}, {}});
      lastWasComment = true;
      continue;
    }
    lastWasComment = false;
    if (cases.empty()) cases.push_back({});
    std::string body = line.size() > 2 ? line.substr(2) : "";
    if (line[0] == '<') cases.back().in.push_back(body);
    if (line[0] == '>') cases.back().out.push_back(body);
  }
  return cases;
}

std::string Describe(const MachineCheck &mc) {
  char text[200];
  snprintf(text, sizeof text,
           "bank=%" PRIu64 " status=%" PRIx64 " cpu=%" PRIu64 " addr=%" PRIx64 " misc=%" PRIx64
           " mcg=%" PRIx64,
           mc.bank, mc.status, mc.cpu, mc.addr, mc.misc, mc.mcg);
  return text;
}

std::string Describe(const WatchObservation &obs) {
  std::string text = obs.id;
  for (const KelArg &a : obs.args) {
    text += " " + (a.kind == KelArg::Kind::Str ? a.s : std::to_string(a.i));
  }
  return text;
}

TEST(KelwatchKernelLog, RecordedKernelVersions) {
  std::vector<Case> cases = ReadCases("kernel-log.cases");
  ASSERT_GE(cases.size(), 7u);
  for (const Case &c : cases) {
    MachineCheckReader reader;
    std::vector<MachineCheck> found;
    for (std::string record : c.in) {
      for (size_t pos; (pos = record.find("\\n")) != std::string::npos;) record.replace(pos, 2, "\n");
      auto parsed = Kmsg_ParseRecord(record);
      if (parsed) reader.Feed(parsed->text, &found);
    }
    reader.Flush(&found);
    std::vector<std::string> got;
    for (const MachineCheck &mc : found) got.push_back(Describe(mc));
    EXPECT_EQ(got, c.out) << c.title;
  }
  auto record = Kmsg_ParseRecord("6,42,1234,-;text\n SUBSYSTEM=x");
  ASSERT_TRUE(record);
  EXPECT_EQ(record->priority, 6u);
  EXPECT_EQ(record->sequence, 42u);
  EXPECT_EQ(record->text, "text");
}

TEST(KelwatchAuthLog, RecordedLines) {
  std::vector<Case> cases = ReadCases("auth-log.cases");
  ASSERT_GE(cases.size(), 4u);
  for (const Case &c : cases) {
    SshSessions sessions;
    std::vector<WatchObservation> obs;
    for (const std::string &line : c.in) {
      auto parsed = Syslog_ParseLine(line);
      if (parsed) sessions.Feed(*parsed, &obs);
    }
    std::vector<std::string> got;
    for (const WatchObservation &o : obs) {
      ASSERT_TRUE(o.user);
      ASSERT_EQ(o.args.size(), 2u);
      got.push_back(o.id.substr(o.id.rfind('.') + 1) + " " + o.args[0].s + " " + o.args[1].s);
    }
    EXPECT_EQ(got, c.out) << c.title;
  }
}

// Export records as journalctl writes them (a message with a newline comes
// as a binary field), then a broken binary field and an oversized one that
// cost only their own entry; fed whole and byte by byte.
TEST(KelwatchJournal, ExportFormat) {
  std::ifstream recorded(std::string(KELD_SOURCE_DIR) + "/tests/data/journal-sshd.export",
                         std::ios::binary);
  std::stringstream recordedBytes;
  recordedBytes << recorded.rdbuf();
  auto binary = [](const std::string &name, const std::string &value, uint64_t length) {
    std::string field = name + "\n";
    for (int i = 0; i < 8; ++i) field.push_back(static_cast<char>((length >> (8 * i)) & 0xff));
    return field + value + "\n";
  };
  std::string stream =
      recordedBytes.str() +
      ("SYSLOG_IDENTIFIER=sshd\n_PID=1\n" + binary("MESSAGE", "abc", 2) + "\n") +
      ("SYSLOG_IDENTIFIER=sshd\n_PID=2\n" + binary("MESSAGE", std::string(kJournalMaxField + 1, 'x'), kJournalMaxField + 1) +
       "\n") +
      "SYSLOG_IDENTIFIER=sshd\n_PID=9\nMESSAGE=Failed password for root from 192.0.2.41 port 1 ssh2\n\n";
  for (size_t chunk : {stream.size(), size_t{1}}) {
    JournalExportReader reader;
    std::vector<SyslogLine> entries;
    for (size_t pos = 0; pos < stream.size(); pos += chunk) {
      reader.Feed(stream.data() + pos, std::min(chunk, stream.size() - pos), &entries);
    }
    SshSessions sessions;
    std::vector<WatchObservation> obs;
    for (const SyslogLine &e : entries) sessions.Feed(e, &obs);
    std::vector<std::string> got;
    for (const WatchObservation &o : obs) got.push_back(Describe(o));
    EXPECT_EQ(got, (std::vector<std::string>{
                       "kel.user.ssh.session.opened admin 192.0.2.17",
                       "kel.user.ssh.session.failed bob 198.51.100.7",
                       "kel.user.ssh.session.closed admin 192.0.2.17",
                       "kel.user.ssh.session.failed root 192.0.2.41"}))
        << "chunk " << chunk;
  }
}

TEST(KelwatchLinks, BridgePortsCountCarrier) {
  WatchConfig config;
  config.ignoreInterfaces = {"lo", "tap*"};
  LinkTracker tracker(config);
  std::vector<WatchObservation> obs;
  // Baseline: a bridge with two ports up, a loopback, an ignored tap port.
  EXPECT_TRUE(tracker.Update({5, "br0", 0, true, true}, &obs));
  EXPECT_FALSE(tracker.Update({6, "p0", 5, false, true}, &obs));
  EXPECT_FALSE(tracker.Update({7, "p1", 5, false, true}, &obs));
  EXPECT_FALSE(tracker.Update({1, "lo", 0, false, true}, &obs));
  EXPECT_FALSE(tracker.Update({8, "tap0", 5, false, true}, &obs));
  EXPECT_TRUE(obs.empty());

  tracker.Update({6, "p0", 5, false, false}, &obs);
  tracker.Update({6, "p0", 5, false, false}, &obs);   // no change, nothing
  tracker.Update({8, "tap0", 5, false, false}, &obs);  // ignored
  tracker.Update({5, "br0", 0, true, false}, &obs);    // the bridge itself
  tracker.Update({7, "p1", 5, false, false}, &obs);
  tracker.Update({7, "p1", 5, false, true}, &obs);
  tracker.Update({9, "eth0", 0, false, true}, &obs);   // baseline
  tracker.Update({9, "eth0", 0, false, false}, &obs);  // not a bridge port
  std::vector<std::string> got;
  for (const WatchObservation &o : obs) got.push_back(Describe(o));
  EXPECT_EQ(got, (std::vector<std::string>{
                     "kel.net.hynic.linkstate.down p0",
                     "kel.net.pg.uplink.transition.down p0 br0 1 0",
                     "kel.net.hynic.linkstate.down p1",
                     "kel.net.pg.uplink.transition.down p1 br0 0 0",
                     "kel.net.hynic.linkstate.up p1",
                     "kel.net.pg.uplink.transition.up p1 br0 1 0",
                     "kel.net.hynic.linkstate.down eth0"}));
  EXPECT_EQ(tracker.Bridges(), (std::set<std::string>{"br0"}));
  EXPECT_FALSE(tracker.Remove(6));
  EXPECT_TRUE(tracker.Remove(5));
  EXPECT_TRUE(tracker.Bridges().empty());
}

// Link messages as the kernel sends them: a bridge, its port up, the port
// without carrier, the port removed.
TEST(KelwatchLinks, NetlinkMessages) {
  std::ifstream file(std::string(KELD_SOURCE_DIR) + "/tests/fuzz/corpus/fuzz_rtnl/links.bin",
                     std::ios::binary);
  std::stringstream bytes;
  bytes << file.rdbuf();
  std::string data = bytes.str();
  ASSERT_FALSE(data.empty());
  WatchConfig config;
  std::vector<WatchObservation> obs;
  std::vector<int> removed;
  std::set<std::string> bridges;
  for (size_t cut : {data.size() - 1, data.size()}) {  // a truncated buffer stops cleanly
    LinkTracker tracker(config);
    obs.clear();
    removed.clear();
    Rtnl_ParseMessages(
        data.data(), cut, [&](const LinkInfo &link) { tracker.Update(link, &obs); },
        [&](int index) { removed.push_back(index); });
    bridges = tracker.Bridges();
  }
  std::vector<std::string> got;
  for (const WatchObservation &o : obs) got.push_back(Describe(o));
  EXPECT_EQ(got, (std::vector<std::string>{"kel.net.hynic.linkstate.down p0",
                                           "kel.net.pg.uplink.transition.down p0 br0 0 0"}));
  EXPECT_EQ(removed, std::vector<int>{6});
  EXPECT_EQ(bridges, (std::set<std::string>{"br0"}));
}

TEST(KelwatchActions, OnlyAllowedActionsReachTheMachine) {
  WatchConfig config;
  std::string error;
  ASSERT_TRUE(WatchConfig_Parse("allow nic.down veth* eth1\nallow page.retire\n", &config, &error))
      << error;
  std::vector<std::string> calls;
  HostActionOps ops{[&](const std::string &nic, std::string *) {
                      calls.push_back("down " + nic);
                      return true;
                    },
                    [&](const std::string &path, const std::string &text, std::string *why) {
                      calls.push_back(path.substr(path.find("/sys/")) + " " + text);
                      *why = "no such file";
                      return false;
                    }};
  struct Row {
    const char *line;
    bool handled;
    const char *log;
  } rows[] = {
      {"1700000000 nic.down veth3", true, "action nic.down veth3: done"},
      {"1700000000 nic.down eth0", true, "action nic.down eth0: refused (not allowed by the configuration)"},
      {"1700000000 page.retire 3099164 1 NiceRetire", true, "action page.retire 3099164: failed: no such file"},
      {"1700000000 cpu.offline 6", true, "action cpu.offline 6: refused (not allowed by the configuration)"},
      {"1700000000 page.status 3099164", false, ""},
      {"1700000000 cpu.offline -1", false, ""},
      {"1700000000 page.retire 0x10000000000000", false, ""},
      {"garbage", false, ""},
  };
  for (const Row &row : rows) {
    HostActionResult result = HostActions_Apply(row.line, config, ops);
    EXPECT_EQ(result.handled, row.handled) << row.line;
    EXPECT_EQ(result.log, row.log) << row.line;
  }
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "down veth3", "/sys/devices/system/memory/soft_offline_page 0x2f4a1c000\n"}));
}

TEST(KelwatchConfig, SettingsAndErrors) {
  WatchConfig config;
  std::string error;
  ASSERT_TRUE(WatchConfig_Parse("# comment\ncontext 3\nclock-poll 0\nignore-interface docker*\n"
                                "advoption Net LinkFlappingThreshold 5\ncore-max-bytes 0x1000\n",
                                &config, &error));
  EXPECT_EQ(config.context, 3u);
  EXPECT_EQ(config.clockPollSeconds, 0u);
  EXPECT_FALSE(config.IgnoresInterface("lo"));  // the file's list replaces the default
  EXPECT_TRUE(config.IgnoresInterface("docker0"));
  EXPECT_EQ(config.coreMaxBytes, 0x1000u);
  EXPECT_FALSE(config.Allows("nic.down", "eth0"));
  WatchConfig example;
  ASSERT_TRUE(WatchConfig_Load(std::string(KELD_SOURCE_DIR) + "/examples/kelwatch.conf", false,
                               &example, &error))
      << error;
  EXPECT_TRUE(example.IgnoresInterface("vnet3"));
  EXPECT_TRUE(example.allow.empty());  // the example changes nothing on the machine
  for (const char *bad : {"allow reboot", "context 24", "frobnicate 1", "kernel-log", "core-max-bytes 0",
                          "allow \"nic.down"}) {
    WatchConfig c;
    EXPECT_FALSE(WatchConfig_Parse(std::string("\n") + bad, &c, &error)) << bad;
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
  }
}

TEST(KelwatchHostModel, ComposedFromTheMachine) {
  const char cpuinfo[] =
      "processor\t: 0\nvendor_id\t: GenuineIntel\nsiblings\t: 16\ncpu cores\t: 8\n\n"
      "processor\t: 1\nvendor_id\t: Other\n";
  MachineFacts facts = MachineFacts_FromTexts("", "0123456789abcdef0123456789abcdef\n", cpuinfo);
  EXPECT_EQ(facts.uuid, "01234567-89ab-cdef-0123-456789abcdef");
  EXPECT_EQ(MachineFacts_FromTexts("6C2F1D4E-9B3A-4F57-8E21-0D5C7A9B3E64\n", "", "").uuid,
            "6C2F1D4E-9B3A-4F57-8E21-0D5C7A9B3E64");
  EXPECT_TRUE(MachineFacts_FromTexts("garbage", "short", "").uuid.empty());
  MachineFacts vm = MachineFacts_FromTexts("", "", "vendor_id : Odd Vendor\ncpu cores : 0\n");
  EXPECT_EQ(vm.cpuVendor, "unknown");
  EXPECT_EQ(vm.cores, 1u);

  WatchConfig config;
  std::string error;
  ASSERT_TRUE(WatchConfig_Parse("option Cpu CPUOfflineThreshold 0\ninclude /x\n", &config, &error));
  std::string text = WatchModel_Compose(facts, {"br0", "br 1"}, config, "vm 5012 \"web-01\"");
  std::vector<std::string> errors;
  HostModel model = HostModel_Parse(text, &errors);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(model.uuid, facts.uuid);
  EXPECT_EQ(model.portGroups, (decltype(model.portGroups){{"br0", "br0"}, {"br 1", "br 1"}}));
  EXPECT_EQ(model.options.at({"Cpu", "CPUOfflineThreshold"}), 0);  // the configuration wins
  EXPECT_EQ(model.cpu->vendor, "GenuineIntel");
  EXPECT_EQ(model.vms.at(5012), "web-01");
  EXPECT_TRUE(model.pageRetireThreshold.has_value());

  TestRoot root;
  ASSERT_TRUE(WatchModel_Write(text, &error)) << error;
  EXPECT_EQ(root.ReadFile("/etc/hostsim.conf"), text);
}

TEST(KelwatchLineFollower, AppendsTruncationAndReplacement) {
  TestRoot root;
  std::string path = root.Path("/log");
  root.WriteFile("/log", "old history\n");
  LineFollower follower(path, true);
  EXPECT_TRUE(follower.Poll().empty());
  std::ofstream(path, std::ios::app) << "one\ntw";
  EXPECT_EQ(follower.Poll(), std::vector<std::string>{"one"});
  std::ofstream(path, std::ios::app) << "o\n" << std::string(kFollowMaxLine + 1, 'x') << "\nthree\n";
  EXPECT_EQ(follower.Poll(), (std::vector<std::string>{"two", "three"}));
  std::ofstream(path, std::ios::trunc) << "new\n";
  EXPECT_EQ(follower.Poll(), std::vector<std::string>{"new"});
  std::string moved = path + ".1";
  ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
  std::ofstream(path) << "rotated\n";
  EXPECT_EQ(follower.Poll(), std::vector<std::string>{"rotated"});
}

// A datagram socket bound where keld's kernel context 0 would be.
int BindContext0(const TestRoot &root) {
  mkdir(root.Path("/dev").c_str(), 0755);
  mkdir(root.Path("/dev/kel").c_str(), 0755);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string ctx = root.Path("/dev/kel/ctx0");
  if (ctx.size() >= sizeof addr.sun_path) return -1;
  memcpy(addr.sun_path, ctx.c_str(), ctx.size());
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) return -1;
  return fd;
}

std::string ReceiveRecord(int fd) {
  char buffer[4096];
  ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Observations made while keld is away are held, the oldest dropped past
// the limit, and the rest sent in order once keld's context exists.
TEST(KelwatchOutbox, HeldUntilKeldIsThere) {
  TestRoot root;
  std::vector<std::string> log;
  WatchOutbox outbox(0, 2, [&](const std::string &line) { log.push_back(line); });
  std::vector<WatchObservation> batch{WatchObs_LinkState("a", false), WatchObs_LinkState("b", false),
                                      WatchObs_LinkState("c", true)};
  outbox.Add(&batch);
  EXPECT_TRUE(batch.empty());
  EXPECT_EQ(outbox.Held(), 2u);
  int fd = BindContext0(root);
  ASSERT_GE(fd, 0);
  outbox.Flush();
  EXPECT_EQ(outbox.Held(), 0u);
  std::string first = ReceiveRecord(fd), second = ReceiveRecord(fd);
  EXPECT_NE(first.find("kel.net.hynic.linkstate.down"), std::string::npos);
  EXPECT_NE(second.find("kel.net.hynic.linkstate.up"), std::string::npos);
  EXPECT_TRUE(ReceiveRecord(fd).empty());
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0], "too many observations held for keld: dropping the oldest");
  EXPECT_EQ(log[1].rfind("keld not reachable", 0), 0u);
  EXPECT_EQ(log[2], "keld reachable again");
  EXPECT_EQ(log[4], "sent kel.net.hynic.linkstate.up c");
  close(fd);
}

// kelcore keeps a small core and says so; a core over the cap is dropped
// and reported as not kept.
TEST(KelwatchCore, StoresTheCoreAndTellsKeld) {
  TestRoot root;
  root.WriteFile("/etc/keld/kelwatch.conf", "core-max-bytes 4096\n");
  int fd = BindContext0(root);
  ASSERT_GE(fd, 0);
  std::string kelcore = std::string(KELD_BIN_DIR) + "/kelcore";

  ASSERT_EQ(system(("printf 'ELF core' | " + kelcore + " web 'proxy/../x' 4242").c_str()), 0);
  std::string core = "/var/lib/keld/cores/web_proxy_.._x.4242.core";
  EXPECT_EQ(root.ReadFile(core), "ELF core");
  std::string record = ReceiveRecord(fd);
  EXPECT_NE(record.find("kel.uw.core.dumped"), std::string::npos);
  EXPECT_NE(record.find(root.Path(core)), std::string::npos);

  ASSERT_NE(system(("head -c 5000 /dev/zero | " + kelcore + " big 7").c_str()), 0);
  struct stat st;
  EXPECT_NE(stat(root.Path("/var/lib/keld/cores/big.7.core").c_str(), &st), 0);
  EXPECT_NE(ReceiveRecord(fd).find("kel.uw.core.dumpFailed"), std::string::npos);
  EXPECT_NE(system((kelcore + " onlyname 2>/dev/null").c_str()), 0);
  close(fd);
}

}  // namespace
