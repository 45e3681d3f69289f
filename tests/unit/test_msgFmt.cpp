// Message-format library: capture, rendering and the swizzled form.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/msgFmt.h"

namespace {

struct Captured {
  std::vector<unsigned char> buf;
  MsgFmt_Arg *args;
  size_t used;  // bytes used
  int n;        // record count, -1 on failure
};

// Captures the arguments of `format` into the first `room` bytes of a buffer
// followed by 16 guard bytes (0xA5).
Captured Capture(size_t room, const char *format, ...) {
  Captured c{std::vector<unsigned char>(room + 16, 0xA5), nullptr, room, -1};
  va_list va;
  va_start(va, format);
  if (!MsgFmt_GetArgsWithBuf(format, va, &c.args, &c.n, nullptr, c.buf.data(), &c.used)) c.n = -1;
  va_end(va);
  return c;
}

MsgFmt_Arg ArgAt(const MsgFmt_Arg *args, int i) {
  MsgFmt_Arg a;
  memcpy(&a, reinterpret_cast<const char *>(args) + i * sizeof a, sizeof a);
  return a;
}

std::string Render(const char *format, const MsgFmt_Arg *args, int numArgs) {
  size_t length = 0;
  char *text = MsgFmt_Asprintf(&length, format, args, numArgs);
  if (!text) return "<null>";
  std::string s(text, length);
  free(text);
  return s;
}

}  // namespace

TEST(MsgFmtCapture, TypeCodesFollowTheConversionsAndNoFailureWritesPastTheBuffer) {
  std::vector<unsigned char> other(8);
  auto capture = [&](size_t room) {
    return Capture(room, "%d %u %x %ld %lu %zu %p %f %s %ls %hhx %c %*d %.*s %%", -1, 2u, 3u, -4L, 5UL, size_t{6},
                   other.data(), 7.5, "txt", L"wide", 0x1ff, 'c', 5, 8, 3, "abcdef");
  };
  Captured c = capture(2048);
  const int32_t expected[] = {1, 1, 1, 2, 2, 2, 4, 5, 6, 8, 1, 1, 1, 1, 1, 6};
  ASSERT_EQ(c.n, 16);
  for (int i = 0; i < c.n; ++i) EXPECT_EQ(ArgAt(c.args, i).type, expected[i]) << "argument " << i;
  // Strings are copied after the records, terminators included.
  EXPECT_EQ(c.used, 16 * sizeof(MsgFmt_Arg) + 4 + 5 * sizeof(wchar_t) + 7);
  for (size_t room = 0; room < c.used; ++room) {
    Captured small = capture(room);
    EXPECT_EQ(small.n, -1) << room;
    for (size_t i = room; i < small.buf.size(); ++i) ASSERT_EQ(small.buf[i], 0xA5) << "wrote past " << room;
  }
  for (const char *format : {"%n", "tail %", "%1$d", "%hs", "%q", "%99999d", "%.99999f", "%Lp"}) {
    EXPECT_EQ(Capture(256, format, 1, 2).n, -1) << format;
  }
}

TEST(MsgFmtSwizzle, RefusesStringsOutsideTheBoundAndSurvivesACopyToAnotherAddress) {
  const char *fmt = "%s|%d|%s|%lu|%ls";
  Captured c = Capture(512, fmt, "alpha", -7, static_cast<const char *>(nullptr), 1UL << 40, L"wx");
  ASSERT_EQ(c.n, 5);
  MsgFmt_SwizzleArgs(c.args, c.n);
  EXPECT_EQ(ArgAt(c.args, 2).v.offset, 0u);
  const MsgFmt_Arg good = ArgAt(c.args, 0);
  const uint64_t at = good.v.offset;
  struct Case {
    const char *name;
    uint64_t offset;
    size_t bound;
    int index;
  } cases[] = {
      {"offset past the end", c.used + 4, c.used, 0}, {"offset inside the records", 8, c.used, 0},
      {"terminator beyond the bound", at, at + 5, 0}, {"records beyond the bound", at, 40, 0},
      {"index out of range", at, c.used, 5},          {"negative index", at, c.used, -1},
      {"not a string", at, c.used, 1},
  };
  for (const Case &k : cases) {
    MsgFmt_Arg a = good;
    a.v.offset = k.offset;
    memcpy(c.args, &a, sizeof a);
    const char *s = "untouched";
    EXPECT_NE(MsgFmt_GetSwizzledString(c.args, c.n, k.index, c.buf.data() + k.bound, &s), 0) << k.name;
    EXPECT_STREQ(s, "untouched") << k.name;
    if (k.index == 0) {
      EXPECT_FALSE(MsgFmt_UnswizzleArgs(c.args, c.n, c.buf.data() + k.bound)) << k.name;
      EXPECT_EQ(ArgAt(c.args, 0).v.offset, k.offset) << "changed by a refused unswizzle: " << k.name;
    }
  }
  memcpy(c.args, &good, sizeof good);
  // Copy to an odd address of another buffer: offsets, not pointers, travel.
  std::vector<unsigned char> other(c.used + 1);
  memcpy(other.data() + 1, c.buf.data(), c.used);
  memset(c.buf.data(), 0, c.buf.size());
  const char *s = "x";
  MsgFmt_GetSwizzledString(reinterpret_cast<MsgFmt_Arg *>(other.data() + 1), c.n, 0, other.data() + 1 + c.used, &s);
  EXPECT_STREQ(s, "alpha");
  // Unswizzle an aligned copy and render it.
  std::vector<uint64_t> aligned((c.used + 7) / 8);
  memcpy(aligned.data(), other.data() + 1, c.used);
  MsgFmt_Arg *back = reinterpret_cast<MsgFmt_Arg *>(aligned.data());
  ASSERT_TRUE(MsgFmt_UnswizzleArgs(back, c.n, reinterpret_cast<char *>(aligned.data()) + c.used));
  EXPECT_EQ(Render(fmt, back, c.n), "alpha|-7|(null)|1099511627776|wx");
}

