// The fan-out stream: subscription matching, fan-out order, batches, and
// the agent side's read-ahead (many records per read, records in pieces,
// records larger than the read-ahead buffer).
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "intake/keldStream.h"
#include "kelRecord.h"

namespace {

struct ListDeleter {
  void operator()(SubscriptionList *l) const { SubscriptionList_Free(l); }
};
using ListPtr = std::unique_ptr<SubscriptionList, ListDeleter>;

ListPtr MakeList(std::initializer_list<const char *> domains, std::initializer_list<const char *> ids = {}) {
  ListPtr list(SubscriptionList_Create());
  for (const char *d : domains) EXPECT_EQ(SubscriptionList_AddDomain(list.get(), d), 0u);
  for (const char *i : ids) EXPECT_EQ(SubscriptionList_AddID(list.get(), i), 0u);
  return list;
}

std::vector<uint8_t> Record(const std::string &id, size_t padTo = 0) {
  std::string text(padTo, 'x');
  return KelRecord_Build(id, "%s", {KelArg::Str(text)}, 42);
}

// Reads one whole observation from `s`, which must already be in its pipe.
std::string ReadId(Stream *s) {
  Observation obs = nullptr;
  bool complete = false;
  EXPECT_EQ(Stream_ReadObservation(s, &obs, &complete), 0u);
  if (!complete) return "(incomplete)";
  const char *id = nullptr;
  Kel_GetID(obs, &id);
  std::string out = id ? id : "";
  Kel_Free(obs);
  return out;
}

bool PipeEmpty(Stream *s) {
  char c;
  return read(s->readFd, &c, 1) < 0;
}

TEST(Subscription, PrefixMatchesWholeDomainOnly) {
  ListPtr list = MakeList({"net", "storage.apd"}, {"kel.exact.one"});
  struct {
    const char *id;
    bool match;
  } cases[] = {
      {"kel.net.hynic.linkstate.down", true}, {"kel.network.x", false},      {"kel.net", false},
      {"kel.storage.apd.start", true},        {"kel.storage.x", false},      {"kel.exact.one", true},
      {"kel.exact.one.more", false},          {"kel.exact", false},
  };
  for (const auto &c : cases) EXPECT_EQ(SubscriptionList_Matches(c.id, list.get()), c.match) << c.id;
}

TEST(Subscription, EleventhDomainOrIdIsRefused) {
  ListPtr list(SubscriptionList_Create());
  for (int i = 0; i < 10; i++) {
    std::string s = "d" + std::to_string(i);
    ASSERT_EQ(SubscriptionList_AddDomain(list.get(), s.c_str()), 0u);
    ASSERT_EQ(SubscriptionList_AddID(list.get(), s.c_str()), 0u);
  }
  EXPECT_EQ(SubscriptionList_AddDomain(list.get(), "d10"), 1u);
  EXPECT_EQ(SubscriptionList_AddID(list.get(), "d10"), 1u);
  SubscriptionList *copy = nullptr;
  ASSERT_EQ(SubscriptionList_Copy(list.get(), &copy), 0u);
  EXPECT_TRUE(SubscriptionList_Matches("kel.d9.x", copy));
  EXPECT_TRUE(SubscriptionList_Matches("d9", copy));
  SubscriptionList_Free(copy);
}

// A fresh registry with one stream subscribed to "net".
class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(StreamRegistry_Init(), 0);
    ASSERT_EQ(Stream_Create(&name, net.get(), &s), 0u);
  }
  AgentName name{const_cast<char *>("test")};
  ListPtr net = MakeList({"net"});
  Stream *s = nullptr;
};

TEST_F(StreamTest, FanOutReachesEveryMatchingStreamInOrder) {
  ListPtr scsi = MakeList({"scsi"});
  Stream *a = s, *b = nullptr, *c = nullptr;
  ASSERT_EQ(Stream_Create(&name, net.get(), &b), 0u);
  ASSERT_EQ(Stream_Create(&name, scsi.get(), &c), 0u);

  // Three records; the middle one matches no stream.
  std::vector<uint8_t> buf;
  for (const char *id : {"kel.net.one", "kel.other.x", "kel.net.two"}) {
    std::vector<uint8_t> r = Record(id);
    buf.insert(buf.end(), r.begin(), r.end());
  }
  ASSERT_EQ(Stream_Publish(buf.data(), static_cast<int32_t>(buf.size())), 0);
  for (Stream *each : {a, b}) {
    EXPECT_EQ(ReadId(each), "kel.net.one");
    EXPECT_EQ(ReadId(each), "kel.net.two");
    EXPECT_TRUE(PipeEmpty(each));
  }
  EXPECT_TRUE(PipeEmpty(c));

  // Routes learnt for an ID follow the registry: a stream created later gets
  // the ID's next records, a destroyed one is never written again.
  ASSERT_EQ(Stream_Destroy(a), 0u);
  Stream *d = nullptr;
  ASSERT_EQ(Stream_Create(&name, net.get(), &d), 0u);
  std::vector<uint8_t> again = Record("kel.net.one");
  ASSERT_EQ(Stream_Publish(again.data(), static_cast<int32_t>(again.size())), 0);
  EXPECT_EQ(ReadId(b), "kel.net.one");
  EXPECT_EQ(ReadId(d), "kel.net.one");
  for (Stream *each : {b, c, d}) EXPECT_EQ(Stream_Destroy(each), 0u);
}

