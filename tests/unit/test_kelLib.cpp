// Observation library: contexts, reading whole records, validation, the
// accessors; and the small platform helpers (root paths, system log, thread
// names, string helpers).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "kelRecord.h"
#include "kelSend.h"
#include "platform/kelLib.h"
#include "platform/clock.h"
#include "platform/msgFmt.h"
#include "platform/simRoot.h"
#include "platform/str.h"
#include "platform/sysLog.h"
#include "platform/vthreadBase.h"
#include "testRoot.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Record(const std::string &id, const std::vector<KelArg> &args = {}, const std::string &fmt = "m") {
  return KelRecord_Build(id, fmt, args, 42);
}

// One open kernel or user context in a temporary root.
struct Context {
  TestRoot root;
  KelLib_Handle handle = nullptr;
  int fd = -1;
  explicit Context(uint32_t id = 3) {
    uint32_t status = id == KEL_USER_CONTEXT_ID ? KelLib_UserContextOpen(id, &handle)
                                                : KelLib_AsyncContextOpen(id, &handle);
    EXPECT_EQ(status, 0u);
    KelLib_HandleToFd(handle, &fd);
  }
  ~Context() { KelLib_Close(handle); }
};

void Send(uint32_t ctx, const Bytes &rec) {
  std::string error;
  ASSERT_TRUE(KelSend_ToKernel(ctx, rec.data(), rec.size(), &error)) << error;
}

// One read of `fd`, split into records by their total length.
std::vector<Bytes> ReadOnce(int fd, uint32_t size = 8192, uint32_t *statusOut = nullptr) {
  Bytes buf(size);
  uint32_t count = 0, len;
  uint32_t status = KelLib_ReadFromFd(fd, buf.data(), size, &count);
  if (statusOut) *statusOut = status;
  else EXPECT_EQ(status, 0u);
  std::vector<Bytes> records;
  for (uint32_t pos = 0; pos + KEL_RECORD_HEADER_SIZE <= count; pos += len) {
    memcpy(&len, &buf[pos + KEL_RECORD_OFF_TOTAL_LENGTH], 4);
    records.emplace_back(&buf[pos], &buf[pos] + len);
  }
  return records;
}

// An Observation that owns a malloc'd copy of `rec`; null when refused.
struct Obs {
  Observation obs = nullptr;
  explicit Obs(const Bytes &rec) {
    void *copy = malloc(rec.size() ? rec.size() : 1);
    memcpy(copy, rec.data(), rec.size());
    Kel_MakeKel(copy, static_cast<uint32_t>(rec.size()), &obs);
    if (!obs) free(copy);
  }
  ~Obs() { Kel_Free(obs); }
};

template <typename T>
void Poke(Bytes &rec, size_t offset, T value) {
  memcpy(rec.data() + offset, &value, sizeof value);
}

}  // namespace

TEST(KelLibRead, ARecordBiggerThanTheBufferWaitsForABiggerOne) {
  Context ctx;
  const Bytes big = Record("kel.big", {KelArg::Str(std::string(8919, 'x'))});
  ASSERT_EQ(big.size(), 9000u);
  Send(3, big);
  uint32_t status;
  EXPECT_TRUE(ReadOnce(ctx.fd, 8192, &status).empty());
  EXPECT_EQ(status, KELLIB_STATUS_TOO_BIG);
  EXPECT_EQ(ReadOnce(ctx.fd, 12288), std::vector<Bytes>{big});
}

