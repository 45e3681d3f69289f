// The stand-in host: host model file, system-information calls, kernel-control
// classes, volume lookup, audit, event stamp and the actions journal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "actionsJournal.h"
#include "clock.h"
#include "eventStamp.h"
#include "glfsVolume.h"
#include "hostCtl.h"
#include "hostModel.h"
#include "hsi.h"
#include "ombAudit.h"
#include "testRoot.h"

namespace {

using HostCtl::Lib::HostCtlException;

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
  std::vector<std::string> JournalLines() const {
    std::vector<std::string> lines;
    std::string text = root_.ReadFile("/var/log/hostsim-actions.log");
    for (size_t start = 0, nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines.push_back(text.substr(start, nl - start));
    }
    return lines;
  }
  TestRoot root_;
  FakeClock clock_{kNow};
};

TEST(HostModelFields, SplitsQuotesAndComments) {
  struct Case {
    const char *line;
    bool ok;
    std::vector<std::string> fields;
  } cases[] = {
      {"a b\tc", true, {"a", "b", "c"}},
      {"  portgroup \"VM Network\" switch0  ", true, {"portgroup", "VM Network", "switch0"}},
      {"x \"\" y", true, {"x", "", "y"}},
      {"a # b c", true, {"a"}},
      {"a#b", true, {"a"}},
      {"\"a # b\" c", true, {"a # b", "c"}},
      {R"(say "he said \"hi\" \\o/ \n")", true, {"say", R"(he said "hi" \o/ \n)"}},
      {"ab\"c d\"e", true, {"abc de"}},
      {"   ", true, {}},
      {"a \"open", false, {}},
  };
  for (const Case &c : cases) {
    std::vector<std::string> fields;
    EXPECT_EQ(HostModel_SplitFields(c.line, &fields), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(fields, c.fields) << c.line;
    }
  }
}

TEST(HostModelFields, ParsesIntegersWithinTheirRange) {
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

TEST(HostModelParse, SkipsEachKindOfMalformedLine) {
  const char *bad[] = {
      "bogus 1",           "option G N notanumber", "option G N",        "lun dev x",
      "lun dev 1 -2",      "volume nocolon ds",     "volume :1 ds",      "cpuoffline maybe",
      "fail nosuch",       "fail intopt G",         "fail vm abc",       "vm 12",
      "uuid",              "pagestatus -1 2",       "build mismatch",    "swap maybe",
      "cpu V 1 99999999999", "pageretire limit 3",  "x \"unterminated",
  };
  for (const char *line : bad) {
    std::vector<std::string> errors;
    HostModel m = HostModel_Parse(std::string("uuid u1\n") + line + "\n", &errors);
    ASSERT_EQ(errors.size(), 1u) << line;
    EXPECT_EQ(errors[0].rfind("line 2: ", 0), 0u) << errors[0];
    EXPECT_EQ(m.uuid, "u1") << "good lines survive a bad one: " << line;
  }
}

TEST(HostModelParse, KeepsTheFullModelAndNormalisesKeys) {
  std::vector<std::string> errors;
  HostModel m = HostModel_Parse(std::string(kFullModel) + "fail volume disk.1:03\nfail vm 0x1394\n", &errors);
  EXPECT_TRUE(errors.empty()) << errors[0];
  EXPECT_EQ(m.options.at({"Misc", "Negative"}), -7);
  ASSERT_EQ(m.fileSystems.size(), 2u);
  EXPECT_EQ(m.fileSystems[1].name1, "broken");  // file order kept
  EXPECT_TRUE(m.Fails("volume", {"disk.1:3"}));
  EXPECT_TRUE(m.Fails("vm", {"5012"}));
  EXPECT_FALSE(m.Fails("vm", {"5013"}));
}

TEST_F(HostTest, RereadsTheFileWhenItChanges) {
  auto readOption = [] {
    HSI_ParamList *p = HSI_ParamListCreate(1, 2);
    HSI_ParamListAddString(p, "G");
    HSI_ParamListAddString(p, "N");
    unsigned char rec[HSI_INTOPT_RECORD_SIZE];
    uint32_t status = HSI_Get(HSI_NODE_config_intOpts, p, rec, sizeof rec);
    HSI_ParamListDestroy(p);
    return status == HYK_OK ? static_cast<int>(rec[24]) : -1;
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

  std::string log = root_.ReadFile("/var/log/syslog");
  size_t first = log.find("line 2: unknown record \"bad\"");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("line 2", first + 1), std::string::npos) << "logged once per version";
  EXPECT_EQ(log.find("line 2", log.find("line 2", first + 1) + 1), std::string::npos);
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
        if (it != m->options.end() && it->second != 1 && it->second != 2 && it->second != 22) {
          wrong = true;
        }
        HykCtl::Util::Sysinfo nic(HSI_NODE_net_pNics_linkFlapping);
        nic.AddInstancePath("nic" + std::to_string(t));
        nic.AddInput(int64_t{1});
        nic.Set();
      }
    });
  }
  for (int i = 0; i < 50; ++i) SetModel(i % 2 ? "option G N 1\n" : "option G N 22\n");
  for (std::thread &t : threads) t.join();
  EXPECT_FALSE(wrong);
  std::vector<std::string> lines = JournalLines();
  EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kCalls));
  for (const std::string &line : lines) {
    ASSERT_TRUE(line.size() == 24 && line.rfind("1700000000 nic.down nic", 0) == 0) << line;
  }
}

