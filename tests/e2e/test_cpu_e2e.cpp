// Page retirement requests of the CPU correlator, end to end: machine checks
// sent to the real daemon, requests read from the actions journal.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "keldHost.h"

namespace {

constexpr uint64_t kAddrValid = 1ULL << 58;
constexpr uint64_t kOver = 1ULL << 62;

// The actions journal, without the time of each line.
std::vector<std::string> Actions(const KeldHost &host) {
  std::vector<std::string> out;
  for (const std::string &line : host.Lines("/var/log/hostsim-actions.log")) {
    out.push_back(line.substr(line.find(' ') + 1));
  }
  return out;
}

TEST(CpuE2e, RepeatedCorrectedErrorsRetireThePage) {
  // A long counting period, so that no count reset falls between the errors.
  KeldHost host(KeldHost::DefaultHostModel() +
                "pageretire threshold 1000\noption PageRetire ThresholdInterval 10\n"
                "option PageRetire PageErrorCorrPeriod 3600\n");
  ASSERT_TRUE(host.StartKeld());
  auto machineCheck = [&](uint64_t status, uint64_t address) {
    return host.Inject({"--ctx", "3", "kel.cpu.mce.log3", "%lu %lu %lu %lu %lu %lu %lu", "L:0",
                        "L:" + std::to_string(status), "L:0", "L:0", "L:2", "L:" + std::to_string(address),
                        "L:0"});
  };
  const std::vector<std::pair<uint64_t, uint64_t>> errors = {
      {kAddrValid, 0x5000}, {kAddrValid, 0x5008},            // page 5: two are tolerated
      {kAddrValid | kOver, 0x0}, {kAddrValid | kOver, 0x10},  // page 0: never asked for
      {kAddrValid, 0x5010},                                   // page 5: the third
      {kAddrValid | kOver, 0x6000}, {kAddrValid, 0x6000}};    // page 6: OVER counts twice
  for (const auto &[status, address] : errors) ASSERT_EQ(machineCheck(status, address), 0);
  ASSERT_TRUE(KeldHost::WaitFor([&] { return Actions(host).size() >= 4; }));
  EXPECT_EQ(Actions(host), (std::vector<std::string>{"page.status 5", "page.retire 5 1 NiceRetire", "page.status 6",
                                                     "page.retire 6 1 NiceRetire"}));
}

}  // namespace
