// kelinject run against contexts opened in a temporary root, and the typed
// argument and scenario parsers it is made of. What the tool sends is
// compared byte for byte with records built from the expected arguments.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstring>
#include <string>
#include <vector>

#include "kelRecord.h"
#include "kelScenario.h"
#include "platform/kelLib.h"
#include "testRoot.h"

namespace {

using Records = std::vector<std::vector<uint8_t>>;

// The records read from `fd` until `want` arrived (or 10 s pass without any).
Records Receive(int fd, size_t want) {
  Records out;
  std::vector<uint8_t> buf(65536);
  for (pollfd p = {fd, POLLIN, 0}; out.size() < want && poll(&p, 1, 10000) > 0;) {
    uint32_t count = 0, len = 0;
    if (KelLib_ReadFromFd(fd, buf.data(), static_cast<uint32_t>(buf.size()), &count) != 0) break;
    for (uint32_t pos = 0; pos < count; pos += len) {
      memcpy(&len, buf.data() + pos + KEL_RECORD_OFF_TOTAL_LENGTH, 4);
      out.emplace_back(buf.begin() + pos, buf.begin() + pos + len);
    }
  }
  return out;
}

// Every argument kind to an explicit kernel context, copies over a user
// connection, and a scenario to the default context 0.
TEST(Kelinject, SendsToKernelContextsUserConnectionsAndScenarios) {
  TestRoot root;
  KelLib_Handle ctx5, ctx0, user;
  ASSERT_EQ(KelLib_AsyncContextOpen(5, &ctx5), 0u);
  ASSERT_EQ(KelLib_AsyncContextOpen(0, &ctx0), 0u);
  ASSERT_EQ(KelLib_UserContextOpen(KEL_USER_CONTEXT_ID, &user), 0u);
  int fd5, fd0, cnx = -1;
  KelLib_HandleToFd(ctx5, &fd5);
  KelLib_HandleToFd(ctx0, &fd0);
  const char kFormat[] = "s=%s n=%s i=%d u=%#x l=%ld L=%lu f=%f";
  ToolResult r = TestTool_Run("kelinject", {"--ctx", "5", "--time", "1700000000123456", "kel.test.all", kFormat,
                                            "s:hello world", "n:", "i:-5", "u:0xdeadbeef", "l:-2401053088876216593",
                                            "L:16045690984833335023", "f:-2.5"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Receive(fd5, 1),
            Records{KelRecord_Build("kel.test.all", kFormat,
                                    {KelArg::Str("hello world"), KelArg::NullStr(), KelArg::I32(-5),
                                     KelArg::U32(0xdeadbeef), KelArg::I64(-2401053088876216593LL),
                                     KelArg::U64(16045690984833335023ULL), KelArg::F64(-2.5)},
                                    1700000000123456)});

  r = TestTool_Run("kelinject", {"--user", "--count", "3", "--time", "1", "kel.user.a", "n=%d", "i:7"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(KelLib_UserContextNewCnx(user, &cnx), 0u);
  EXPECT_EQ(Receive(cnx, 3), Records(3, KelRecord_Build("kel.user.a", "n=%d", {KelArg::I32(7)}, 1)));

  root.WriteFile("/scenario.txt",
                 "# link goes down, then up\n"
                 "+0 kel.net.hynic.linkstate.down 'Physical NIC %s linkstate is down' s:hynic0\n"
                 "\n"
                 "+0.05 kel.net.hynic.linkstate.up \"Physical NIC %s is %s\" s:hynic0 's:up again'  # trailing\n");
  r = TestTool_Run("kelinject", {"--time", "2", "--file", root.Path("/scenario.txt")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Receive(fd0, 2),
            (Records{KelRecord_Build("kel.net.hynic.linkstate.down", "Physical NIC %s linkstate is down",
                                     {KelArg::Str("hynic0")}, 2),
                     KelRecord_Build("kel.net.hynic.linkstate.up", "Physical NIC %s is %s",
                                     {KelArg::Str("hynic0"), KelArg::Str("up again")}, 2)}));
  KelLib_UserContextCloseCnx(cnx);
  for (KelLib_Handle h : {ctx5, ctx0, user}) KelLib_Close(h);
}

// Options and files the tool refuses (the typed arguments are the parser's, below).
TEST(Kelinject, BadInputGivesOneLineAndNonZeroExit) {
  TestRoot root;
  root.WriteFile("/bad.txt", "+0 kel.a m\n+x kel.b m\n");
  const struct { std::vector<std::string> args; const char *reason; } cases[] = {
      {{"kel.a", "m", "i:12abc"}, "not an integer"}, {{"--ctx"}, "needs a value"},
      {{"--ctx", "24", "kel.a", "m"}, "invalid context"}, {{"--ctx", "-1", "kel.a", "m"}, "invalid context"},
      {{"--ctx", "1", "--user", "kel.a", "m"}, "either"}, {{"kel.a"}, "missing ID and FORMAT"},
      {{"--bogus", "kel.a", "m"}, "unknown option"}, {{"--ctx", "2", "kel.a", "m"}, "socket absent"},
      {{"--user", "kel.a", "m"}, "user context"}, {{"--file", root.Path("/bad.txt")}, "line 2:"},
      {{"--file", root.Path("/missing.txt")}, "cannot open"},
  };
  for (const auto &c : cases) {
    std::string name = testing::PrintToString(c.args);
    ToolResult r = TestTool_Run("kelinject", c.args);
    EXPECT_NE(r.exitCode, 0) << name;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << name << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << name << ": not one line: " << r.err;
  }
  ToolResult help = TestTool_Run("kelinject", {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: kelinject", 0), 0u);
}

TEST(KelScenario, SplitsShellStyleAndNamesTheBadLine) {
  std::vector<KelScenarioLine> lines;
  std::string error;
  ASSERT_TRUE(KelScenario_Parse("  # comment only\n"
                                "+1.25 kel.a \"say \\\"%s\\\"\" 's:it'\\''s' n: u:0x10 f:-1.5\n"
                                "+0 kel.b \"\" # no args\n"
                                "expect-none +0 +1\nhubd-down +0 +5 hang\n",
                                &lines, &error))
      << error;
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].lineNumber, 2);
  EXPECT_DOUBLE_EQ(lines[0].delaySeconds, 1.25);
  EXPECT_EQ(KelRecord_Build(lines[0].id, lines[0].format, lines[0].args, 0),
            KelRecord_Build("kel.a", "say \"%s\"", {KelArg::Str("it's"), KelArg::NullStr(), KelArg::U32(16),
                                                     KelArg::F64(-1.5)}, 0));
  EXPECT_EQ(KelRecord_Build(lines[1].id, lines[1].format, lines[1].args, 0), KelRecord_Build("kel.b", "", {}, 0));
  const struct { const char *text, *error; } bad[] = {
      {"+0 kel.a m\n1 kel.b m\n", "line 2: expected +SECONDS"}, {"+-1 kel.a m\n", "line 1: expected +SECONDS"},
      {"+inf kel.a m\n", "line 1: expected +SECONDS"}, {"+0 kel.a\n", "line 1: expected +SECONDS ID FORMAT"},
      {"\n\n+0 kel.a 'open\n", "line 3: unterminated single quote"},
      {"+0 kel.a \"open\n", "line 1: unterminated double quote"},
      {"+0 kel.a m i:99999999999\n", "line 1: bad argument 'i:99999999999'"},
  };
  for (const auto &c : bad) {
    EXPECT_FALSE(KelScenario_Parse(c.text, &lines, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " -> " << error;
  }
}

// Typed arguments at their limits, and what is refused with which reason, in one line.
TEST(KelRecord, ParsesTypedArgumentsAtTheirLimits) {
  using K = KelArg::Kind;
  const struct { const char *text; KelArg::Kind kind; int64_t i; uint64_t u; } good[] = {
      {"i:-2147483648", K::I32, INT32_MIN, 0}, {"i:0x7fffffff", K::I32, INT32_MAX, 0},
      {"u:4294967295", K::U32, 0, UINT32_MAX}, {"l:-9223372036854775808", K::I64, INT64_MIN, 0},
      {"L:0xFFFFFFFFFFFFFFFF", K::U64, 0, UINT64_MAX}, {"u:010", K::U32, 0, 10},  // decimal, not octal
  };
  for (const auto &c : good) {
    KelArg a;
    std::string error;
    ASSERT_TRUE(KelRecord_ParseArg(c.text, &a, &error)) << c.text << ": " << error;
    EXPECT_TRUE(a.kind == c.kind && a.i == c.i && a.u == c.u) << c.text << ": " << a.i << " " << a.u;
  }
  const struct { const char *text, *reason; } bad[] = {
      {"i:2147483648", "out of range"}, {"i:-2147483649", "out of range"}, {"u:4294967296", "out of range"},
      {"u:-1", "out of range"}, {"l:9223372036854775808", "out of range"}, {"L:18446744073709551616", "out of range"},
      {"L:-1", "out of range"}, {"i:12abc", "not an integer"}, {"i:", ""}, {"i: 5", ""}, {"i:0x", ""}, {"f:", ""},
      {"f:1.5x", ""}, {"n:x", ""}, {"x:5", "unknown argument type 'x'"}, {"nope", "TYPE:VALUE"}, {"s", "TYPE:VALUE"},
      {"", "TYPE:VALUE"},
  };
  for (const auto &c : bad) {
    KelArg a;
    std::string error;
    EXPECT_FALSE(KelRecord_ParseArg(c.text, &a, &error)) << c.text;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << c.text;
  }
}

}  // namespace
