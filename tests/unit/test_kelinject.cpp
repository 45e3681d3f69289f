// kelinject and the pieces it is made of: the typed argument syntax, the
// scenario parser, and the tool itself run as a subprocess against contexts
// opened in a temporary root.
#include <gtest/gtest.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kelLib.h"
#include "kelRecord.h"
#include "kelScenario.h"
#include "testRoot.h"

namespace {

// Reads records from `fd` until `want` arrived (or 10 s without any) and
// turns them into Observations.
std::vector<Observation> Receive(int fd, size_t want) {
  std::vector<Observation> out;
  std::vector<uint8_t> buf(65536);
  while (out.size() < want) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    uint32_t count = 0;
    if (KelLib_ReadFromFd(fd, buf.data(), static_cast<uint32_t>(buf.size()), &count) != 0) break;
    for (uint32_t pos = 0; pos < count;) {
      uint32_t len;
      memcpy(&len, buf.data() + pos + KEL_RECORD_OFF_TOTAL_LENGTH, 4);
      void *copy = malloc(len);
      memcpy(copy, buf.data() + pos, len);
      Observation obs = nullptr;
      Kel_MakeKel(copy, len, &obs);
      if (!obs) free(copy);
      out.push_back(obs);
      pos += len;
    }
  }
  return out;
}

void FreeAll(std::vector<Observation> &obs) {
  for (Observation o : obs) Kel_Free(o);
  obs.clear();
}

std::string Message(Observation obs) {
  char *msg = nullptr;
  if (Kel_GetMsg(obs, &msg, nullptr) != 0) return "<none>";
  std::string s = msg;
  free(msg);
  return s;
}

}  // namespace

