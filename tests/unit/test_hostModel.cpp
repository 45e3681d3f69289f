// The stand-in host: host model file, system-information calls, kernel-control
// classes, volume lookup, audit, event stamp and the actions journal.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "fileWatch.h"
#include "hostModel.h"
#include "platform/clock.h"
#include "platform/eventStamp.h"
#include "platform/glfsVolume.h"
#include "platform/hostCtl.h"
#include "platform/hsi.h"
#include "platform/ombAudit.h"
#include "testRoot.h"

namespace {

using HostCtl::Lib::HostCtlException;
using HykCtl::Util::Sysinfo;
using namespace std::string_literals;

const char kHostConf[] = "/etc/hostsim.conf";
const int64_t kNow = 1700000000;

const char kFullModel[] = R"(# a host with one of everything
uuid 564d0c1e-4a6b-7e2f-9a3c-0123456789ab
build match
option PageRetire PageErrorCorrThreshold 0x10   # hex value
option Misc Negative -7
advoption Net LinkFlappingThreshold 3
vmgroup 9 "web server 1"
vm 5012 "db vm"
portgroup "VM Network" switch0
lun disk.1 2 1 3
lun disk.2 1
path path.1 disk.1
volume disk.1:1 ds1
volume disk.1:3 "data store 2"
filesystem ds1 5f1a-22
filesystem broken b-id
cpu GenuineIntel 8 16
cpuoffline on
pageretire threshold 1000
pagestatus 0x2a 3
)";

class HostTest : public ::testing::Test {
 protected:
  void SetModel(const std::string &text) { root_.WriteFile(kHostConf, text); }
  std::string Journal() const { return root_.ReadFile("/var/log/hostsim-actions.log"); }
  TestRoot root_;
  FakeClock clock_{kNow};
};

// Throws as the kernel-control classes do when a C-style call reports failure.
void Check(bool ok) {
  if (!ok) throw HostCtlException("failed");
}

// A node addressed by `path` (an integer is a numeric instance) with `inputs`.
using Value = std::variant<int64_t, std::string>;
Sysinfo Node(HSI_NodeId node, const std::vector<Value> &path, const std::vector<Value> &inputs = {}) {
  Sysinfo info(node);
  for (const Value &v : path) {
    if (v.index() == 0) info.SetInstance(std::get<0>(v));
    else info.AddInstancePath(std::get<1>(v));
  }
  for (const Value &v : inputs) std::visit([&](auto x) { info.AddInput(x); }, v);
  return info;
}

uint32_t PageStatus(int64_t page) {
  uint32_t status = 0xffffffff;
  Node(HSI_NODE_system_pageRetire_MPNStatus, {}, {page}).Set(&status, sizeof status);
  return status;
}

// The volume lookup of `key`: the volume name, or the text of the errno value.
std::string Volume(const char *key) {
  int fd = GlfsVolume_OpenDirectory();
  char req[GLFS_VOLUME_REQUEST_SIZE] = {};
  snprintf(req, GLFS_VOLUME_KEY_SIZE, "%s", key);
  errno = 0;
  int rc = GlfsVolume_Ioctl(fd, GLFS_IOCTL_VOLUME_NAME, req);
  int error = errno;
  close(fd);
  if (rc != 0) return rc == -1 && !req[GLFS_VOLUME_NAME_OFFSET] ? strerror(error) : "bad answer";
  return req + GLFS_VOLUME_NAME_OFFSET;
}

