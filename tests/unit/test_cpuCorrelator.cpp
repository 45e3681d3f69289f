// The CPU correlator: its rows, and what the machine check log makes it ask of
// the host (page retirement, CPUs taken offline), read from the actions
// journal under the fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "correlatorHarness.h"
#include "keldCorrelators.h"
#include "rowCases.h"

namespace {

constexpr uint64_t kAddrValid = 1ULL << 58;
constexpr uint64_t kOver = 1ULL << 62;
// Error codes: cache hierarchy level 0 and 1, the same with bit 12 set, TLB
// level 1, generic cache level 0; cache hierarchy level 2 and a bus error.
constexpr uint64_t kL0 = 0x0134, kL1 = 0x0135, kL0Bit12 = 0x1134, kTlb = 0x0011, kGeneric = 0x000C;
constexpr uint64_t kL2 = 0x0136, kBus = 0x0E0B;

void MachineCheck(CorrelatorHarness &h, uint64_t status, uint64_t cpu, uint64_t address) {
  h.Send("kel.cpu.mce.log3", "%lu %lu %lu %lu %lu %lu %lu",
         {KelArg::U64(0), KelArg::U64(status), KelArg::U64(0), KelArg::U64(0), KelArg::U64(cpu),
          KelArg::U64(address), KelArg::U64(0)});
}

// The actions journal, without the time of each line.
std::vector<std::string> Actions(const CorrelatorHarness &h) {
  std::vector<std::string> out;
  std::istringstream in(h.Journal());
  for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find(' ') + 1));
  return out;
}

// One machine check and the journal lines it must add.
struct Mce {
  uint64_t status;
  uint64_t cpu;
  std::vector<std::string> actions = {};
  uint64_t address = 0;
  int64_t secondsBefore = 0;
};

void CheckMachineChecks(CorrelatorHarness &h, const std::vector<Mce> &mces, const std::string &label) {
  for (size_t i = 0; i < mces.size(); i++) {
    const Mce &m = mces[i];
    h.Clock().AdvanceSeconds(static_cast<double>(m.secondsBefore));
    std::vector<std::string> expected = Actions(h);
    expected.insert(expected.end(), m.actions.begin(), m.actions.end());
    MachineCheck(h, m.status, m.cpu, m.address);
    EXPECT_EQ(Actions(h), expected) << label << ", machine check " << i;
  }
}

TEST(CpuCorrelator, RowsHold) {
  CorrelatorHarness h(CpuCorrelator_Def());
  for (const std::string &failure : RunRowCases(h, "cpu.rows")) ADD_FAILURE() << failure;
}

TEST(CpuCorrelator, CountsResetEachPeriodAndFollowTheOptions) {
  CorrelatorHarness h(CpuCorrelator_Def());
  const Mce page9 = {kAddrValid, 0, {}, 0x9000};
  CheckMachineChecks(h, {page9, page9}, "first period");
  h.Advance(30);  // the period of 30 s ends
  CheckMachineChecks(h, {page9}, "second period");

  h.WriteHostModel(
      "option PageRetire PageErrorCorrThreshold 3\n"
      "option PageRetire PageErrorCorrPeriod 100\n");
  h.Advance(30);  // settings refresh at 60 s: threshold 3, period 100 from now on
  const Mce pageA = {kAddrValid, 0, {}, 0xa000};
  CheckMachineChecks(h, {pageA, pageA, pageA}, "threshold 3");
  h.Advance(99);
  CheckMachineChecks(h, {{kAddrValid, 0, {"page.status 10", "page.retire 10 1 NiceRetire"}, 0xa000}},
                     "period 100");
  h.Advance(1);
  CheckMachineChecks(h, {pageA}, "after the reset");
}

TEST(CpuCorrelator, PageCountStopsAt255) {
  CorrelatorHarness h(CpuCorrelator_Def());
  for (int i = 0; i < 300; i++) MachineCheck(h, kAddrValid, 0, 0xb000);
  std::vector<std::string> actions = Actions(h);
  // Every error from the third on asks; a count that wrapped would fall silent.
  EXPECT_EQ(std::count(actions.begin(), actions.end(), "page.status 11"), 298);
}