TEST_F(HostTest, AnswersEveryReadNode) {
  struct Case {
    HSI_NodeId node;
    std::vector<std::string> texts;  // instance texts
    int64_t instance;                // integer instance, -1: none
    uint32_t size;
    std::function<void(const unsigned char *)> check;
  } cases[] = {
      {HSI_NODE_config_intOpts, {"PageRetire", "PageErrorCorrThreshold"}, -1, 548,
       [](const unsigned char *r) { EXPECT_EQ(r[24], 16); }},
      {HSI_NODE_system_systemUuid, {}, -1, 56,
       [](const unsigned char *r) {
         EXPECT_STREQ(reinterpret_cast<const char *>(r + 16), "564d0c1e-4a6b-7e2f-9a3c-0123456789ab");
       }},
      {HSI_NODE_vm_vmmGroupInfo, {}, 9, 3268,
       [](const unsigned char *r) { EXPECT_STREQ(reinterpret_cast<const char *>(r + 260), "web server 1"); }},
      {HSI_NODE_system_pageRetire_threshold, {}, -1, 8,
       [](const unsigned char *r) { EXPECT_EQ(r[0] | r[1] << 8, 1000); }},
      {HSI_NODE_hardware_cpu_cpuInfo, {}, -1, 40,
       [](const unsigned char *r) { EXPECT_EQ(r[24] * 100 + r[28], 816); }},
      {HSI_NODE_hardware_cpu_cpuList, {}, 0, 228,
       [](const unsigned char *r) { EXPECT_STREQ(reinterpret_cast<const char *>(r + 28), "GenuineIntel"); }},
      {HSI_NODE_sched_offline_enabled, {}, -1, 1, [](const unsigned char *r) { EXPECT_EQ(r[0], 1); }},
  };
  for (bool populated : {true, false}) {
    SetModel(populated ? kFullModel : "");
    for (const Case &c : cases) {
      SCOPED_TRACE(testing::Message() << "node " << c.node << (populated ? "" : ", empty model"));
      HykCtl::Util::Sysinfo info(c.node);
      for (const std::string &t : c.texts) info.AddInstancePath(t);
      if (c.instance >= 0) info.SetInstance(c.instance);
      std::vector<unsigned char> rec(c.size, 0xee);
      if (!populated) {
        EXPECT_THROW(info.Get(rec.data(), rec.size()), HostCtlException);
        EXPECT_EQ(rec, std::vector<unsigned char>(c.size, 0)) << "zero-filled even on failure";
        continue;
      }
      info.Get(rec.data(), rec.size());
      c.check(rec.data());
      EXPECT_THROW(info.Get(rec.data(), c.size - 1), HostCtlException) << "short buffer";
    }
  }
}