TEST(Kelinject, SendsEveryArgumentKindToAKernelContext) {
  TestRoot root;
  KelLib_Handle ctx;
  ASSERT_EQ(KelLib_AsyncContextOpen(5, &ctx), 0u);
  int fd;
  KelLib_HandleToFd(ctx, &fd);
  ToolResult r = TestTool_Run("kelinject", {"--ctx", "5", "--time", "1700000000123456", "kel.test.all",
                                            "s=%s n=%s i=%d u=%#x l=%ld L=%lu", "s:hello world", "n:",
                                            "i:-5", "u:0xdeadbeef", "l:-2401053088876216593",
                                            "L:16045690984833335023"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::vector<Observation> got = Receive(fd, 1);
  ASSERT_EQ(got.size(), 1u);
  Observation obs = got[0];
  ASSERT_NE(obs, nullptr);
  const char *id, *s = "x", *n = "x";
  uint64_t ts;
  Kel_GetID(obs, &id);
  Kel_GetTimestamp(obs, &ts);
  EXPECT_STREQ(id, "kel.test.all");
  EXPECT_EQ(ts, 1700000000123456u);
  int32_t i = 0;
  uint32_t u = 0;
  int64_t l = 0;
  uint64_t L = 0;
  ASSERT_EQ(Kel_GetArgs(obs, 0, "%p %p %d %x %ld %lu", &s, &n, &i, &u, &l, &L), 0u);
  EXPECT_STREQ(s, "hello world");
  EXPECT_EQ(n, nullptr);
  EXPECT_EQ(i, -5);
  EXPECT_EQ(u, 0xdeadbeefu);
  EXPECT_EQ(l, -2401053088876216593LL);
  EXPECT_EQ(L, 16045690984833335023ULL);
  EXPECT_EQ(Message(obs),
            "s=hello world n=(null) i=-5 u=0xdeadbeef l=-2401053088876216593 L=16045690984833335023");
  FreeAll(got);
  KelLib_Close(ctx);
}

TEST(Kelinject, CountsUserConnectionsAndScenarios) {
  TestRoot root;
  KelLib_Handle user;
  ASSERT_EQ(KelLib_UserContextOpen(KEL_USER_CONTEXT_ID, &user), 0u);
  int listener, cnx = -1;
  KelLib_HandleToFd(user, &listener);
  ToolResult r = TestTool_Run("kelinject", {"--user", "--count", "3", "kel.user.a", "n=%d", "i:7"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_EQ(KelLib_UserContextNewCnx(user, &cnx), 0u);
  std::vector<Observation> got = Receive(cnx, 3);
  ASSERT_EQ(got.size(), 3u);
  for (Observation o : got) EXPECT_EQ(Message(o), "n=7");
  FreeAll(got);
  KelLib_UserContextCloseCnx(cnx);
  KelLib_Close(user);

  KelLib_Handle ctx;
  ASSERT_EQ(KelLib_AsyncContextOpen(0, &ctx), 0u);
  int fd;
  KelLib_HandleToFd(ctx, &fd);
  root.WriteFile("/scenario.txt",
                 "# link goes down, then up\n"
                 "+0 kel.net.hynic.linkstate.down 'Physical NIC %s linkstate is down' s:hynic0\n"
                 "\n"
                 "+0.05 kel.net.hynic.linkstate.up \"Physical NIC %s is %s\" s:hynic0 's:up again'  # trailing\n");
  r = TestTool_Run("kelinject", {"--file", root.Path("/scenario.txt")});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  got = Receive(fd, 2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(Message(got[0]), "Physical NIC hynic0 linkstate is down");
  EXPECT_EQ(Message(got[1]), "Physical NIC hynic0 is up again");
  FreeAll(got);
  KelLib_Close(ctx);
}

TEST(Kelinject, BadInputGivesOneLineAndNonZeroExit) {
  TestRoot root;
  root.WriteFile("/bad.txt", "+0 kel.a m\n+x kel.b m\n");
  struct Case {
    std::vector<std::string> args;
    const char *reason;
  } cases[] = {
      {{"kel.a", "m", "x:5"}, "unknown argument type 'x'"},
      {{"kel.a", "m", "i:2147483648"}, "out of range"},
      {{"kel.a", "m", "u:-1"}, "out of range"},
      {{"kel.a", "m", "L:18446744073709551616"}, "out of range"},
      {{"kel.a", "m", "i:12abc"}, "not an integer"},
      {{"kel.a", "m", "nope"}, "TYPE:VALUE"},
      {{"--ctx"}, "needs a value"},
      {{"--ctx", "24", "kel.a", "m"}, "invalid context"},
      {{"--ctx", "-1", "kel.a", "m"}, "invalid context"},
      {{"--ctx", "1", "--user", "kel.a", "m"}, "either"},
      {{"kel.a"}, "missing ID and FORMAT"},
      {{"--bogus", "kel.a", "m"}, "unknown option"},
      {{"--ctx", "2", "kel.a", "m"}, "socket absent"},
      {{"--user", "kel.a", "m"}, "user context"},
      {{"--file", root.Path("/bad.txt")}, "line 2:"},
      {{"--file", root.Path("/missing.txt")}, "cannot open"},
  };
  for (const Case &c : cases) {
    ToolResult r = TestTool_Run("kelinject", c.args);
    std::string label = c.args.back();
    EXPECT_NE(r.exitCode, 0) << label;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << label << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << label << ": not one line: " << r.err;
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
                                "+0 kel.b \"\" # no args\n",
                                &lines, &error))
      << error;
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].lineNumber, 2);
  EXPECT_DOUBLE_EQ(lines[0].delaySeconds, 1.25);
  EXPECT_EQ(lines[0].format, "say \"%s\"");
  ASSERT_EQ(lines[0].args.size(), 4u);
  EXPECT_EQ(lines[0].args[0].s, "it's");
  EXPECT_EQ(lines[0].args[1].kind, KelArg::Kind::NullStr);
  EXPECT_EQ(lines[0].args[2].u, 16u);
  EXPECT_EQ(lines[0].args[3].f, -1.5);
  EXPECT_EQ(lines[1].format, "");

  const struct {
    const char *text;
    const char *error;
  } bad[] = {
      {"+0 kel.a m\n1 kel.b m\n", "line 2: expected +SECONDS"},
      {"+-1 kel.a m\n", "line 1: expected +SECONDS"},
      {"+inf kel.a m\n", "line 1: expected +SECONDS"},
      {"+0 kel.a\n", "line 1: expected +SECONDS ID FORMAT"},
      {"\n\n+0 kel.a 'open\n", "line 3: unterminated single quote"},
      {"+0 kel.a \"open\n", "line 1: unterminated double quote"},
      {"+0 kel.a m i:99999999999\n", "line 1: bad argument 'i:99999999999'"},
  };
  for (const auto &c : bad) {
    EXPECT_FALSE(KelScenario_Parse(c.text, &lines, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " -> " << error;
  }
}

TEST(KelRecord, ParsesTypedArgumentsAtTheirLimits) {
  const struct {
    const char *text;
    KelArg::Kind kind;
    int64_t i;
    uint64_t u;
  } good[] = {
      {"i:-2147483648", KelArg::Kind::I32, INT32_MIN, 0},
      {"i:0x7fffffff", KelArg::Kind::I32, INT32_MAX, 0},
      {"u:4294967295", KelArg::Kind::U32, 0, UINT32_MAX},
      {"l:-9223372036854775808", KelArg::Kind::I64, INT64_MIN, 0},
      {"L:0xFFFFFFFFFFFFFFFF", KelArg::Kind::U64, 0, UINT64_MAX},
      {"u:010", KelArg::Kind::U32, 0, 10},  // decimal, not octal
  };
  for (const auto &c : good) {
    KelArg a;
    std::string error;
    ASSERT_TRUE(KelRecord_ParseArg(c.text, &a, &error)) << c.text << ": " << error;
    EXPECT_EQ(a.kind, c.kind) << c.text;
    EXPECT_EQ(a.i, c.i) << c.text;
    EXPECT_EQ(a.u, c.u) << c.text;
  }
  for (const char *text : {"i:2147483648", "i:-2147483649", "u:4294967296", "l:9223372036854775808",
                           "L:-1", "i:", "i: 5", "i:0x", "f:", "f:1.5x", "n:x", "s", ""}) {
    KelArg a;
    std::string error;
    EXPECT_FALSE(KelRecord_ParseArg(text, &a, &error)) << text;
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}
