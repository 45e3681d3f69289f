// hubd-alertmanager's mapping of events to alerts and its delivery queue.
#include <gtest/gtest.h>

#include "amBridge.h"

namespace {

const int64_t kT = 1796494598000000;  // event time, microseconds
const char kUuid[] = "564d0c1e-4a6b-7e2f-9a3c-0123456789ab";

VProbRecordDecoded Event(const std::string &id, std::vector<VProbArg> args, int64_t time = kT) {
  VProbRecordDecoded e;
  e.time = static_cast<uint64_t>(time);
  e.uuid = kUuid;
  e.id = id;
  e.args = std::move(args);
  return e;
}

std::vector<Json> Handle(AlertBridge &b, const VProbRecordDecoded &e, std::string *note = nullptr) {
  std::string ignored;
  return b.Handle(e, kT + 500000, note ? note : &ignored);
}

}  // namespace

TEST(AlertBridge, ProblemFiresAndItsClearResolvesTheSameLabelSet) {
  AlertBridge bridge({"host7", 3600, true, 100});
  auto lost = Handle(bridge, Event("nox.problem.net.connectivity.lost",
                                   {std::string("\"switch0\""), std::string("hynic0"),
                                    std::string("\"Management Network\", \"VM Network\"")}));
  ASSERT_EQ(lost.size(), 1u);
  EXPECT_EQ(lost[0]["labels"].dump(),
            Json({{"alertname", "nox.problem.net.connectivity.lost"}, {"severity", "problem"}, {"host", kUuid},
                  {"hostname", "host7"}, {"switch", "switch0"}})
                .dump());
  const Json &notes = lost[0]["annotations"];
  EXPECT_EQ(notes["summary"], "Lost network connectivity on virtual switch \"switch0\". Physical NIC hynic0 is "
                              "down. Affected port groups: \"Management Network\", \"VM Network\"");
  EXPECT_EQ(notes["nic"], "hynic0");
  EXPECT_EQ(notes["portgroups"], "\"Management Network\", \"VM Network\"");  // a list keeps its quotes
  EXPECT_EQ(lost[0]["startsAt"], "2026-12-05T18:16:38.000Z");
  EXPECT_EQ(lost[0]["endsAt"], "2026-12-05T19:16:38.500Z");  // an hour after it was received
  EXPECT_EQ(bridge.ActiveCount(), 1u);

  // Another switch's restoration resolves that switch, not this one.
  auto restored = Handle(bridge, Event("nox.clear.net.connectivity.restored",
                                       {std::string("\"switch1\""), std::string("\"VM Network\""),
                                        std::string("hynic4")}, kT + 2000000));
  ASSERT_EQ(restored.size(), 1u);
  EXPECT_EQ(restored[0]["labels"]["switch"], "switch1");
  EXPECT_EQ(bridge.ActiveCount(), 1u);
  EXPECT_EQ(bridge.Refresh(kT + 900000000).at(0)["endsAt"], "2026-12-05T19:31:38.000Z");

  restored = Handle(bridge, Event("nox.clear.net.connectivity.restored",
                                  {std::string("\"switch0\""), std::string("\"VM Network\""),
                                   std::string("hynic0")}, kT + 3000000));
  ASSERT_EQ(restored.size(), 1u);
  EXPECT_EQ(restored[0]["labels"].dump(), lost[0]["labels"].dump());
  EXPECT_EQ(restored[0]["startsAt"], "2026-12-05T18:16:41.000Z");
  EXPECT_EQ(restored[0]["endsAt"], restored[0]["startsAt"]);
  EXPECT_EQ(restored[0]["annotations"]["resolved_by"], "nox.clear.net.connectivity.restored");
  EXPECT_EQ(bridge.ActiveCount(), 0u);
  EXPECT_TRUE(bridge.Refresh(kT).empty());

  // Redundancy restored ends both a loss and a degradation of that switch.
  auto both = Handle(bridge, Event("nox.clear.net.redundancy.restored",
                                   {std::string("\"switch0\""), std::string("\"VM Network\""),
                                    std::string("hynic1")}));
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0]["labels"]["alertname"], "nox.problem.net.redundancy.lost");
  EXPECT_EQ(both[1]["labels"]["alertname"], "nox.problem.net.redundancy.degraded");
}