TEST(HostModelFields, SplitsQuotesAndCommentsAndParsesIntegersWithinTheirRange) {
  struct Case {
    const char *line;
    bool ok;
    std::vector<std::string> fields;
  } cases[] = {
      {"a b\tc", true, {"a", "b", "c"}},         {"x \"\" y", true, {"x", "", "y"}},
      {"a # b c", true, {"a"}},                  {"a#b", true, {"a"}},
      {"\"a # b\" c", true, {"a # b", "c"}},     {"ab\"c d\"e", true, {"abc de"}},
      {"   ", true, {}},                         {"a \"open", false, {}},
      {"  portgroup \"VM Network\" switch0  ", true, {"portgroup", "VM Network", "switch0"}},
      {R"(say "he said \"hi\" \\o/ \n")", true, {"say", R"(he said "hi" \o/ \n)"}},
  };
  // One vector for every line, as the parser reuses it: nothing of a longer
  // earlier line may survive.
  std::vector<std::string> fields{"stale", "fields", "of", "a", "longer", "line", "before"};
  for (const Case &c : cases) {
    EXPECT_EQ(HostModel_SplitFields(c.line, &fields), c.ok) << c.line;
    EXPECT_EQ(fields, c.ok ? c.fields : fields) << c.line;
  }
  int64_t s;
  uint64_t u;
  EXPECT_TRUE(HostModel_ParseInt64("-9223372036854775808", &s) && s == INT64_MIN);
  EXPECT_TRUE(HostModel_ParseUint64("0xffffffffffffffff", &u) && u == UINT64_MAX);
  EXPECT_TRUE(HostModel_ParseInt64("010", &s) && s == 10);  // decimal, not octal
  for (const char *bad : {"", "-", "0x", "9223372036854775808", "12a", " 1", "+1", "1 "}) {
    EXPECT_FALSE(HostModel_ParseInt64(bad, &s)) << bad;
  }
  EXPECT_FALSE(HostModel_ParseUint64("-1", &u) || HostModel_ParseUint64("18446744073709551616", &u));
}

TEST(HostModelParse, KeepsTheFullModelAndSkipsEachKindOfMalformedLine) {
  std::vector<std::string> errors;
  HostModel full = HostModel_Parse(std::string(kFullModel) + "fail vm 0x1394\n", &errors);
  EXPECT_TRUE(errors.empty()) << errors[0];
  EXPECT_EQ(full.options.at({"Misc", "Negative"}), -7);
  EXPECT_TRUE(full.Fails("vm", {"5012"}) && !full.Fails("vm", {"5013"}));
  for (const char *line : {"bogus 1", "option G N notanumber", "option G N", "lun dev x", "lun dev 1 -2",
                           "volume nocolon ds", "volume :1 ds", "cpuoffline maybe", "fail nosuch", "fail intopt G",
                           "fail vm abc", "vm 12", "uuid", "pagestatus -1 2", "build mismatch", "swap maybe",
                           "cpu V 1 99999999999", "pageretire limit 3", "x \"unterminated"}) {
    errors.clear();
    HostModel m = HostModel_Parse(std::string("uuid u1\n") + line + "\n", &errors);
    ASSERT_EQ(errors.size(), 1u) << line;
    EXPECT_EQ(errors[0].rfind("line 2: ", 0), 0u) << errors[0];
    EXPECT_EQ(m.uuid, "u1") << "good lines survive a bad one: " << line;
  }
}

