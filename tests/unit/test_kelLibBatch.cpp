// Batched reads of kernel contexts: records that a read's buffer cannot take
// wait in the library (the socket may be empty then), in order, and a reset
// discards them; the log sink follows a root change and holds a thread's
// lines in a batch; the log prefix stays right across second boundaries.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "kelLib.h"
#include "kelRecord.h"
#include "kelSend.h"
#include "keldLog.h"
#include "sysLog.h"
#include "testRoot.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Big(int n) { return KelRecord_Build("kel.big" + std::to_string(n), "m", {KelArg::Str(std::string(3000, 'x'))}, 1); }

std::vector<std::string> ReadIds(int fd, uint32_t size, uint32_t *status) {
  std::vector<uint8_t> buf(size);
  uint32_t count = 0;
  *status = KelLib_ReadFromFd(fd, buf.data(), size, &count);
  std::vector<std::string> ids;
  for (uint32_t pos = 0; pos + KEL_RECORD_HEADER_SIZE <= count;) {
    uint32_t len;
    memcpy(&len, &buf[pos + KEL_RECORD_OFF_TOTAL_LENGTH], 4);
    ids.emplace_back(reinterpret_cast<const char *>(&buf[pos + KEL_RECORD_HEADER_SIZE]));
    pos += len;
  }
  return ids;
}

bool Readable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1;
}

}  // namespace

TEST(KelLibBatch, HeldBackRecordsComeNextInOrderAndResetDropsThem) {
  TestRoot root;
  KelLib_Handle ctx = nullptr;
  ASSERT_EQ(KelLib_AsyncContextOpen(5, &ctx), 0u);
  int fd = -1;
  KelLib_HandleToFd(ctx, &fd);
  std::string error;
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(KelSend_ToKernel(5, Big(i).data(), Big(i).size(), &error)) << error;

  uint32_t status = 1;
  EXPECT_EQ(ReadIds(fd, 8192, &status), (std::vector<std::string>{"kel.big0", "kel.big1"}));
  EXPECT_EQ(status, 0u);
  // Everything left the socket; the rest waits in the library.
  EXPECT_FALSE(Readable(fd));
  EXPECT_TRUE(KelLib_HasPending(ctx));
  EXPECT_EQ(ReadIds(fd, 4000, &status), (std::vector<std::string>{"kel.big2"}));
  // One that does not fit at all is answered with 27 and kept.
  EXPECT_TRUE(ReadIds(fd, 1000, &status).empty());
  EXPECT_EQ(status, KELLIB_STATUS_TOO_BIG);
  EXPECT_TRUE(KelLib_HasPending(ctx));

  ASSERT_TRUE(KelSend_ToKernel(5, Big(4).data(), Big(4).size(), &error)) << error;
  EXPECT_EQ(KelLib_Reset(ctx), 0u);
  EXPECT_FALSE(KelLib_HasPending(ctx));
  EXPECT_TRUE(ReadIds(fd, 8192, &status).empty());
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(KelLib_Close(ctx), 0u);
}

TEST(KelLibBatch, LogSinkFollowsTheRoot) {
  TestRoot first;
  SysLog_Log(6, "one\n");
  {
    TestRoot second;  // sets $KELD_ROOT to a new root, restored after
    SysLog_Log(6, "two\n");
    EXPECT_EQ(second.ReadFile("/var/log/syslog"), "two\n");
  }
  SysLog_Log(6, "three\n");
  EXPECT_EQ(first.ReadFile("/var/log/syslog"), "one\nthree\n");
}

TEST(KelLibBatch, LogBatchHoldsLinesUntilItsEndTheLimitOrTheThreadsEnd) {
  TestRoot root;
  SysLog_BeginBatch();
  SysLog_Log(6, "held %d", 1);
  SysLog_Log(6, "held 2\n");
  EXPECT_EQ(root.ReadFile("/var/log/syslog"), "");
  SysLog_EndBatch();
  EXPECT_EQ(root.ReadFile("/var/log/syslog"), "held 1\nheld 2\n");
  SysLog_Log(6, "direct");  // outside a batch: at once
  EXPECT_EQ(root.ReadFile("/var/log/syslog"), "held 1\nheld 2\ndirect\n");

  // 32 KiB held are written without waiting for the end, whole lines only.
  SysLog_BeginBatch();
  std::string line(1000, 'x');
  for (int i = 0; i < 33; i++) SysLog_Log(6, "%s", line.c_str());
  std::string text = root.ReadFile("/var/log/syslog");
  EXPECT_EQ(text.size(), 21 + 33 * 1001u);
  SysLog_Log(6, "tail");
  SysLog_EndBatch();
  EXPECT_EQ(root.ReadFile("/var/log/syslog").size(), text.size() + 5);

  // A thread that ends inside its batch still writes what it held.
  std::thread([] {
    SysLog_BeginBatch();
    SysLog_Log(6, "from a thread that ends");
  }).join();
  EXPECT_NE(root.ReadFile("/var/log/syslog").find("from a thread that ends\n"), std::string::npos);
}

TEST(KelLibBatch, LogPrefixFollowsTheSecondAndTheMilliseconds) {
  FakeClock clock(1700000000);
  char a[32], b[32], c[32];
  clock.SetMicros(1700000000u * 1000000ull + 999000);
  Log_FormatPrefix(a, sizeof a);
  clock.SetMicros(1700000001u * 1000000ull + 5000);
  Log_FormatPrefix(b, sizeof b);
  clock.SetMicros(1700000000u * 1000000ull + 123000);
  Log_FormatPrefix(c, sizeof c);
  ASSERT_EQ(strlen(a), 26u);
  EXPECT_STREQ(a + 19, ".999Z: ");
  EXPECT_STREQ(b + 19, ".005Z: ");
  EXPECT_STREQ(c + 19, ".123Z: ");
  EXPECT_EQ(std::string(a, 19), std::string(c, 19));  // back to the earlier second
  EXPECT_NE(std::string(a, 19), std::string(b, 19));
}