TEST(KelLibRead, DropsMalformedRecordsAndReadsTheNextOne) {
  const Bytes good = Record("kel.ok", {KelArg::Str("abc"), KelArg::I32(1)});
  const size_t block = 32 + 8 + 8;  // "kel.ok" and "m" areas, padded
  struct Case {
    const char *name;
    std::function<void(Bytes &)> spoil;
  } cases[] = {
      {"empty datagram", [](Bytes &r) { r.clear(); }},
      {"shorter than the header", [](Bytes &r) { r.resize(20); }},
      {"total length above the size", [](Bytes &r) { Poke<uint32_t>(r, 16, r.size() + 1); }},
      {"total length below the size", [](Bytes &r) { r.push_back(0); }},
      {"identifier without NUL", [](Bytes &r) { memset(r.data() + 32, 'k', 8); }},
      {"format without NUL", [](Bytes &r) { memset(r.data() + 40, 'm', 8); }},
      {"identifier area past the end", [](Bytes &r) { Poke<uint32_t>(r, 24, 0xfffffff0u); }},
      {"too many argument records", [](Bytes &r) { Poke<uint32_t>(r, 20, 4); }},
      {"string offset past the end", [&](Bytes &r) { Poke<uint64_t>(r, block + 8, r.size()); }},
      {"string offset into the records", [&](Bytes &r) { Poke<uint64_t>(r, block + 8, 40); }},
      {"string without NUL", [](Bytes &r) { r.back() = 'z'; }},
      {"unknown type code", [&](Bytes &r) { Poke<int32_t>(r, block + 32, 99); }},
  };
  Context ctx;
  for (const Case &c : cases) {
    Bytes bad = good;
    c.spoil(bad);
    EXPECT_EQ(Obs(bad).obs, nullptr) << c.name;
    Send(3, bad);
    Send(3, good);
    std::vector<Bytes> got = ReadOnce(ctx.fd);
    ASSERT_EQ(got.size(), 1u) << c.name;
    EXPECT_EQ(got[0], good) << c.name;
  }
  // Logged once, not once per record.
  std::string log = ctx.root.ReadFile("/var/log/syslog");
  EXPECT_NE(log.find("dropped a malformed observation record"), std::string::npos);
  EXPECT_EQ(log.find('\n'), log.size() - 1);
}

TEST(KelLibUser, ConnectionCarriesRecordsUntilThePeerCloses) {
  Context ctx(KEL_USER_CONTEXT_ID);
  KelSender sender;
  std::string error;
  ASSERT_TRUE(sender.OpenUser(&error)) << error;
  int cnx = -1;
  ASSERT_EQ(KelLib_UserContextNewCnx(ctx.handle, &cnx), 0u);
  const Bytes rec = Record("kel.user.x", {KelArg::Str("svc")});
  // A message no reader's buffer could take is dropped, not answered with 27.
  const Bytes huge = Record("kel.user.huge", {KelArg::Str(std::string(KELLIB_MAX_USER_RECORD, 'h'))});
  for (const Bytes *b : {&rec, &huge, &rec}) ASSERT_TRUE(sender.Send(b->data(), b->size(), &error)) << error;
  for (int i = 0; i < 2; ++i) EXPECT_EQ(ReadOnce(cnx), std::vector<Bytes>{rec}) << i;
  sender.Close();
  uint32_t status;
  EXPECT_TRUE(ReadOnce(cnx, 8192, &status).empty());
  EXPECT_NE(status, 0u);
  EXPECT_EQ(KelLib_UserContextCloseCnx(cnx), 0);
  EXPECT_LT(KelLib_UserContextCloseCnx(cnx), 0);
}

TEST(KelLibContexts, OpenNamesAndRefusesBadIds) {
  Context ctx(7);
  const char *name;
  ASSERT_EQ(KelLib_HandleToName(ctx.handle, &name), 0u);
  EXPECT_STREQ(name, "ctx7");
  KelLib_Handle h = nullptr, again = nullptr;
  EXPECT_NE(KelLib_AsyncContextOpen(24, &h), 0u);
  EXPECT_NE(KelLib_UserContextOpen(3, &h), 0u);
  // Reopening over a stale socket file works (the daemon restarted).
  ASSERT_EQ(KelLib_AsyncContextOpen(8, &h), 0u);
  EXPECT_EQ(KelLib_AsyncContextOpen(8, &again), 0u);
  KelLib_Close(again);
  KelLib_Close(h);
}

