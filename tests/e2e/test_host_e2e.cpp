// End to end through the real daemon: application crash events reach hubd at
// once, except those of hubd itself, which wait in the retry queue (the retry
// pass, 180 s later, is covered by the unit tests under the fake clock).
#include <gtest/gtest.h>

#include "keldHost.h"

namespace {

// A host whose page retirement settings can be read (the daemon needs them
// at start-up).
std::string HostModel() {
  return KeldHost::DefaultHostModel() +
         "pageretire threshold 100\n"
         "option PageRetire ThresholdInterval 10\n";
}

TEST(HostE2e, HubdCrashIsQueuedWhileOtherCrashesArriveAtOnce) {
  KeldHost host(HostModel());
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  const std::string format = "%s crashed (%d), core at %s";
  ASSERT_EQ(host.Inject({"kel.uw.core.dumped", format, "s:/usr/lib/hubd", "i:11", "s:/var/core/hubd.core"}), 0);
  ASSERT_EQ(host.Inject({"kel.uw.core.dumped", format, "s:alpha-svc", "i:12", "s:/var/core/alpha-svc.core"}), 0);

  // The crashes are handled in order, so when the second has arrived the
  // first has been queued.
  ASSERT_TRUE(host.WaitHubd(1));
  EXPECT_TRUE(host.WaitSyslog(
      "An event (nox.problem.hubd.core.dumped) could not be sent immediately to hubd; queueing for retry."));
  std::vector<std::string> received = host.HubdLines();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_NE(received[0].find("\"id\":\"nox.problem.application.core.dumped\""), std::string::npos) << received[0];
  EXPECT_NE(received[0].find("\"args\":[\"alpha-svc\",1,\"/var/core/alpha-svc.core\"]"), std::string::npos);
}

}  // namespace