TEST_F(HostTest, JournalsEveryChange) {
  SetModel(kFullModel);
  HSI_ParamList *inst = HSI_ParamListCreate(1, 2), *vals = HSI_ParamListCreate(0, 1);
  HSI_ParamListAddString(inst, "Misc");
  HSI_ParamListAddString(inst, "KelAsyncEnable");
  HSI_ParamListAddInt(vals, 1);
  char scratch[4];
  EXPECT_EQ(HSI_Set(HSI_NODE_config_intOpts, inst, vals, scratch, 4), HYK_OK);
  EXPECT_EQ(HSI_ParamListAddInt(vals, 2), HYK_NO_MEMORY);
  HSI_ParamListDestroy(inst);
  HSI_ParamListDestroy(vals);

  HykCtl::Util::Sysinfo nic(HSI_NODE_net_pNics_linkFlapping);
  nic.AddInstancePath("hynic 2");
  nic.AddInput(int64_t{1});
  nic.Set();
  HykCtl::Util::Sysinfo cpu(HSI_NODE_sched_pcpus_offline);
  cpu.SetInstance(int64_t{5});
  cpu.Set();
  uint32_t status[2] = {};
  for (uint64_t page : {42u, 43u}) {
    HykCtl::Util::Sysinfo query(HSI_NODE_system_pageRetire_MPNStatus);
    query.AddInput(page);
    query.Set(&status[page - 42], 4);
  }
  EXPECT_EQ(status[0], 3u);
  EXPECT_EQ(status[1], 0u);
  HykCtl::Util::Sysinfo retire(HSI_NODE_system_pageRetire_retireMPNs);
  retire.AddInput(uint64_t{43});
  retire.AddInput(int64_t{1});
  retire.AddInput(std::string("NiceRetire"));
  retire.Set();
  auto vm = HykCtl::Resource::ResourceInfoImpl().GetVirtualMachineByWorldId(5012);
  EXPECT_EQ(vm->GetName(), "db vm");
  vm->Kill(0);
  HykCtl::System::SwapInfoImpl().ReconfigureSysSwap(false, false);
  EXPECT_EQ(OmbAudit_Log("account.locked", "root", "", 1), 0);
  EXPECT_EQ(OmbAudit_Log("x", "a b", "say \"hi\"\n", -2), 0);

  EXPECT_EQ(JournalLines(), (std::vector<std::string>{
                                "1700000000 config.set Misc KelAsyncEnable 1",
                                "1700000000 nic.down \"hynic 2\"",
                                "1700000000 cpu.offline 5",
                                "1700000000 page.status 42",
                                "1700000000 page.status 43",
                                "1700000000 page.retire 43 1 NiceRetire",
                                "1700000000 vm.kill 5012 0",
                                "1700000000 swap.reconfigure",
                                "1700000000 audit account.locked root \"\" 1",
                                R"(1700000000 audit x "a b" "say \"hi\"\n" -2)",
                            }));
}

TEST_F(HostTest, RejectsCallsOfTheWrongShape) {
  SetModel(kFullModel);
  HSI_ParamList *one = HSI_ParamListCreate(1, 1);
  HSI_ParamListAddString(one, "PageRetire");
  unsigned char rec[HSI_INTOPT_RECORD_SIZE];
  EXPECT_EQ(HSI_Get(HSI_NODE_config_intOpts, one, rec, sizeof rec), HYK_BAD_PARAM);
  EXPECT_EQ(HSI_Get(HSI_NODE_vm_vmmGroupInfo, one, rec, sizeof rec), HYK_BAD_PARAM);
  EXPECT_EQ(HSI_Get(HSI_NODE_sched_pcpus_offline, nullptr, rec, sizeof rec), HYK_NOT_SUPPORTED);
  EXPECT_EQ(HSI_Set(HSI_NODE_system_systemUuid, nullptr, nullptr, nullptr, 0), HYK_NOT_SUPPORTED);
  EXPECT_EQ(HSI_Set(HSI_NODE_net_pNics_linkFlapping, one, nullptr, nullptr, 0), HYK_BAD_PARAM);
  HSI_ParamListDestroy(one);
  EXPECT_TRUE(JournalLines().empty());

}

