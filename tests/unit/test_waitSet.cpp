// The intake's wait gives the table the revents that poll(2) would give it,
// while entries move, pause and close, and falls back to poll where a
// readiness set cannot stand in for it.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "intake/keldWaitSet.h"
#include "platform/clock.h"

namespace {

struct Pair {
  int in = -1, out = -1;  // read end, write end
  Pair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv) == 0) {
      in = sv[0];
      out = sv[1];
    }
  }
  ~Pair() {
    if (in >= 0) close(in);
    if (out >= 0) close(out);
  }
  void Send() const { ASSERT_EQ(send(out, "x", 1, 0), 1); }
};

// A wait that does not wait at all is a busy one (a plain poll): the
// readiness set is tried with a wait of a millisecond.
const struct timespec kBrief = {0, 1000000};

TEST(WaitSet, GivesTheReventsPollWouldGiveAsTheTableChanges) {
  WaitSet waits;
  Pair a, b, c;
  struct pollfd table[INTAKE_MAX_ENTRIES] = {{a.in, POLLIN, 0}, {-1, POLLIN, 0}, {b.in, POLLIN, 0}};
  EXPECT_EQ(waits.Wait(table, 3, &kBrief, nullptr), 0) << "nothing ready: the time-out";

  b.Send();
  const struct timespec second = {1, 0};
  ASSERT_EQ(waits.Wait(table, 3, &second, nullptr), 1);
  EXPECT_EQ(table[0].revents, 0);
  EXPECT_EQ(table[1].revents, 0) << "a negative descriptor is ignored";
  EXPECT_EQ(table[2].revents, POLLIN);

  // An entry appended and the one at index 0 replaced by it, as the loop
  // does when it closes a connection: followed without being told.
  table[3] = {c.in, POLLIN, 0};
  c.Send();
  ASSERT_EQ(waits.Wait(table, 4, &kBrief, nullptr), 2);
  EXPECT_EQ(table[3].revents, POLLIN);
  table[0] = table[3];
  ASSERT_EQ(waits.Wait(table, 3, &kBrief, nullptr), 2);
  EXPECT_EQ(table[0].revents, POLLIN) << "the moved entry answers at its new place";
  EXPECT_EQ(table[2].revents, POLLIN);

  // A peer that hangs up: POLLHUP, as poll says it.
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  close(sv[1]);
  table[1] = {sv[0], POLLIN, 0};
  ASSERT_EQ(waits.Wait(table, 3, &kBrief, nullptr), 3);
  EXPECT_TRUE(table[1].revents & POLLHUP);

  // Closed, and its number taken by another file at the same place: after
  // Forget() the new file is the one watched.
  close(sv[0]);
  waits.Forget();
  Pair d;
  ASSERT_EQ(d.in, sv[0]) << "the lowest free number comes back";
  table[1] = {d.in, POLLIN, 0};
  d.Send();
  ASSERT_EQ(waits.Wait(table, 3, &kBrief, nullptr), 3);
  EXPECT_EQ(table[1].revents, POLLIN);
}

TEST(WaitSet, FallsBackToPollWhereTheSetCannotMirrorTheTable) {
  WaitSet waits;
  Pair a;
  struct pollfd table[2] = {{a.in, POLLIN, 0}, {-1, POLLIN, 0}};
  ASSERT_EQ(waits.Wait(table, 2, &kBrief, nullptr), 0);  // the set exists: its descriptor is taken
  int closedFd = dup(a.in);
  ASSERT_GE(closedFd, 0);
  close(closedFd);
  table[1].fd = closedFd;
  ASSERT_EQ(waits.Wait(table, 2, &kBrief, nullptr), 1);
  EXPECT_EQ(table[1].revents, POLLNVAL) << "a descriptor that is not open";

  // A regular file cannot be in a readiness set; poll says it is readable.
  char name[] = "/tmp/keld-waitset-XXXXXX";
  int file = mkstemp(name);
  ASSERT_GE(file, 0);
  unlink(name);
  table[1] = {file, POLLIN, 0};
  ASSERT_EQ(waits.Wait(table, 2, &kBrief, nullptr), 1);
  EXPECT_EQ(table[1].revents, POLLIN);
  close(file);
}

// A flood (many entries ready, or a wait that does not wait) turns the
// waits into plain polls for a while; the results stay those of poll.
TEST(WaitSet, ServesABusySpellWithPlainPolls) {
  FakeClock clock;
  WaitSet waits;
  Pair pairs[5];
  struct pollfd table[5];
  for (int i = 0; i < 5; i++) table[i] = {pairs[i].in, POLLIN, 0};
  pairs[0].Send();
  ASSERT_EQ(waits.Wait(table, 5, &kBrief, nullptr), 1);
  EXPECT_FALSE(waits.Polling());
  for (int i = 1; i < 4; i++) pairs[i].Send();
  ASSERT_EQ(waits.Wait(table, 5, &kBrief, nullptr), 4);
  EXPECT_TRUE(waits.Polling()) << "four entries ready at once";
  clock.AdvanceSeconds(0.05);
  ASSERT_EQ(waits.Wait(table, 5, &kBrief, nullptr), 4);
  EXPECT_TRUE(waits.Polling());
  char byte;
  for (int i = 0; i < 4; i++) ASSERT_EQ(recv(pairs[i].in, &byte, 1, 0), 1);
  clock.AdvanceSeconds(0.2);
  pairs[4].Send();
  ASSERT_EQ(waits.Wait(table, 5, &kBrief, nullptr), 1);
  EXPECT_EQ(table[4].revents, POLLIN);
  EXPECT_FALSE(waits.Polling()) << "quiet again";
  const struct timespec none = {0, 0};
  ASSERT_EQ(waits.Wait(table, 5, &none, nullptr), 1);
  EXPECT_TRUE(waits.Polling()) << "a wait that does not wait";
}

}  // namespace
