// Batched reads of kernel contexts (records held back in order, dropped by a
// reset; a datagram too big for any reader), the log sink's batches and the
// log prefix across second boundaries.
#include <gtest/gtest.h>
#include <poll.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelRecord.h"
#include "kelSend.h"
#include "log/keldLog.h"
#include "platform/clock.h"
#include "platform/kelLib.h"
#include "platform/sysLog.h"
#include "testRoot.h"

namespace {

std::vector<uint8_t> Big(int n) {
  return KelRecord_Build("kel.big" + std::to_string(n), "m", {KelArg::Str(std::string(3000, 'x'))}, 1);
}

std::vector<std::string> ReadIds(int fd, uint32_t size, uint32_t *status) {
  std::vector<uint8_t> buf(size);
  uint32_t count = 0, len;
  *status = KelLib_ReadFromFd(fd, buf.data(), size, &count);
  std::vector<std::string> ids;
  for (uint32_t pos = 0; pos + KEL_RECORD_HEADER_SIZE <= count; pos += len) {
    memcpy(&len, &buf[pos + KEL_RECORD_OFF_TOTAL_LENGTH], 4);
    ids.emplace_back(reinterpret_cast<const char *>(&buf[pos + KEL_RECORD_HEADER_SIZE]));
  }
  return ids;
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
  struct pollfd p = {fd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);
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

  // A datagram too big for any reader, behind a good record: the good one is
  // handed out, and the library asks to be read again at once (27, reset),
  // so that a record arriving later is not what the reset throws away.
  std::vector<uint8_t> huge = KelRecord_Build("kel.huge", "m", {KelArg::Str(std::string(140000, 'h'))}, 1);
  ASSERT_TRUE(KelSend_ToKernel(5, Big(5).data(), Big(5).size(), &error)) << error;
  ASSERT_TRUE(KelSend_ToKernel(5, huge.data(), huge.size(), &error)) << error;
  EXPECT_EQ(ReadIds(fd, 8192, &status), std::vector<std::string>{"kel.big5"});
  EXPECT_TRUE(KelLib_HasPending(ctx));
  EXPECT_TRUE(ReadIds(fd, 131072, &status).empty());
  EXPECT_EQ(status, KELLIB_STATUS_TOO_BIG);
  EXPECT_EQ(KelLib_Reset(ctx), 0u);
  EXPECT_FALSE(KelLib_HasPending(ctx));
  ASSERT_TRUE(KelSend_ToKernel(5, Big(6).data(), Big(6).size(), &error)) << error;
  EXPECT_EQ(ReadIds(fd, 8192, &status), std::vector<std::string>{"kel.big6"});
  EXPECT_EQ(KelLib_Close(ctx), 0u);
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

  // What another thread holds goes out at SysLog_FlushAll (a panic), its
  // batch staying open.
  std::mutex lock;
  std::condition_variable cv;
  int step = 0;
  std::thread holder([&] {
    SysLog_BeginBatch();
    SysLog_Log(6, "held by another thread");
    std::unique_lock<std::mutex> g(lock);
    step = 1;
    cv.notify_all();
    cv.wait(g, [&] { return step == 2; });
    SysLog_Log(6, "still batched");
  });
  {
    std::unique_lock<std::mutex> g(lock);
    cv.wait(g, [&] { return step == 1; });
  }
  EXPECT_EQ(root.ReadFile("/var/log/syslog").find("held by another thread"), std::string::npos);
  SysLog_FlushAll();
  EXPECT_NE(root.ReadFile("/var/log/syslog").find("held by another thread\n"), std::string::npos);
  {
    std::lock_guard<std::mutex> g(lock);
    step = 2;
  }
  cv.notify_all();
  holder.join();
  EXPECT_NE(root.ReadFile("/var/log/syslog").find("still batched\n"), std::string::npos);
}

TEST(KelLibBatch, LogPrefixFollowsTheSecondAndTheMilliseconds) {
  FakeClock clock(1700000000);
  auto prefixAt = [&](uint64_t micros) {
    clock.SetMicros(micros);
    char buf[32];
    Log_FormatPrefix(buf, sizeof buf);
    return std::string(buf);
  };
  std::string a = prefixAt(1700000000999000), b = prefixAt(1700000001005000), c = prefixAt(1700000000123000);
  ASSERT_EQ(a.size(), 26u);
  EXPECT_EQ(a.substr(19) + b.substr(19) + c.substr(19), ".999Z: .005Z: .123Z: ");
  EXPECT_EQ(a.substr(0, 19), c.substr(0, 19));  // back to the earlier second
  EXPECT_NE(a.substr(0, 19), b.substr(0, 19));
}
