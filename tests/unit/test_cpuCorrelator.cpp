// The CPU correlator: its rows, and the page retirements and CPU take-downs its machine checks ask of the host.
#include <gtest/gtest.h>

#include <sstream>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "rowCases.h"

namespace {

constexpr uint64_t kAddrValid = 1ULL << 58, kOver = 1ULL << 62;
// Error codes: cache levels 0 and 1, level 0 with bit 12 set, TLB, generic cache; cache level 2 and a bus error.
constexpr uint64_t kL0 = 0x134, kL1 = 0x135, kL0Bit12 = 0x1134, kTlb = 0x11, kGeneric = 0xC, kL2 = 0x136, kBus = 0xE0B;

// One machine check, the journal lines it must add, and the seconds before it.
struct Mce { uint64_t status, cpu; std::vector<std::string> actions = {}; uint64_t address = 0; int64_t before = 0; };

// The actions journal, without the time of each line.
std::vector<std::string> Actions(const CorrelatorHarness &h) {
  std::vector<std::string> out;
  std::istringstream in(h.Journal());
  for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find(' ') + 1));
  return out;
}

void CheckMachineChecks(CorrelatorHarness &h, const std::vector<Mce> &mces, const std::string &label) {
  for (size_t i = 0; i < mces.size(); i++) {
    const Mce &m = mces[i];
    h.Clock().AdvanceSeconds(static_cast<double>(m.before));
    std::vector<std::string> expected = Actions(h);
    expected.insert(expected.end(), m.actions.begin(), m.actions.end());
    h.Send("kel.cpu.mce.log3", "%lu %lu %lu %lu %lu %lu %lu", {KelArg::U64(0), KelArg::U64(m.status), KelArg::U64(0),
           KelArg::U64(0), KelArg::U64(m.cpu), KelArg::U64(m.address), KelArg::U64(0)});
    EXPECT_EQ(Actions(h), expected) << label << ", machine check " << i;
  }
}

// Page counts stop at 255, are reset each period, and follow the options as they are refreshed.
TEST(CpuCorrelator, RowsAndPageCounts) {
  CorrelatorHarness h(CpuCorrelator_Def());
  for (const std::string &failure : RunRowCases(h, "cpu.rows")) ADD_FAILURE() << failure;
  // Every error from the third on asks; a count that wrapped would fall silent.
  std::vector<Mce> mces(300, Mce{kAddrValid, 0, {"page.status 11", "page.retire 11 1 NiceRetire"}, 0xb000});
  mces[0].actions = mces[1].actions = {};
  CheckMachineChecks(h, mces, "page 11");
  const Mce page9 = {kAddrValid, 0, {}, 0x9000}, pageA = {kAddrValid, 0, {}, 0xa000};
  CheckMachineChecks(h, {page9, page9}, "first period");
  h.Advance(30);  // the period of 30 s ends
  CheckMachineChecks(h, {page9}, "second period");
  h.WriteHostModel("option PageRetire PageErrorCorrThreshold 3\noption PageRetire PageErrorCorrPeriod 100\n");
  h.Advance(30);  // settings refresh at 60 s: threshold 3, period 100 from now on
  CheckMachineChecks(h, {pageA, pageA, pageA}, "threshold 3");
  h.Advance(99);
  CheckMachineChecks(h, {{kAddrValid, 0, {"page.status 10", "page.retire 10 1 NiceRetire"}, 0xa000}}, "period 100");
  h.Advance(1);
  CheckMachineChecks(h, {pageA}, "after the reset");
}

TEST(CpuCorrelator, MachineChecksActOnTheHost) {
  const std::vector<std::string> retire5 = {"page.status 5", "page.retire 5 1 NiceRetire"};
  const Mce page5 = {kAddrValid, 0, {}, 0x5000}, page7 = {kAddrValid, 0, {}, 0x7000};
  const Mce page0Over = {kAddrValid | kOver, 0, {}, 0x0}, noAddress = {0, 0, {}, 0x8000};
  const std::string intel = "cpu GenuineIntel 8 16\ncpuoffline on\noption Cpu CPUOfflineThreshold 3\n";
  std::vector<Mce> sixtyFour(63, Mce{kL0, 2});
  sixtyFour.push_back({kL0, 2, {"cpu.offline 2"}});
  const std::vector<Mce> threeL0 = {{kL0, 2}, {kL0, 2}, {kL0, 2}};
  const Mce l0Page5 = {kL0 | kAddrValid, 2, {}, 0x5000};
  struct Case { const char *label; std::string host; std::vector<Mce> mces; } cases[] = {
      // Pages, with the default threshold of 2.
      {"third error", "", {page5, page5, {kAddrValid, 0, retire5, 0x5fff}, {kAddrValid, 0, retire5, 0x5000}}},
      {"page 0 and no address", "", {page0Over, page0Over, page0Over, noAddress, noAddress, noAddress}},
      {"status 1", "pagestatus 7 1\n", {page7, page7, {kAddrValid, 0, {"page.status 7"}, 0x7000}, page7, page7}},
      // Core groups of two logical CPUs (16 / 8).
      {"third of a group", intel, {{kL0, 2}, {kL1, 3}, {kL0, 3, {"cpu.offline 3"}, 0, 5}, {kL0, 2}}},
      {"OVER fills two slots", intel, {{kL0 | kOver, 2}, {kL0, 3, {"cpu.offline 3"}}}},
      {"bit 12, TLB, generic", intel, {{kL0Bit12, 4}, {kTlb, 5}, {kGeneric, 4, {"cpu.offline 4"}}}},
      {"level 2, bus, groups apart", intel, {{kL2, 2}, {kBus, 2}, {kL2, 3}, {kBus, 3}, {kL0, 2}, {kL0, 4}, {kL0, 0}}},
      {"within 24 hours", intel, {{kL0, 2}, {kL0, 2}, {kL0, 2, {"cpu.offline 2"}, 0, 86399}}},
      {"24 hours later", intel, {{kL0, 2}, {kL0, 2}, {kL0, 2, {}, 0, 86400}}},
      {"both", intel, {l0Page5, l0Page5, {kL0 | kAddrValid, 2, {"cpu.offline 2", retire5[0], retire5[1]}, 0x5000}}},
      {"other vendor", intel + "cpu OtherVendorCpu 8 16\n", {l0Page5, l0Page5, {kL0 | kAddrValid, 2, retire5, 0x5000}}},
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