TEST(KelAccessors, GiveBackEveryArgumentKind) {
  const Bytes rec = KelRecord_Build(
      "kel.acc", "s=%s n=%s i=%d u=%u l=%ld L=%lu f=%.1f",
      {KelArg::Str("text"), KelArg::NullStr(), KelArg::I32(-5), KelArg::U32(0xdeadbeef),
       KelArg::I64(-2401053088876216593LL), KelArg::U64(16045690984833335023ULL), KelArg::F64(2.5)},
      123456789);
  Obs obs(rec);
  ASSERT_NE(obs.obs, nullptr);
  const char *s = "x";
  EXPECT_TRUE(Kel_GetStringArg(obs.obs, 1, &s) == 0 && s == nullptr);
  EXPECT_NE(Kel_GetStringArg(obs.obs, 2, &s), 0u);
  EXPECT_NE(Kel_GetStringArg(obs.obs, 7, &s), 0u);
  int64_t v;
  // 32-bit values are sign-extended whether they were sent signed or not.
  const int64_t wide[] = {-5, int32_t(0xdeadbeef), -2401053088876216593LL, -2401053088876216593LL};
  for (uint32_t i = 0; i < 4; ++i) {
    ASSERT_EQ(Kel_GetIntArg(obs.obs, 2 + i, &v), 0u);
    EXPECT_EQ(v, wide[i]) << i;
  }
  EXPECT_NE(Kel_GetIntArg(obs.obs, 0, &v), 0u);
  EXPECT_NE(Kel_GetIntArg(obs.obs, 6, &v), 0u);

  const char *p0 = nullptr, *p1 = "x";
  int32_t i32 = 0;
  uint32_t u32 = 0;
  int64_t i64 = 0;
  uint64_t u64 = 0;
  double f = 0;
  ASSERT_EQ(Kel_GetArgs(obs.obs, 0, "%p %p %d %u %ld %lu %f", &p0, &p1, &i32, &u32, &i64, &u64, &f), 0u);
  EXPECT_EQ(std::make_tuple(std::string(p0), p1, i32, u32, i64, u64, f),
            std::make_tuple(std::string("text"), nullptr, -5, 0xdeadbeefu, -2401053088876216593LL,
                            16045690984833335023ULL, 2.5));
  // Every mismatch or missing argument is refused.
  for (const char *format : {"%d", "%p %p %p", "%p %p %d %u %ld %lu %f %d", "%*d", "%n"}) {
    EXPECT_NE(Kel_GetArgs(obs.obs, 0, format, &p0, &p1, &i32, &u32, &i64, &u64, &f, &i32), 0u) << format;
  }

  char *msg = nullptr;
  size_t len = 0;
  ASSERT_EQ(Kel_GetMsg(obs.obs, &msg, &len), 0u);
  EXPECT_STREQ(msg, "s=text n=(null) i=-5 u=3735928559 l=-2401053088876216593 L=16045690984833335023 f=2.5");
  EXPECT_EQ(len, strlen(msg));
  free(msg);
  EXPECT_TRUE(Kel_IsID("kel.acc", "kel.acc"));
  EXPECT_FALSE(Kel_IsID(nullptr, "kel.acc"));
}

TEST(KelAccessors, ReadUuidFormatsAndUnalignedBlocks) {
  Bytes rec = Record("kel.glfs.x",
                     {KelArg::Str("vol"), KelArg::U32(0x564d0c1e), KelArg::U32(0x4a6b7e2f),
                      KelArg::U32(0x9a3c), KelArg::U32(0x01), KelArg::U32(0x2345)},
                     "%s %08x-%08x-%04hx-%02hhx%02hhx");
  // Shift the argument block by one byte: readers must not assume alignment.
  uint32_t idArea;
  memcpy(&idArea, rec.data() + 24, 4);
  rec.insert(rec.begin() + 32 + idArea, 0);
  Poke<uint32_t>(rec, 24, idArea + 1);
  Poke<uint32_t>(rec, 16, rec.size());
  Obs obs(rec);
  ASSERT_NE(obs.obs, nullptr);
  const char *vol = nullptr;
  uint32_t a = 0, b = 0;
  uint16_t c = 0;
  uint8_t d = 0, e = 0;
  ASSERT_EQ(Kel_GetArgs(obs.obs, 0, "%p%08x-%08x-%04hx-%02hhx%02hhx", &vol, &a, &b, &c, &d, &e), 0u);
  EXPECT_EQ(std::make_tuple(std::string(vol), a, b, c, d, e),
            std::make_tuple(std::string("vol"), 0x564d0c1eu, 0x4a6b7e2fu, uint16_t{0x9a3c}, uint8_t{1}, uint8_t{0x45}));
  char *msg = nullptr;
  ASSERT_EQ(Kel_GetMsg(obs.obs, &msg, nullptr), 0u);
  EXPECT_STREQ(msg, "vol 564d0c1e-4a6b7e2f-9a3c-0145");
  free(msg);
  Obs mismatch(Record("kel.x", {KelArg::I32(1)}, "%s"));
  EXPECT_NE(Kel_GetMsg(mismatch.obs, &msg, nullptr), 0u);
  EXPECT_EQ(msg, nullptr);
}