TEST_F(HostTest, RereadsTheFileWhenItChanges) {
  auto readOption = [] {
    unsigned char rec[HSI_INTOPT_RECORD_SIZE];
    try {
      Node(HSI_NODE_config_intOpts, {"G", "N"}).Get(rec, sizeof rec);
    } catch (const HostCtlException &) {
      return -1;
    }
    return static_cast<int>(rec[24]);
  };
  auto setTime = [this](long nanoseconds) {
    struct timespec times[2] = {{kNow, 0}, {kNow, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, root_.Path(kHostConf).c_str(), times, 0), 0);
  };
  EXPECT_EQ(readOption(), -1);  // no file: empty model
  SetModel("option G N 3\nbad line here\n");
  setTime(1);
  EXPECT_EQ(readOption(), 3);
  EXPECT_EQ(readOption(), 3);
  // Same size, same inode, same second: only the nanoseconds tell versions apart.
  SetModel("option G N 4\nbad line here\n");
  setTime(1);
  EXPECT_EQ(readOption(), 3) << "same identity: cached";
  setTime(2);
  EXPECT_EQ(readOption(), 4);
  unlink(root_.Path(kHostConf).c_str());
  EXPECT_EQ(readOption(), -1);
  // Held (the replay tool), the model read at the hold answers whatever the
  // file does; released, the file is followed again.
  SetModel("option G N 5\n");
  HostModel_Hold(true);
  SetModel("option G N 66\n");
  EXPECT_EQ(readOption(), 5);
  HostModel_Hold(false);
  EXPECT_EQ(readOption(), 66);

  // Replaced by a rename, with the directory made anew, and through a
  // symbolic link whose target is rewritten: each seen at the next call.
  root_.WriteFile("/etc/hostsim.conf.new", "option G N 7\n");
  ASSERT_EQ(rename(root_.Path("/etc/hostsim.conf.new").c_str(), root_.Path(kHostConf).c_str()), 0);
  EXPECT_EQ(readOption(), 7);
  ASSERT_EQ(unlink(root_.Path(kHostConf).c_str()), 0);
  ASSERT_EQ(rmdir(root_.Path("/etc").c_str()), 0);
  SetModel("option G N 8\n");
  EXPECT_EQ(readOption(), 8);
  root_.WriteFile("/models/target.conf", "option G N 9\n");
  ASSERT_EQ(unlink(root_.Path(kHostConf).c_str()), 0);
  ASSERT_EQ(symlink(root_.Path("/models/target.conf").c_str(), root_.Path(kHostConf).c_str()), 0);
  EXPECT_EQ(readOption(), 9);
  root_.WriteFile("/models/target.conf", "option G N 10\n");
  EXPECT_EQ(readOption(), 10);

  std::string log = root_.ReadFile("/var/log/syslog");
  size_t first = log.find("line 2: unknown record \"bad\"");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("line 2", first + 1), std::string::npos) << "logged once per version";
  EXPECT_EQ(log.find("line 2", log.find("line 2", first + 1) + 1), std::string::npos);
}

// Readings happen outside the cache lock: callers that arrive meanwhile wait
// for a first reading, get the previous version during a reload, and a
// version is read (and its bad lines logged) once.
TEST_F(HostTest, ReadsEachVersionOnceForConcurrentCallersAndKeepsOldSnapshotsValid) {
  auto largeModel = [](int version) {
    std::string text = "bad line here\noption G N " + std::to_string(version) + "\n";
    for (int i = 0; i < 1500; ++i) text += "path p" + std::to_string(i) + " dev" + std::to_string(i % 7) + "\n";
    return text;
  };
  auto callTogether = [](std::vector<std::shared_ptr<const HostModel>> *seen) {
    std::atomic<int> waiting{4};
    std::vector<std::thread> threads;
    for (size_t t = 0; t < seen->size(); ++t) {
      threads.emplace_back([&, t] {
        for (--waiting; waiting > 0;) {
        }
        (*seen)[t] = HostModel_Current();
      });
    }
    for (std::thread &t : threads) t.join();
  };
  SetModel(largeModel(1));
  std::vector<std::shared_ptr<const HostModel>> first(4);
  callTogether(&first);  // the first reading: every caller waits for it
  for (const auto &m : first) EXPECT_EQ(m, first[0]);
  EXPECT_EQ(first[0]->options.at({"G", "N"}), 1);

  root_.WriteFile(kHostConf + ".new"s, largeModel(2));
  ASSERT_EQ(rename(root_.Path(kHostConf + ".new"s).c_str(), root_.Path(kHostConf).c_str()), 0);
  std::vector<std::shared_ptr<const HostModel>> second(4);
  callTogether(&second);  // each got version 1 (read under way) or 2, never a torn one
  for (const auto &m : second) EXPECT_TRUE(m == first[0] || m->options.at({"G", "N"}) == 2);
  EXPECT_EQ(HostModel_Current()->options.at({"G", "N"}), 2);
  first.assign(1, first[0]);
  second.clear();
  EXPECT_EQ(first[0]->paths.at("p1499"), "dev1") << "a snapshot outlives its replacement";

  std::string log = root_.ReadFile("/var/log/syslog");
  size_t at = log.find("line 1: unknown record");
  ASSERT_NE(at, std::string::npos) << log;
  at = log.find("line 1: unknown record", at + 1);
  ASSERT_NE(at, std::string::npos) << "version 2 logs its bad line too";
  EXPECT_EQ(log.find("line 1: unknown record", at + 1), std::string::npos) << "each version read once";
}