TEST_F(HostTest, ChecksTheKernelBuild) {
  char buf[21];
  const char *mine = nullptr;
  EXPECT_EQ(HSI_CheckSig(buf, sizeof buf, &mine), HYK_OK);  // no model
  SetModel("build match\n");
  EXPECT_EQ(HSI_CheckSig(buf, sizeof buf, &mine), HYK_OK);
  SetModel("build mismatch \"KB 2024-01-01 12:34:56 and more\"\n");
  EXPECT_NE(HSI_CheckSig(buf, sizeof buf, &mine), HYK_OK);
  EXPECT_STREQ(buf, "KB 2024-01-01 12:34:");
  ASSERT_NE(mine, nullptr);
  EXPECT_GT(strlen(mine), 0u);
}

TEST_F(HostTest, AnswersStorageNetworkAndOptionLookups) {
  SetModel(kFullModel);
  auto storage = HostCtl::HostFactory::GetHost()->GetStorageInfo();
  auto lun = storage->GetLun("disk.1", 1);
  ASSERT_TRUE(lun);
  EXPECT_EQ(lun->GetPathFigure(), 2u);
  auto *disk = dynamic_cast<HostCtl::Storage::DiskLun *>(lun.get());
  ASSERT_NE(disk, nullptr);
  ASSERT_EQ(disk->GetPartitions().size(), 2u);
  EXPECT_EQ(disk->GetPartitions()[1]->GetPartitionNumber(), 3u);
  auto plain = storage->GetLun("disk.2", 1);
  ASSERT_TRUE(plain);
  EXPECT_EQ(dynamic_cast<HostCtl::Storage::DiskLun *>(plain.get()), nullptr);
  EXPECT_FALSE(storage->GetLun("disk.9", 1));
  EXPECT_EQ(storage->GetPath("path.1")->GetDeviceName(), "disk.1");
  EXPECT_FALSE(storage->GetPath("path.9"));

  auto pg = HostCtl::Network::NetworkFactory::GetPortGroupByName("VM Network");
  ASSERT_TRUE(pg);
  EXPECT_EQ(pg->GetVirtualSwitchName(), "switch0");
  EXPECT_FALSE(HostCtl::Network::NetworkFactory::GetPortGroupByName("Other"));

  auto fileSystems = HykCtl::Storage::StorageInfoImpl().GetFileSystems();
  ASSERT_EQ(fileSystems.size(), 2u);
  EXPECT_EQ(fileSystems[0]->GetVolumeName(), "ds1");
  EXPECT_EQ(fileSystems[0]->GetVolumeUuid(), "5f1a-22");

  EXPECT_EQ(HykCtl::Adv::AdvancedIntegerOptionImpl({"Net"}, "LinkFlappingThreshold").GetValue(), 3);
  EXPECT_THROW(HykCtl::Adv::AdvancedIntegerOptionImpl({"Net"}, "Other").GetValue(), HostCtlException);
  EXPECT_THROW(HykCtl::Resource::ResourceInfoImpl().GetVirtualMachineByWorldId(1), HostCtlException);
}