TEST(AlertBridge, AuditsUnknownEventsAndProblemsWithoutAClear) {
  AlertBridge toLog({"", 60, false, 100});
  std::string note;
  EXPECT_TRUE(Handle(toLog, Event("nox.audit.ssh.enabled", {}), &note).empty());
  EXPECT_NE(note.find("nox.audit.ssh.enabled"), std::string::npos);

  AlertBridge bridge({"", 60, true, 100});
  auto audit = Handle(bridge, Event("nox.audit.ssh.enabled", {}));
  ASSERT_EQ(audit.size(), 1u);
  EXPECT_EQ(audit[0]["labels"]["severity"], "info");
  EXPECT_FALSE(audit[0]["labels"].contains("hostname"));
  // A problem nothing clears fires with its expiry and is not renewed.
  auto full = Handle(bridge, Event("nox.problem.net.portset.port.full", {std::string("vSwitch1"), int64_t{128}}));
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0]["labels"]["portset"], "vSwitch1");
  EXPECT_EQ(full[0]["annotations"]["ports"], "128");
  EXPECT_EQ(bridge.ActiveCount(), 0u);
  // An event of a newer keld: arguments by position, the first text identifies.
  auto unknown = Handle(bridge, Event("nox.problem.new.thing", {uint64_t{7}, std::string("obj")}));
  ASSERT_EQ(unknown.size(), 1u);
  EXPECT_EQ(unknown[0]["labels"]["arg2"], "obj");
  EXPECT_EQ(unknown[0]["annotations"]["summary"], "nox.problem.new.thing arg1=7 arg2=obj");
  // Bytes that are not UTF-8 (a record is outside input) become U+FFFD.
  auto odd = Handle(bridge, Event("nox.problem.net.hynic.linkstate.down", {std::string("nic\xff")}));
  EXPECT_EQ(odd.at(0)["labels"]["nic"].get<std::string>().size(), 4u);
  note.clear();
  EXPECT_TRUE(Handle(bridge, Event("nox.clear.new.thing", {}), &note).empty());
  EXPECT_FALSE(note.empty());
}

TEST(AlertQueue, FullQueueDropsTheOldestAndReportsEachOverflowOnce) {
  std::vector<uint64_t> reports;
  AlertQueue queue(3, [&](uint64_t dropped) { reports.push_back(dropped); });
  for (int i = 0; i < 5; ++i) queue.Push(i);
  EXPECT_EQ(queue.Size(), 3u);
  EXPECT_EQ(queue.Dropped(), 2u);
  EXPECT_EQ(reports, std::vector<uint64_t>{1});
  uint64_t first = 0;
  auto batch = queue.Peek(2, &first);
  EXPECT_EQ(Json(batch).dump(), "[2,3]");
  // Alerts dropped while a batch is in flight are not removed twice.
  queue.Push(5);
  queue.Remove(first + batch.size());
  EXPECT_EQ(Json(queue.Peek(10, &first)).dump(), "[4,5]");
  queue.Push(6);
  queue.Push(7);  // full again: a new overflow
  EXPECT_EQ(reports, (std::vector<uint64_t>{1, 4}));
}

TEST(AlertDelivery, RetriesWithDoublingBackOffAndLosesNothing) {
  AlertQueue queue(1000);
  std::vector<SendResult> outcomes = {SendResult::Retry, SendResult::Retry, SendResult::Retry, SendResult::Retry,
                                      SendResult::Sent, SendResult::Retry, SendResult::Reject, SendResult::Sent};
  std::vector<std::string> bodies;
  AlertDelivery delivery(
      queue,
      [&](const std::string &body) {
        bodies.push_back(body);
        SendResult r = outcomes.front();
        outcomes.erase(outcomes.begin());
        return r;
      },
      std::chrono::milliseconds(100), std::chrono::milliseconds(500));
  using ms = std::chrono::milliseconds;
  EXPECT_EQ(delivery.Step(), ms(0));  // nothing queued: nothing sent
  EXPECT_TRUE(bodies.empty());
  for (int i = 0; i < 70; ++i) queue.Push(i);
  EXPECT_EQ(delivery.Step(), ms(100));
  EXPECT_EQ(delivery.Step(), ms(200));
  EXPECT_EQ(delivery.Step(), ms(400));
  EXPECT_EQ(delivery.Step(), ms(500));  // capped
  EXPECT_EQ(delivery.Step(), ms(0));    // sent: the first 64, in order
  EXPECT_EQ(bodies.back(), Json(std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                                               20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37,
                                               38, 39, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55,
                                               56, 57, 58, 59, 60, 61, 62, 63})
                               .dump());
  EXPECT_EQ(delivery.Step(), ms(100));  // the back-off starts again after a success
  EXPECT_EQ(delivery.Step(), ms(0));    // rejected: dropped and counted
  EXPECT_EQ(delivery.Rejected(), 6u);
  EXPECT_EQ(queue.Size(), 0u);
}