TEST_F(HostTest, ServesConcurrentReadersAndJournalWritersWhileTheFileChanges) {
  const int kThreads = 4, kCalls = 200;
  std::atomic<bool> wrong{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        auto m = HostModel_Current();
        auto it = m->options.find({"G", "N"});
        // A reader may catch the file half written, never a torn snapshot.
        if (it != m->options.end() && it->second != 1 && it->second != 2 && it->second != 22) wrong = true;
        Node(HSI_NODE_net_pNics_linkFlapping, {"nic" + std::to_string(t)}, {int64_t{1}}).Set();
      }
    });
  }
  for (int i = 0; i < 50; ++i) SetModel(i % 2 ? "option G N 1\n" : "option G N 22\n");
  for (std::thread &t : threads) t.join();
  EXPECT_FALSE(wrong);
  std::istringstream journal(Journal());
  int lines = 0;
  for (std::string line; std::getline(journal, line); ++lines) {
    ASSERT_TRUE(line.size() == 24 && line.rfind("1700000000 nic.down nic", 0) == 0) << line;
  }
  EXPECT_EQ(lines, kThreads * kCalls);
}

TEST_F(HostTest, AnswersEveryReadNodeUnlessAbsentOrMadeToFail) {
  struct Case {
    const char *fail;  // the record that makes this read fail
    HSI_NodeId node;
    std::vector<Value> path;
    uint32_t size, at;
    std::string bytes;  // expected at offset `at`
  } cases[] = {
      {"intopt PageRetire PageErrorCorrThreshold", HSI_NODE_config_intOpts, {"PageRetire", "PageErrorCorrThreshold"},
       548, 24, "\x10\0\0\0\0\0\0\0"s},
      {"uuid", HSI_NODE_system_systemUuid, {}, 56, 16, "564d0c1e-4a6b-7e2f-9a3c-0123456789ab\0"s},
      {"vmgroup 9", HSI_NODE_vm_vmmGroupInfo, {int64_t{9}}, 3268, 260, "web server 1\0"s},
      {"threshold", HSI_NODE_system_pageRetire_threshold, {}, 8, 0, "\xe8\x03\0\0\0\0\0\0"s},
      {"cpuinfo", HSI_NODE_hardware_cpu_cpuInfo, {}, 40, 24, "\x08\0\0\0\x10\0\0\0"s},
      {"cpulist 0", HSI_NODE_hardware_cpu_cpuList, {int64_t{0}}, 228, 28, "GenuineIntel\0"s},
      {"offlineenabled", HSI_NODE_sched_offline_enabled, {}, 1, 0, "\x01"s},
  };
  for (const Case &c : cases) {
    for (int variant = 0; variant < 3; ++variant) {  // full model, empty model, full model with the fail record
      SCOPED_TRACE(testing::Message() << c.fail << ", variant " << variant);
      SetModel(variant == 0 ? kFullModel : variant == 1 ? "" : std::string(kFullModel) + "fail " + c.fail + "\n");
      Sysinfo info = Node(c.node, c.path);
      std::vector<unsigned char> rec(c.size, 0xee);
      if (variant > 0) {
        EXPECT_THROW(info.Get(rec.data(), rec.size()), HostCtlException);
        EXPECT_EQ(rec, std::vector<unsigned char>(c.size, 0)) << "zero-filled even on failure";
        continue;
      }
      info.Get(rec.data(), rec.size());
      EXPECT_EQ(std::string(rec.begin() + c.at, rec.begin() + c.at + c.bytes.size()), c.bytes);
      EXPECT_THROW(info.Get(rec.data(), c.size - 1), HostCtlException) << "short buffer";
    }
  }
}