// Renders through capture and Asprintf and compares with the C library.
#define EXPECT_RENDERS_LIKE_PRINTF(format, ...)                    \
  do {                                                             \
    char expected[512];                                            \
    snprintf(expected, sizeof expected, format, __VA_ARGS__);      \
    Captured c = Capture(1024, format, __VA_ARGS__);               \
    EXPECT_EQ(Render(format, c.args, c.n), expected) << format;    \
  } while (0)

// The h and hh conversions are given ints on purpose (the narrowing is what
// is compared); clang's format check would refuse them.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat"
#endif
TEST(MsgFmtAsprintf, RendersLikePrintf) {
  EXPECT_RENDERS_LIKE_PRINTF("%#x %09d %#lx %-8lu|", 0xbeefu, -42, 0xdeadbeefUL, 7UL);
  EXPECT_RENDERS_LIKE_PRINTF("%5.2f %e %g %.*f", 3.14159, 12345.678, 0.0001, 3, 2.5);
  EXPECT_RENDERS_LIKE_PRINTF("%% %hhx %hd %04hx %02hhx", 0x1ff, 70000, 0xabcdef, 0xa);
  EXPECT_RENDERS_LIKE_PRINTF("%10d %10x %10ld|%-6s|%.3s", -5, 255u, -6L, "ab", "abcdef");
  EXPECT_RENDERS_LIKE_PRINTF("%+d % d %o %#o %X %c %zu %lld", 5, 6, 8u, 8u, 0xabu, 'q', size_t{9}, -1LL);
  EXPECT_RENDERS_LIKE_PRINTF("%*d|%-*d|%p|%ums", 6, 42, 6, 42, reinterpret_cast<void *>(0x1234), 12u);
  EXPECT_RENDERS_LIKE_PRINTF("%08x-%08x-%04hx-%02hhx%02hhx", 0x564d0c1eu, 0x4a6bu, 0x7e2f, 0x9a, 0x3c);
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

TEST(MsgFmtAsprintf, NullStringsAndMismatchedOrMissingArguments) {
  const char *null = nullptr, *flags = "[%s] [%8s] [%-08lu]";  // '-' wins over '0'
  Captured c = Capture(256, flags, null, null, 7UL);
  EXPECT_EQ(Render(flags, c.args, c.n), "[(null)] [  (null)] [7       ]");

  auto arg = [](MsgFmt_ArgType type, auto value) {
    MsgFmt_Arg a{};
    a.type = type;
    memcpy(&a.v, &value, sizeof value);
    return a;
  };
  const MsgFmt_Arg str = arg(MSGFMT_ARG_STRING8, "text"), num = arg(MSGFMT_ARG_INT32, 3),
                   dbl = arg(MSGFMT_ARG_FLOAT64, 1.0), wide = arg(MSGFMT_ARG_INT64, int64_t{-1});
  struct Case {
    const char *format;
    std::vector<MsgFmt_Arg> args;
  } cases[] = {
      {"%d", {str}}, {"%s", {num}},        {"%d %d", {num}}, {"%f", {num}}, {"%d", {dbl}},
      {"%*d", {str, num}}, {"%ls", {str}}, {"%s", {}},       {"%n", {num}}, {"%", {}},
  };
  for (const Case &k : cases) {
    EXPECT_EQ(MsgFmt_Asprintf(nullptr, k.format, k.args.data(), static_cast<int>(k.args.size())), nullptr)
        << k.format;
  }
  // Extra arguments are not an error; integer kinds convert among themselves.
  std::vector<MsgFmt_Arg> two = {wide, str};
  EXPECT_EQ(Render("%u", two.data(), 2), "4294967295");
}

// A bounded rendering is the full rendering cut at the limit, at every limit,
// with the cut reported; a mismatch after the limit still refuses the format.
TEST(MsgFmtAsprintf, BoundedRenderingIsThePrefixOfTheFullOne) {
  const char *format = "%s|%8s|%-6s|%.3s|%5.2s|%ls|%d %08x|%s";
  Captured c = Capture(1024, format, "alpha", "ab", "cd", "abcdef", "xyz", L"wide", -42, 0xbeefu, "tail");
  const std::string full = Render(format, c.args, c.n);
  ASSERT_EQ(full, "alpha|      ab|cd    |abc|   xy|wide|-42 0000beef|tail");
  for (size_t limit = 0; limit <= full.size() + 1; limit++) {
    size_t length = 99;
    bool cut = false;
    char *text = MsgFmt_Asnprintf(&length, limit, &cut, format, c.args, c.n);
    ASSERT_NE(text, nullptr) << limit;
    EXPECT_EQ(std::string(text, length), full.substr(0, limit)) << limit;
    EXPECT_EQ(cut, limit < full.size()) << limit;
    free(text);
  }
  EXPECT_EQ(MsgFmt_Asnprintf(nullptr, 2, nullptr, "%s %d", c.args, 1), nullptr);
}