TEST(PlatformHelpers, RootPathsAndSystemLogFollowTheRoot) {
  {
    TestRoot root;
    EXPECT_EQ(SimRoot_Path("/var/log/syslog"), root.Dir() + "/var/log/syslog");
    SysLog_Log(6, "first %d", 1);
    {
      TestRoot other;  // a root change reaches the new file, and the way back the old one
      SysLog_Log(6, "%s", std::string(3000, 'z').c_str());
      EXPECT_EQ(other.ReadFile("/var/log/syslog"), std::string(3000, 'z') + "\n");
    }
    SysLog_Log(6, "second\n");
    // One message is one line, its control characters in octal.
    const char raw[] = "a\nb\t\x7f\n";
    SysLog_Write(6, raw, sizeof raw - 1);
    SysLog_Log(6, "long plain text, then a DEL\x7f and a tab\t");  // past the first words
    EXPECT_EQ(root.ReadFile("/var/log/syslog"),
              "first 1\nsecond\na#012b#011#177\nlong plain text, then a DEL#177 and a tab#011\n");
  }
  unsetenv("KELD_ROOT");
  EXPECT_EQ(SimRoot_Path("/dev/kel/ctx0"), "/dev/kel/ctx0");
}

// A log renamed (rotated) or removed is followed by a new file at the path
// once the next check is due; a file merely touched is kept.
TEST(PlatformHelpers, SystemLogFollowsRotationAndRemoval) {
  TestRoot root;
  FakeClock clock;
  const std::string path = root.Path("/var/log/syslog");
  SysLog_Log(6, "before");
  clock.AdvanceSeconds(1);
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  clock.AdvanceSeconds(1);
  SysLog_Log(6, "after rename");
  ASSERT_EQ(chmod((path).c_str(), 0600), 0);
  clock.AdvanceSeconds(1);
  SysLog_Log(6, "after chmod");
  EXPECT_EQ(root.ReadFile("/var/log/syslog"), "after rename\nafter chmod\n");
  ASSERT_EQ(unlink(path.c_str()), 0);
  clock.AdvanceSeconds(1);
  SysLog_Log(6, "after unlink");
  EXPECT_EQ(root.ReadFile("/var/log/syslog.1"), "before\n");
  EXPECT_EQ(root.ReadFile("/var/log/syslog"), "after unlink\n");
}

TEST(PlatformHelpers, ThreadNamesAndStrings) {
  std::thread([] {
    EXPECT_EQ(std::string(VThreadBase_CurName()).rfind("thread-", 0), 0u);
    VThreadBase_SetName("netCorrelatorWithALongName");
    EXPECT_STREQ(VThreadBase_CurName(), "netCorrelatorWithALongName");
    char kernelName[32];
    pthread_getname_np(pthread_self(), kernelName, sizeof kernelName);
    EXPECT_STREQ(kernelName, "netCorrelatorWi");
  }).join();
  char buf[6];
  EXPECT_EQ(Str_Sprintf(buf, sizeof buf, "%d", 12345), 5);
  EXPECT_EQ(Str_Sprintf(buf, sizeof buf, "%d", 123456), -1);
  EXPECT_STREQ(buf, "12345");
  EXPECT_STREQ(Str_Strcpy(buf, "abcdefgh", sizeof buf), "abcde");
  size_t len;
  char *s = Str_Asprintf(&len, "%sCorrelator", "net");
  EXPECT_STREQ(s, "netCorrelator");
  EXPECT_EQ(len, 13u);
  free(s);
}