// Each call works (journalling its exact line when it changes the host); with
// its fail record it throws and journals nothing. Numeric keys compare as numbers.
TEST_F(HostTest, JournalsEveryChangeAndFailsExactlyTheCallNamed) {
  auto storage = [] { return HostCtl::HostFactory::GetHost()->GetStorageInfo(); };
  auto vm = [](int64_t world) { return HykCtl::Resource::ResourceInfoImpl().GetVirtualMachineByWorldId(world); };
  auto fileSystem = [](size_t i) { return std::move(HykCtl::Storage::StorageInfoImpl().GetFileSystems().at(i)); };
  using HostCtl::Network::NetworkFactory;
  struct Case {
    const char *fail;
    std::function<void()> op;
    const char *line;  // journalled after "1700000000 "; empty: none
  } cases[] = {
      {"intopt Misc KelAsyncEnable",
       [] { Node(HSI_NODE_config_intOpts, {"Misc", "KelAsyncEnable"}, {int64_t{1}}).Set(); },
       "config.set Misc KelAsyncEnable 1"},
      {"nicdown \"hynic 2\"", [] { Node(HSI_NODE_net_pNics_linkFlapping, {"hynic 2"}, {int64_t{1}}).Set(); },
       "nic.down \"hynic 2\""},
      {"cpuoffline 5", [] { Node(HSI_NODE_sched_pcpus_offline, {int64_t{5}}).Set(); }, "cpu.offline 5"},
      {"pagestatus 42", [] { EXPECT_EQ(PageStatus(42), 3u); }, "page.status 42"},
      {"pagestatus 0x2b", [] { EXPECT_EQ(PageStatus(43), 0u); }, "page.status 43"},  // no record: status 0
      {"retire 43",
       [] { Node(HSI_NODE_system_pageRetire_retireMPNs, {}, {int64_t{43}, int64_t{1}, "NiceRetire"}).Set(); },
       "page.retire 43 1 NiceRetire"},
      {"vm 0x1394", [&] { EXPECT_EQ(vm(5012)->GetName(), "db vm"); EXPECT_THROW(vm(1), HostCtlException); }, ""},
      {"vmkill 5012", [&] { vm(5012)->Kill(0); }, "vm.kill 5012 0"},
      {"swap", [] { HykCtl::System::SwapInfoImpl().ReconfigureSysSwap(false, false); }, "swap.reconfigure"},
      {"audit", [] { Check(OmbAudit_Log("account.locked", "root", "", 1) == 0); }, R"(audit account.locked root "" 1)"},
      {"audit", [] { Check(OmbAudit_Log("x", "a b", "say \"hi\"\n", -2) == 0); }, R"(audit x "a b" "say \"hi\"\n" -2)"},
      {"portgroup \"VM Network\"", [] {
         EXPECT_EQ(NetworkFactory::GetPortGroupByName("VM Network")->GetVirtualSwitchName(), "switch0");
         EXPECT_FALSE(NetworkFactory::GetPortGroupByName("Other"));
       }, ""},
      {"lun disk.1", [&] {
         auto lun = storage()->GetLun("disk.1", 1);
         auto *disk = dynamic_cast<HostCtl::Storage::DiskLun *>(lun.get());
         ASSERT_TRUE(disk && disk->GetPartitions().size() == 2u);
         EXPECT_EQ(disk->GetPathFigure(), 2u);
         EXPECT_EQ(disk->GetPartitions()[1]->GetPartitionNumber(), 3u);
         EXPECT_FALSE(dynamic_cast<HostCtl::Storage::DiskLun *>(storage()->GetLun("disk.2", 1).get()));
       }, ""},
      {"path path.1", [&] { EXPECT_EQ(storage()->GetPath("path.1")->GetDeviceName(), "disk.1"); }, ""},
      {"filesystems", [&] {
         EXPECT_EQ(fileSystem(0)->GetVolumeName(), "ds1");
         EXPECT_EQ(fileSystem(1)->GetVolumeName(), "broken");  // file order kept
       }, ""},
      {"filesystem ds1", [&] { EXPECT_EQ(fileSystem(0)->GetVolumeUuid(), "5f1a-22"); }, ""},
      {"advoption Net LinkFlappingThreshold", [] {
         EXPECT_EQ(HykCtl::Adv::AdvancedIntegerOptionImpl({"Net"}, "LinkFlappingThreshold").GetValue(), 3);
         EXPECT_THROW(HykCtl::Adv::AdvancedIntegerOptionImpl({"Net"}, "Other").GetValue(), HostCtlException);
       }, ""},
      {"volume disk.1:03", [] { Check(Volume("disk.1:3") == "data store 2"); }, ""},
      {"stamp", [] { unsigned char rec[16] = {}; Check(EventStamp_Call(rec) == 0); }, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fail);
    SetModel(kFullModel);
    std::string journal = Journal() + (*c.line ? "1700000000 "s + c.line + "\n" : "");
    EXPECT_NO_THROW(c.op());
    EXPECT_EQ(Journal(), journal);
    SetModel(std::string(kFullModel) + "fail " + c.fail + "\n");
    EXPECT_THROW(c.op(), HostCtlException);
    EXPECT_EQ(Journal(), journal) << "a failed call leaves no line";
  }
}