TEST_F(HostTest, FailRecordsMakeExactlyTheirOperationFail) {
  auto sysinfoSet = [](HSI_NodeId node, std::function<void(HykCtl::Util::Sysinfo &)> fill) {
    HykCtl::Util::Sysinfo info(node);
    fill(info);
    uint32_t out = 0;
    info.Set(&out, sizeof out);
  };
  auto sysinfoGet = [](HSI_NodeId node, std::function<void(HykCtl::Util::Sysinfo &)> fill) {
    HykCtl::Util::Sysinfo info(node);
    fill(info);
    std::vector<unsigned char> rec(4096);
    info.Get(rec.data(), rec.size());
  };
  auto volume = [](const char *key) {
    int fd = GlfsVolume_OpenDirectory();
    char req[GLFS_VOLUME_REQUEST_SIZE] = {};
    strcpy(req, key);
    int rc = GlfsVolume_Ioctl(fd, GLFS_IOCTL_VOLUME_NAME, req);
    close(fd);
    if (rc != 0) throw HostCtlException(strerror(errno));
  };
  auto status = [](int32_t rc) {
    if (rc != 0) throw HostCtlException("status " + std::to_string(rc));
  };
  struct Case {
    const char *fail;
    std::function<void()> op;
  } cases[] = {
      {"fail portgroup \"VM Network\"",
       [] { HostCtl::Network::NetworkFactory::GetPortGroupByName("VM Network"); }},
      {"fail lun disk.1", [] { HostCtl::HostFactory::GetHost()->GetStorageInfo()->GetLun("disk.1", 1); }},
      {"fail path path.1",
       [] { HostCtl::HostFactory::GetHost()->GetStorageInfo()->GetPath("path.1"); }},
      {"fail filesystems", [] { HykCtl::Storage::StorageInfoImpl().GetFileSystems(); }},
      {"fail filesystem ds1",
       [] { HykCtl::Storage::StorageInfoImpl().GetFileSystems()[0]->GetVolumeUuid(); }},
      {"fail swap", [] { HykCtl::System::SwapInfoImpl().ReconfigureSysSwap(false, false); }},
      {"fail vm 0x1394", [] { HykCtl::Resource::ResourceInfoImpl().GetVirtualMachineByWorldId(5012); }},
      {"fail vmkill 5012",
       [] { HykCtl::Resource::ResourceInfoImpl().GetVirtualMachineByWorldId(5012)->Kill(0); }},
      {"fail advoption Net LinkFlappingThreshold",
       [] { HykCtl::Adv::AdvancedIntegerOptionImpl({"Net"}, "LinkFlappingThreshold").GetValue(); }},
      {"fail nicdown hynic2",
       [&] { sysinfoSet(HSI_NODE_net_pNics_linkFlapping, [](auto &i) { i.AddInstancePath("hynic2"); i.AddInput(int64_t{1}); }); }},
      {"fail cpuoffline 3",
       [&] { sysinfoSet(HSI_NODE_sched_pcpus_offline, [](auto &i) { i.SetInstance(int64_t{3}); }); }},
      {"fail pagestatus 42",
       [&] { sysinfoSet(HSI_NODE_system_pageRetire_MPNStatus, [](auto &i) { i.AddInput(uint64_t{42}); }); }},
      {"fail retire 42", [&] {
         sysinfoSet(HSI_NODE_system_pageRetire_retireMPNs,
                    [](auto &i) { i.AddInput(uint64_t{42}); i.AddInput(int64_t{1}); i.AddInput(std::string("NiceRetire")); });
       }},
      {"fail intopt PageRetire PageErrorCorrThreshold", [&] {
         sysinfoGet(HSI_NODE_config_intOpts,
                    [](auto &i) { i.AddInstancePath("PageRetire"); i.AddInstancePath("PageErrorCorrThreshold"); });
       }},
      {"fail vmgroup 9", [&] { sysinfoGet(HSI_NODE_vm_vmmGroupInfo, [](auto &i) { i.SetInstance(int64_t{9}); }); }},
      {"fail cpulist 0", [&] { sysinfoGet(HSI_NODE_hardware_cpu_cpuList, [](auto &i) { i.SetInstance(uint64_t{0}); }); }},
      {"fail uuid", [&] { sysinfoGet(HSI_NODE_system_systemUuid, [](auto &) {}); }},
      {"fail threshold", [&] { sysinfoGet(HSI_NODE_system_pageRetire_threshold, [](auto &) {}); }},
      {"fail cpuinfo", [&] { sysinfoGet(HSI_NODE_hardware_cpu_cpuInfo, [](auto &) {}); }},
      {"fail offlineenabled", [&] { sysinfoGet(HSI_NODE_sched_offline_enabled, [](auto &) {}); }},
      {"fail volume disk.1:1", [&] { volume("disk.1:1"); }},
      {"fail audit", [&] { status(OmbAudit_Log("e", "u", "", 1)); }},
      {"fail stamp", [&] { unsigned char rec[16] = {}; status(EventStamp_Call(rec)); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fail);
    SetModel(kFullModel);
    EXPECT_NO_THROW(c.op());
    SetModel(std::string(kFullModel) + c.fail + "\n");
    size_t journalBefore = JournalLines().size();
    EXPECT_THROW(c.op(), HostCtlException);
    EXPECT_EQ(JournalLines().size(), journalBefore) << "a failed change leaves no line";
  }
  SetModel(std::string(kFullModel) + "swap fail \"datastore gone\"\n");
  try {
    HykCtl::System::SwapInfoImpl().ReconfigureSysSwap(false, false);
    ADD_FAILURE() << "no exception";
  } catch (const HostCtlException &e) {
    EXPECT_EQ(e.GetDetailedMessage(), "datastore gone");
  }
}

TEST_F(HostTest, LooksUpVolumesOnlyThroughTheVolumeDirectory) {
  SetModel(kFullModel);
  int fd = GlfsVolume_OpenDirectory();
  ASSERT_GE(fd, 0);
  struct stat st;
  EXPECT_EQ(stat(root_.Path("/glfs/volumes").c_str(), &st), 0);
  struct Case {
    const char *key;
    int rc, error;
    const char *name;
  } cases[] = {
      {"disk.1:1", 0, 0, "ds1"},        {"disk.1:3", 0, 0, "data store 2"},
      {"disk.1:2", -1, ENOENT, ""},     {"disk.9:1", -1, ENOENT, ""},
      {"disk.1", -1, EINVAL, ""},       {"disk.1:x", -1, EINVAL, ""},
  };
  for (const Case &c : cases) {
    char req[GLFS_VOLUME_REQUEST_SIZE];
    memset(req, 0, sizeof req);
    strcpy(req, c.key);
    errno = 0;
    EXPECT_EQ(GlfsVolume_Ioctl(fd, GLFS_IOCTL_VOLUME_NAME, req), c.rc) << c.key;
    EXPECT_EQ(errno, c.error) << c.key;
    EXPECT_STREQ(req + GLFS_VOLUME_NAME_OFFSET, c.name) << c.key;
  }
  char unterminated[GLFS_VOLUME_REQUEST_SIZE];
  memset(unterminated, 'a', sizeof unterminated);
  EXPECT_EQ(GlfsVolume_Ioctl(fd, GLFS_IOCTL_VOLUME_NAME, unterminated), -1);
  EXPECT_EQ(errno, EINVAL);
  char req[GLFS_VOLUME_REQUEST_SIZE] = "disk.1:1";
  EXPECT_EQ(GlfsVolume_Ioctl(fd, 0xBDF, req), -1);
  EXPECT_EQ(errno, ENOTTY);
  int other = open(root_.Dir().c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(GlfsVolume_Ioctl(other, GLFS_IOCTL_VOLUME_NAME, req), -1);
  EXPECT_EQ(errno, ENOTTY);
  close(other);
  close(fd);
  EXPECT_EQ(GlfsVolume_Ioctl(fd, GLFS_IOCTL_VOLUME_NAME, req), -1);
  EXPECT_EQ(errno, EBADF);
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