TEST(CpuCorrelator, MachineChecksActOnTheHost) {
  const std::vector<std::string> retire5 = {"page.status 5", "page.retire 5 1 NiceRetire"};
  const Mce page5 = {kAddrValid, 0, {}, 0x5000}, page5Over = {kAddrValid | kOver, 1, {}, 0x5000};
  const Mce page0Over = {kAddrValid | kOver, 0, {}, 0x0}, noAddress = {0, 0, {}, 0x8000};
  const Mce page7 = {kAddrValid, 0, {}, 0x7000};
  // Two logical CPUs per core group (16 / 8).
  const std::string intel = "cpu GenuineIntel 8 16\ncpuoffline on\noption Cpu CPUOfflineThreshold 3\n";
  std::vector<Mce> sixtyFour(63, Mce{kL0, 2});
  sixtyFour.push_back({kL0, 2, {"cpu.offline 2"}});
  const std::vector<Mce> threeL0 = {{kL0, 2}, {kL0, 2}, {kL0, 2}};
  const Mce l0Page5 = {kL0 | kAddrValid, 2, {}, 0x5000};
  struct Case {
    const char *label;
    std::string host;
    std::vector<Mce> mces;
  } cases[] = {
      // Pages, with the default threshold of 2.
      {"third error", "", {page5, page5, {kAddrValid, 0, retire5, 0x5fff}, {kAddrValid, 0, retire5, 0x5000}}},
      {"OVER counts twice", "", {page5Over, {kAddrValid, 0, retire5, 0x5000}}},
      {"page 0 and no address", "", {page0Over, page0Over, page0Over, noAddress, noAddress, noAddress}},
      {"status 1", "pagestatus 7 1\n", {page7, page7, {kAddrValid, 0, {"page.status 7"}, 0x7000}, page7, page7}},
      // Core groups.
      {"third of a group", intel, {{kL0, 2}, {kL1, 3}, {kL0, 3, {"cpu.offline 3"}, 0, 5}, {kL0, 2}}},
      {"OVER fills two slots", intel, {{kL0 | kOver, 2}, {kL0, 3, {"cpu.offline 3"}}}},
      {"bit 12, TLB, generic", intel, {{kL0Bit12, 4}, {kTlb, 5}, {kGeneric, 4, {"cpu.offline 4"}}}},
      {"level 2 and bus errors", intel, {{kL2, 2}, {kBus, 2}, {kL2, 3}, {kBus, 3}}},
      {"groups apart", intel, {{kL0, 2}, {kL0, 4}, {kL0, 6}, {kL0, 0}}},
      {"within 24 hours", intel, {{kL0, 2}, {kL0, 2}, {kL0, 2, {"cpu.offline 2"}, 0, 86399}}},
      {"24 hours later", intel, {{kL0, 2}, {kL0, 2}, {kL0, 2, {}, 0, 86400}}},
      {"both actions", intel,
       {l0Page5, l0Page5,
        {kL0 | kAddrValid, 2, {"cpu.offline 2", "page.status 5", "page.retire 5 1 NiceRetire"}, 0x5000}}},
      {"other vendor", "cpu OtherVendorCpu 8 16\ncpuoffline on\noption Cpu CPUOfflineThreshold 3\n",
       {l0Page5, l0Page5, {kL0 | kAddrValid, 2, retire5, 0x5000}}},
      {"threshold 0", intel + "option Cpu CPUOfflineThreshold 0\n", threeL0},
      {"offlining not allowed", intel + "cpuoffline off\n", threeL0},
      {"no group size", intel + "cpu GenuineIntel 0 16\n", threeL0},
      {"CPU 0 unreadable", intel + "fail cpulist 0\n", threeL0},
      {"threshold over 64", intel + "option Cpu CPUOfflineThreshold 65\n", sixtyFour},
  };
  for (const Case &c : cases) {
    CorrelatorHarness h(CpuCorrelator_Def(), c.host);
    CheckMachineChecks(h, c.mces, c.label);
  }
}

}  // namespace