TEST_F(HostTest, RejectsCallsOfTheWrongShapeAndTruncatesTheKernelBuild) {
  SetModel(kFullModel);
  HSI_ParamList *one = HSI_ParamListCreate(1, 1);
  HSI_ParamListAddString(one, "PageRetire");
  EXPECT_EQ(HSI_ParamListAddString(one, "PageErrorCorrThreshold"), HYK_NO_MEMORY);
  EXPECT_EQ(HSI_ParamListAddInt(one, 2), HYK_NO_MEMORY);
  unsigned char rec[HSI_INTOPT_RECORD_SIZE];
  EXPECT_EQ(HSI_Get(HSI_NODE_config_intOpts, one, rec, sizeof rec), HYK_BAD_PARAM);
  EXPECT_EQ(HSI_Get(HSI_NODE_vm_vmmGroupInfo, one, rec, sizeof rec), HYK_BAD_PARAM);
  EXPECT_EQ(HSI_Get(HSI_NODE_sched_pcpus_offline, nullptr, rec, sizeof rec), HYK_NOT_SUPPORTED);
  EXPECT_EQ(HSI_Set(HSI_NODE_system_systemUuid, nullptr, nullptr, nullptr, 0), HYK_NOT_SUPPORTED);
  EXPECT_EQ(HSI_Set(HSI_NODE_net_pNics_linkFlapping, one, nullptr, nullptr, 0), HYK_BAD_PARAM);
  HSI_ParamListDestroy(one);
  EXPECT_EQ(Journal(), "");

  char buf[21];
  const char *mine = nullptr;
  EXPECT_EQ(HSI_CheckSig(buf, sizeof buf, &mine), HYK_OK);  // "build match"
  SetModel("");
  EXPECT_EQ(HSI_CheckSig(buf, sizeof buf, &mine), HYK_OK);
  SetModel("build mismatch \"KB 2024-01-01 12:34:56 and more\"\n");
  EXPECT_NE(HSI_CheckSig(buf, sizeof buf, &mine), HYK_OK);
  EXPECT_STREQ(buf, "KB 2024-01-01 12:34:");
  ASSERT_NE(mine, nullptr);
  EXPECT_GT(strlen(mine), 0u);
}

