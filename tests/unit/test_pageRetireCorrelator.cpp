// The page retirement correlator: its reports and settings, and the killing of guests that keep using a bad page.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "rowCases.h"

namespace {

const std::string kHost =
    "pageretire threshold 1000\noption PageRetire ThresholdInterval 10\n"
    "option PageRetire ApeiLoggingEnabled 1\nvm 5012 web-01\nvm 5013 db-02\n";
constexpr uint64_t kPage = 0x1f000, kOtherPage = 0x2e000;

void PlatformRequest(CorrelatorHarness &h) {
  h.Send("kel.pageretire.platform.retire.request",
         "Memory page retirement requested by platform firmware. FRU ID: %s. Refer to System Hardware Log: %s",
         {KelArg::Str("DIMM A3"), KelArg::Str("SEL 0x42")});
}

void Inject(CorrelatorHarness &h, int32_t world, uint64_t page, int n = 1) {
  const char *format = "Injected MCE for PPN %lx into virtual machine %d.";
  for (int i = 0; i < n; i++) h.Send("kel.pageretire.mce.injected", format, {KelArg::U64(page), KelArg::I32(world)});
}

size_t Kills(const CorrelatorHarness &h) {
  std::string journal = h.Journal();
  size_t count = 0;
  for (size_t at = journal.find("vm.kill "); at != std::string::npos; at = journal.find("vm.kill ", at + 1)) count++;
  return count;
}

// The rows, then the settings: the logging option is read at each request, unreadable settings stop the daemon.
TEST(PageRetireCorrelatorDeathTest, RowsAndTheSettings) {
  CorrelatorHarness h(PageRetireCorrelator_Def(), kHost);
  for (const std::string &failure : RunRowCases(h, "pageretire.rows")) ADD_FAILURE() << failure;
  h.WriteHostModel(kHost + "option PageRetire ApeiLoggingEnabled 0\n");
  PlatformRequest(h);
  EXPECT_TRUE(h.Take().empty());
  h.WriteHostModel("option PageRetire ThresholdInterval 10\n");
  EXPECT_DEATH(PageRetireCorrelator_Def().setup(), "NOT_REACHED keldPageRetireCorrelator:");
  h.WriteHostModel("pageretire threshold 1000\n");
  EXPECT_DEATH(PageRetireCorrelator_Def().setup(), "NOT_REACHED keldPageRetireCorrelator:");
  h.WriteHostModel(kHost + "fail intopt PageRetire ApeiLoggingEnabled\n");
  EXPECT_DEATH(PlatformRequest(h), "NOT_REACHED keldPageRetireCorrelator:");
}

TEST(PageRetireCorrelator, InjectionsKillWhenManyAndSpread) {
  // Bursts of injections, each after a pause, and the kills seen after each.
  struct Burst { int64_t pause; int32_t world; uint64_t page; int count; size_t kills; };
  struct Case { const char *label; std::vector<Burst> bursts; } cases[] = {
      {"49 spread, then the 50th", {{0, 5012, kPage, 1, 0}, {3, 5012, kPage, 48, 0}, {0, 5012, kPage, 1, 1}}},
      {"spread reached at the 52nd", {{0, 5012, kPage, 50, 0}, {1, 5012, kPage, 1, 0}, {1, 5012, kPage, 1, 1}}},
      {"first still alive at 60 s", {{0, 5012, kPage, 49, 0}, {60, 5012, kPage, 1, 1}}},
      {"first expired at 61 s", {{0, 5012, kPage, 49, 0}, {61, 5012, kPage, 1, 0}}},
      {"pages apart", {{0, 5012, kPage, 30, 0}, {5, 5012, kOtherPage, 30, 0}, {0, 5012, kPage, 20, 1}}},
      {"machines apart", {{0, 5012, kPage, 49, 0}, {5, 5013, kPage, 1, 0}}},
      // Once killed, left alone while its record lives (60 s after its latest injection); a fresh one starts over.
      {"quiet until expiry",
       {{0, 5012, kPage, 49, 0}, {2, 5012, kPage, 1, 1}, {0, 5012, kOtherPage, 50, 1}, {60, 5012, kOtherPage, 10, 1},
        {61, 5012, kOtherPage, 49, 1}, {2, 5012, kOtherPage, 1, 2}}},
  };
  for (const Case &c : cases) {
    CorrelatorHarness h(PageRetireCorrelator_Def(), kHost);
    for (size_t i = 0; i < c.bursts.size(); i++) {
      const Burst &b = c.bursts[i];
      h.Advance(b.pause);
      Inject(h, b.world, b.page, b.count);
      EXPECT_EQ(Kills(h), b.kills) << c.label << ", burst " << i;
      EXPECT_EQ(h.Take().size(), b.kills - (i == 0 ? 0 : c.bursts[i - 1].kills)) << c.label << ", burst " << i;
    }
  }
}

TEST(PageRetireCorrelator, FailedKillsAndTheReport) {
  // A failed lookup leaves the machine unmarked: later injections try again. A failed kill request comes after
  // the machine was reported and marked, so it is not repeated.
  CorrelatorHarness h(PageRetireCorrelator_Def(), kHost + "fail vm 5012\nfail vmkill 5013\n");
  for (int32_t world : {5012, 5013}) Inject(h, world, kPage, 49);
  h.Advance(2);
  for (int32_t world : {5012, 5013}) Inject(h, world, kPage, 2);
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(ArgTexts(events[0])[0], "db-02");
  EXPECT_EQ(Kills(h), 0u);
  h.WriteHostModel(kHost);
  Inject(h, 5012, kPage);
  events = h.Take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id + ": " + events[0].message,
            "nox.problem.pageretire.mce.injected.2: Killing web-01 because at least 50 uncorrectable memory error "
            "machine check exceptions were injected for guest physical page 0x1f000 but the virtual machine's "
            "operating system kept using the page.");
  EXPECT_EQ(ArgTexts(events[0]), (std::vector<std::string>{"web-01", "50", "126976"}));
  EXPECT_NE(h.Journal().find("vm.kill 5012 0\n"), std::string::npos);
  EXPECT_EQ(Kills(h), 1u);
}

}  // namespace