// Header, then the rest in two pieces: incomplete until the last one.
TEST_F(StreamTest, RecordArrivingInPiecesIsReassembled) {
  std::vector<uint8_t> r = Record("kel.net.piece", 20);
  for (size_t from : {size_t{0}, size_t{32}}) {
    ASSERT_EQ(write(s->writeFd, r.data() + from, 32), 32);
    EXPECT_EQ(ReadId(s), "(incomplete)");
  }
  ASSERT_EQ(write(s->writeFd, r.data() + 64, r.size() - 64), static_cast<ssize_t>(r.size() - 64));
  EXPECT_EQ(ReadId(s), "kel.net.piece");
  EXPECT_EQ(Stream_Destroy(s), 0u);
}

TEST_F(StreamTest, LeavingAgentReleasesAnIntakeBlockedOnItsFullPipe) {
  // Four times what the pipe holds: the publisher blocks, holding the lock.
  std::vector<uint8_t> buf;
  for (int i = 0; i < 80; i++) {
    std::vector<uint8_t> r = Record("kel.net.flood", 3000);
    buf.insert(buf.end(), r.begin(), r.end());
  }
  std::atomic<int> published{-1};
  std::thread intake([&] { published = Stream_Publish(buf.data(), static_cast<int32_t>(buf.size())); });
  int readable = 0;
  while (readable < 4096) ASSERT_EQ(ioctl(s->readFd, FIONREAD, &readable), 0);
  EXPECT_EQ(Stream_Destroy(s), 0u);
  intake.join();
  EXPECT_EQ(published, 0);
}

size_t PipeBytes(Stream *s) {
  int n = 0;
  return ioctl(s->readFd, FIONREAD, &n) == 0 ? static_cast<size_t>(n) : 0;
}

TEST_F(StreamTest, BatchWritesAtItsEndOrPastTheLimitAndReadAheadHandsOutEveryRecord) {
  Stream_BeginBatch();
  std::vector<uint8_t> one = Record("kel.net.one");
  ASSERT_EQ(Stream_Publish(one.data(), static_cast<int32_t>(one.size())), 0);
  EXPECT_EQ(PipeBytes(s), 0u);
  ASSERT_EQ(Stream_EndBatch(), 0);
  EXPECT_EQ(ReadId(s), "kel.net.one");

  // Inside a batch a stream's share goes out once it passes 64 KiB: the
  // reader gets all 23 records while the batch is still open. It takes
  // several records per read, and one of 70000 bytes, larger than its
  // read-ahead buffer.
  std::atomic<bool> readerDone{false};
  std::thread writer([&] {
    Stream_BeginBatch();
    std::vector<uint8_t> mid = Record("kel.net.mid", 3000);
    for (int i = 0; i < 22; i++) EXPECT_EQ(Stream_Publish(mid.data(), static_cast<int32_t>(mid.size())), 0);
    std::vector<uint8_t> big = Record("kel.net.big", 70000);
    EXPECT_EQ(Stream_Publish(big.data(), static_cast<int32_t>(big.size())), 0);
    while (!readerDone) std::this_thread::yield();
    EXPECT_EQ(Stream_EndBatch(), 0);
  });
  int mids = 0, bigs = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (mids + bigs < 23 && std::chrono::steady_clock::now() < deadline) {
    std::string id = ReadId(s);
    if (id == "kel.net.mid") mids++;
    if (id == "kel.net.big") bigs++;
  }
  readerDone = true;
  writer.join();
  EXPECT_EQ(mids, 22);
  EXPECT_EQ(bigs, 1);
  EXPECT_FALSE(Stream_HasRecord(s));
  EXPECT_EQ(PipeBytes(s), 0u);
  EXPECT_EQ(Stream_Destroy(s), 0u);
}

}  // namespace