TEST_F(HostTest, LooksUpVolumesOnlyThroughTheVolumeDirectory) {
  SetModel(kFullModel);
  struct Case {
    const char *key;
    int error;
    const char *name;
  } cases[] = {{"disk.1:1", 0, "ds1"},   {"disk.1:3", 0, "data store 2"}, {"disk.1:2", ENOENT, ""},
               {"disk.9:1", ENOENT, ""}, {"disk.1", EINVAL, ""},          {"disk.1:x", EINVAL, ""}};
  for (const Case &c : cases) EXPECT_EQ(Volume(c.key), c.error ? strerror(c.error) : c.name) << c.key;
  // The errno of a refused call, 0 when it succeeded.
  auto failure = [](int fd, unsigned long request, char *req) {
    return GlfsVolume_Ioctl(fd, request, req) == -1 ? errno : 0;
  };
  int fd = GlfsVolume_OpenDirectory();
  ASSERT_GE(fd, 0);
  char unterminated[GLFS_VOLUME_REQUEST_SIZE];
  memset(unterminated, 'a', sizeof unterminated);
  EXPECT_EQ(failure(fd, GLFS_IOCTL_VOLUME_NAME, unterminated), EINVAL);
  char req[GLFS_VOLUME_REQUEST_SIZE] = "disk.1:1";
  EXPECT_EQ(failure(fd, 0xBDF, req), ENOTTY);
  int other = open(root_.Dir().c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(failure(other, GLFS_IOCTL_VOLUME_NAME, req), ENOTTY);
  close(other);
  close(fd);
  EXPECT_EQ(failure(fd, GLFS_IOCTL_VOLUME_NAME, req), EBADF);
}

// The watch that spares HostModel_Current a stat(): it counts what happens
// to the file and to its name, not to other names beside it, and a forked
// child does not share its parent's events.
TEST_F(HostTest, FileWatchCountsChangesOfTheFileOnly) {
  root_.WriteFile("/w/other", "x");
  std::string path = root_.Path("/w/watched");
  FileWatch watch;
  ASSERT_TRUE(watch.Watch(path, IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF,
                          IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY));
  uint64_t start = watch.Changes();
  root_.WriteFile("/w/other", "y");
  EXPECT_EQ(watch.Changes(), start) << "another name in the directory";
  root_.WriteFile("/w/watched", "1");
  uint64_t created = watch.Changes();
  EXPECT_GT(created, start);
  EXPECT_EQ(watch.Changes(), created) << "nothing new";
  ASSERT_TRUE(watch.Watch(path, IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF, IN_CREATE | IN_DELETE));
  uint64_t rewatched = watch.Changes();
  EXPECT_GE(rewatched, created) << "the same path keeps its count";
  root_.WriteFile("/w/watched", "2");  // the file's own watch
  EXPECT_GT(watch.Changes(), rewatched);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(watch.Active() ? 1 : 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's watch is not active";
  EXPECT_TRUE(watch.Active());

  FileWatch nowhere;
  EXPECT_FALSE(nowhere.Watch(root_.Path("/missing/file"), IN_MODIFY, IN_CREATE));
  EXPECT_FALSE(nowhere.Active());
  EXPECT_NE(nowhere.Changes(), nowhere.Changes()) << "without a watch every call says: look again";
}

TEST_F(HostTest, StampsTheEventTime) {
  clock_.SetMicros(0x0102030405060708ull);
  unsigned char rec[16];
  memset(rec, 0xaa, sizeof rec);
  EXPECT_EQ(EventStamp_Call(rec), 0);
  const unsigned char expected[16] = {8, 7, 6, 5, 4, 3, 2, 1, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
  EXPECT_EQ(memcmp(rec, expected, sizeof rec), 0);
  EXPECT_EQ(EventStamp_Call(nullptr), -EFAULT);
}

}  // namespace
