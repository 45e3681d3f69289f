// Message-format library: capture, rendering and the swizzled form.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "msgFmt.h"

namespace {

// Captures the arguments of `format` into `buf`; returns the record count
// (-1 on failure) and the bytes used in *used.
int Capture(std::vector<unsigned char> &buf, MsgFmt_Arg **args, size_t *used, const char *format, ...) {
  va_list va;
  va_start(va, format);
  int numArgs = -1;
  const char *error = nullptr;
  *used = buf.size();
  bool ok = MsgFmt_GetArgsWithBuf(format, va, args, &numArgs, &error, buf.data(), used);
  va_end(va);
  return ok ? numArgs : -1;
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

TEST(MsgFmtCapture, TypeCodesFollowTheConversions) {
  std::vector<unsigned char> buf(2048);
  MsgFmt_Arg *args;
  size_t used;
  int n = Capture(buf, &args, &used, "%d %u %x %ld %lu %zu %p %f %s %ls %hhx %c %*d %.*s %%",
                  -1, 2u, 3u, -4L, 5UL, size_t{6}, &buf, 7.5, "txt", L"wide", 0x1ff, 'c',
                  5, 8, 3, "abcdef");
  const int32_t expected[] = {1, 1, 1, 2, 2, 2, 4, 5, 6, 8, 1, 1, 1, 1, 1, 6};
  ASSERT_EQ(n, 16);
  for (int i = 0; i < n; ++i) EXPECT_EQ(ArgAt(args, i).type, expected[i]) << "argument " << i;
  EXPECT_EQ(ArgAt(args, 0).v.signed32, -1);
  EXPECT_EQ(ArgAt(args, 3).v.signed64, -4);
  EXPECT_STREQ(ArgAt(args, 8).v.string8, "txt");
  // Strings are copied after the records, terminators included.
  EXPECT_EQ(used, 16 * sizeof(MsgFmt_Arg) + 4 + 5 * sizeof(wchar_t) + 7);
}

TEST(MsgFmtCapture, TooSmallBufferFailsWithoutWritingPastIt) {
  std::vector<unsigned char> big(512);
  MsgFmt_Arg *args;
  size_t needed;
  ASSERT_EQ(Capture(big, &args, &needed, "%s %d %s", "hello", 1, "world"), 3);
  for (size_t room = 0; room < needed; ++room) {
    std::vector<unsigned char> buf(room + 16, 0xA5);
    size_t used = room;
    int numArgs;
    auto attempt = [&](const char *format, ...) {
      va_list va;
      va_start(va, format);
      bool ok = MsgFmt_GetArgsWithBuf(format, va, &args, &numArgs, nullptr, buf.data(), &used);
      va_end(va);
      return ok;
    };
    EXPECT_FALSE(attempt("%s %d %s", "hello", 1, "world")) << room;
    for (size_t i = room; i < buf.size(); ++i) ASSERT_EQ(buf[i], 0xA5) << "wrote past " << room;
  }
}

TEST(MsgFmtCapture, MalformedFormatsAreRefused) {
  std::vector<unsigned char> buf(256);
  MsgFmt_Arg *args;
  size_t used;
  for (const char *format : {"%n", "tail %", "%1$d", "%hs", "%q", "%99999d", "%.99999f", "%Lp"}) {
    EXPECT_EQ(Capture(buf, &args, &used, format, 1, 2), -1) << format;
  }
}

TEST(MsgFmtSwizzle, SurvivesACopyToAnotherAddress) {
  std::vector<unsigned char> buf(512);
  MsgFmt_Arg *args;
  size_t used;
  const char *fmt = "%s|%d|%s|%lu|%ls";
  int n = Capture(buf, &args, &used, fmt, "alpha", -7, static_cast<const char *>(nullptr),
                  1UL << 40, L"wx");
  ASSERT_EQ(n, 5);
  MsgFmt_SwizzleArgs(args, n);
  EXPECT_EQ(ArgAt(args, 2).v.offset, 0u);
  // Copy to an odd address of another buffer: offsets, not pointers, travel.
  std::vector<unsigned char> other(used + 1);
  memcpy(other.data() + 1, buf.data(), used);
  memset(buf.data(), 0, buf.size());
  MsgFmt_Arg *moved = reinterpret_cast<MsgFmt_Arg *>(other.data() + 1);
  const void *end = other.data() + 1 + used;
  const char *s = "x";
  EXPECT_EQ(MsgFmt_GetSwizzledString(moved, n, 0, end, &s), 0);
  EXPECT_STREQ(s, "alpha");
  EXPECT_EQ(MsgFmt_GetSwizzledString(moved, n, 2, end, &s), 0);
  EXPECT_EQ(s, nullptr);
  // Unswizzle an aligned copy and render it.
  std::vector<uint64_t> aligned((used + 7) / 8);
  memcpy(aligned.data(), other.data() + 1, used);
  MsgFmt_Arg *back = reinterpret_cast<MsgFmt_Arg *>(aligned.data());
  ASSERT_TRUE(MsgFmt_UnswizzleArgs(back, n, reinterpret_cast<char *>(aligned.data()) + used));
  EXPECT_EQ(Render(fmt, back, n), "alpha|-7|(null)|1099511627776|wx");
}

TEST(MsgFmtSwizzle, RefusesStringsOutsideTheBound) {
  std::vector<unsigned char> buf(256);
  MsgFmt_Arg *args;
  size_t used;
  ASSERT_EQ(Capture(buf, &args, &used, "%s %d", "abc", 5), 2);
  MsgFmt_SwizzleArgs(args, 2);
  const unsigned char *start = buf.data();
  const MsgFmt_Arg good = ArgAt(args, 0);
  struct Case {
    const char *name;
    uint64_t offset;
    size_t bound;
    int index;
  } cases[] = {
      {"offset past the end", used + 4, used, 0},
      {"offset inside the records", 8, used, 0},
      {"terminator beyond the bound", good.v.offset, used - 1, 0},
      {"records beyond the bound", good.v.offset, 40, 0},
      {"index out of range", good.v.offset, used, 2},
      {"negative index", good.v.offset, used, -1},
      {"not a string", good.v.offset, used, 1},
  };
  for (const Case &c : cases) {
    MsgFmt_Arg a = good;
    a.v.offset = c.offset;
    memcpy(args, &a, sizeof a);
    const char *s = "untouched";
    EXPECT_NE(MsgFmt_GetSwizzledString(args, 2, c.index, start + c.bound, &s), 0) << c.name;
    EXPECT_STREQ(s, "untouched") << c.name;
    if (c.index == 0) {
      EXPECT_FALSE(MsgFmt_UnswizzleArgs(args, 2, start + c.bound)) << c.name;
      EXPECT_EQ(ArgAt(args, 0).v.offset, c.offset) << "changed by a refused unswizzle: " << c.name;
    }
  }
}

// Renders through capture and Asprintf and compares with the C library.
#define EXPECT_RENDERS_LIKE_PRINTF(format, ...)                                    \
  do {                                                                             \
    std::vector<unsigned char> buf(1024);                                          \
    MsgFmt_Arg *args;                                                              \
    size_t used;                                                                   \
    int n = Capture(buf, &args, &used, format, __VA_ARGS__);                       \
    char expected[512];                                                            \
    snprintf(expected, sizeof expected, format, __VA_ARGS__);                      \
    EXPECT_EQ(Render(format, args, n), expected) << format;                        \
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
  EXPECT_RENDERS_LIKE_PRINTF("system clock stepped to %d.%09d, lost sync", 1700000000, 5);
  EXPECT_RENDERS_LIKE_PRINTF("%08x-%08x-%04hx-%02hhx%02hhx", 0x564d0c1eu, 0x4a6bu, 0x7e2f, 0x9a, 0x3c);
}
#if defined(__clang__)
#pragma clang diagnostic pop
#endif

TEST(MsgFmtAsprintf, NullStringsAndFlagsPrintfWarnsAbout) {
  std::vector<unsigned char> buf(256);
  MsgFmt_Arg *args;
  size_t used;
  const char *format = "[%s] [%8s] [%-08lu]";  // '-' wins over '0'
  int n = Capture(buf, &args, &used, format, static_cast<const char *>(nullptr),
                  static_cast<const char *>(nullptr), 7UL);
  EXPECT_EQ(Render(format, args, n), "[(null)] [  (null)] [7       ]");
}

TEST(MsgFmtAsprintf, MismatchedOrMissingArgumentsGiveNull) {
  MsgFmt_Arg str{}, num{}, dbl{};
  str.type = MSGFMT_ARG_STRING8;
  str.v.string8 = "text";
  num.type = MSGFMT_ARG_INT32;
  num.v.signed32 = 3;
  dbl.type = MSGFMT_ARG_FLOAT64;
  dbl.v.float64 = 1.0;
  struct Case {
    const char *format;
    std::vector<MsgFmt_Arg> args;
  } cases[] = {
      {"%d", {str}}, {"%s", {num}}, {"%d %d", {num}}, {"%f", {num}}, {"%d", {dbl}},
      {"%*d", {str, num}}, {"%ls", {str}}, {"%s", {}}, {"%n", {num}}, {"%", {}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(MsgFmt_Asprintf(nullptr, c.format, c.args.data(), static_cast<int>(c.args.size())),
              nullptr)
        << c.format;
  }
  // Extra arguments are not an error; integer kinds convert among themselves.
  MsgFmt_Arg wide{};
  wide.type = MSGFMT_ARG_INT64;
  wide.v.signed64 = -1;
  std::vector<MsgFmt_Arg> two = {wide, str};
  EXPECT_EQ(Render("%u", two.data(), 2), "4294967295");
}
