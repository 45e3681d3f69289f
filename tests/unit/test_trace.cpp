// Trace lines, the escaping and cap of lines for humans, and the history a
// new client receives until the service closes.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kelRecord.h"
#include "log/keldLine.h"
#include "log/keldTrace.h"
#include "platform/msgFmt.h"

namespace {

std::string LineFor(const std::vector<KelArg> &args, long nanos = 5) {
  std::vector<uint8_t> block = KelRecord_BuildArgBlock(args);
  std::vector<MsgFmt_Arg> aligned(block.size() / sizeof(MsgFmt_Arg) + 1);
  if (!block.empty()) memcpy(aligned.data(), block.data(), block.size());
  std::string line;
  struct timespec now = {1700000000, nanos};
  bool ok = Trace_BuildLine(line, now, "IN", 42, "kel.x.y", aligned.data(),
                            static_cast<uint32_t>(args.size()),
                            reinterpret_cast<const uint8_t *>(aligned.data()) + block.size());
  return ok ? line : "(refused)";
}

TEST(TraceLine, FieldsByArgumentType) {
  EXPECT_EQ(LineFor({KelArg::I32(7), KelArg::Str("a\"b")}), "1700000000.000000005,IN,42,kel.x.y,,7,\"a\"\"b\"\n");
  EXPECT_EQ(LineFor({}), "1700000000.000000005,IN,42,kel.x.y,\n");
  EXPECT_EQ(LineFor({KelArg::F64(1.5), KelArg::NullStr(), KelArg::I64(-9)}, 999999999),
            "1700000000.999999999,IN,42,kel.x.y,,???,\"(null)\",-9\n");
}

// A record count larger than the block once made the builder read integer
// records past the block's end (only string records were checked); a string
// must lie inside the block too.
TEST(TraceLine, RefusesRecordsAndStringsOutsideTheBlock) {
  std::vector<uint8_t> block = KelRecord_BuildArgBlock({KelArg::I32(1), KelArg::I64(2)});
  std::vector<MsgFmt_Arg> aligned(block.size() / sizeof(MsgFmt_Arg));
  memcpy(aligned.data(), block.data(), block.size());
  const uint8_t *end = reinterpret_cast<const uint8_t *>(aligned.data()) + block.size();
  std::string line;
  struct timespec now = {1800000000, 0};
  EXPECT_FALSE(Trace_BuildLine(line, now, "IN", 1, "kel.x", aligned.data(), 9, end));
  EXPECT_FALSE(Trace_BuildLine(line, now, "IN", 1, "kel.x", aligned.data(), 1,
                               reinterpret_cast<const uint8_t *>(aligned.data()) + 31));
  ASSERT_TRUE(Trace_BuildLine(line, now, "IN", 1, "kel.x", aligned.data(), 2, end));
  EXPECT_EQ(line, "1800000000.000000000,IN,1,kel.x,,1,2\n");

  std::vector<uint8_t> text = KelRecord_BuildArgBlock({KelArg::Str("hello")});
  std::vector<MsgFmt_Arg> outside(text.size() / sizeof(MsgFmt_Arg) + 1);
  memcpy(outside.data(), text.data(), text.size());
  outside[0].v.offset = 4096;
  EXPECT_FALSE(Trace_BuildLine(line, now, "IN", 1, "kel.x", outside.data(), 1,
                               reinterpret_cast<const uint8_t *>(outside.data()) + text.size()));
}

// Control bytes, DEL and the backslash are escaped, every other byte kept
// (the fuzz target checks that every text comes back); IDs that would shift
// or break the trace fields are quoted.
TEST(TraceLine, EscapesControlBytesAndQuotesUnsafeIds) {
  std::string line;
  LineBuilder b(line, LINE_LOG_MARKER);
  b.Escaped("a\nb\rc\td\\e\x01\x1f\x7f \xc3\xa9\"");
  b.Finish();
  EXPECT_EQ(line, "a\\nb\\rc\\td\\\\e\\x01\\x1f\\x7f \xc3\xa9\"\n");
  // An escaped byte anywhere in a long plain run (runs are scanned a word at
  // a time), and a quote inside a quoted text.
  const struct {
    char byte;
    const char *escape;
  } specials[] = {{'\x01', "\\x01"}, {'\x1f', "\\x1f"}, {'\x7f', "\\x7f"}, {'\\', "\\\\"}, {'"', "\"\""}};
  for (size_t at = 0; at < 20; at++) {
    for (const auto &special : specials) {
      std::string text(24, 'p');
      text[at] = special.byte;
      LineBuilder q(line, LINE_LOG_MARKER);
      q.Quoted(text.c_str());
      q.Finish();
      EXPECT_EQ(line, "\"" + text.substr(0, at) + special.escape + text.substr(at + 1) + "\"\n") << at;
    }
  }

  struct timespec now = {1700000000, 5};
  const struct {
    const char *id, *field;
  } ids[] = {{"kel.x.y", "kel.x.y"},
             {"kel.a,b", "\"kel.a,b\""},
             {"kel.q\"", "\"kel.q\"\"\""},
             {"kel.n\n1,IN", "\"kel.n\\n1,IN\""},
             {"kel.b\\s", "\"kel.b\\\\s\""}};
  for (const auto &c : ids) {
    ASSERT_TRUE(Trace_BuildLine(line, now, "IN", 42, c.id, nullptr, 0, nullptr));
    EXPECT_EQ(line, std::string("1700000000.000000005,IN,42,") + c.field + ",\n") << c.id;
  }
  EXPECT_EQ(LineFor({KelArg::Str("a\nb\"c")}), "1700000000.000000005,IN,42,kel.x.y,,\"a\\nb\"\"c\"\n");
}

// Lines stop at the cap with their marker: never inside an escape, a cut
// string keeps its closing quote, and a thousand arguments sharing one long
// text give one capped line.
TEST(TraceLine, LinesStopAtTheCapWithTheirMarker) {
  std::string line;
  const std::string controls(kLineCap, '\x01');
  LineBuilder b(line, LINE_LOG_MARKER);
  b.Raw("prefix ");
  b.Escaped(controls.c_str());
  b.Raw("never written");
  b.Finish();
  EXPECT_TRUE(b.Truncated());
  ASSERT_LE(line.size(), kLineCap);
  const std::string tail = LINE_LOG_MARKER "\n";
  ASSERT_EQ(line.substr(line.size() - tail.size()), tail);
  EXPECT_EQ((line.size() - tail.size() - 7) % 4, 0u);  // whole "\x01" escapes only

  const std::string exact(kLineCap - 1, 'a');  // with the newline, exactly the cap: not cut
  LineBuilder fits(line, LINE_LOG_MARKER);
  fits.Escaped(exact.c_str(), exact.size() - strlen(LINE_LOG_MARKER));
  fits.Finish();
  EXPECT_FALSE(fits.Truncated());

  // One text, a thousand records pointing at it.
  std::vector<uint8_t> shared(1000 * sizeof(MsgFmt_Arg) + 60001, 'A');
  for (size_t i = 0; i < 1000; i++) {
    MsgFmt_Arg a{};
    a.type = MSGFMT_ARG_STRING8;
    a.v.offset = 1000 * sizeof(MsgFmt_Arg);
    memcpy(&shared[i * sizeof a], &a, sizeof a);
  }
  shared.back() = '\0';
  struct timespec now = {1700000000, 5};
  ASSERT_TRUE(Trace_BuildLine(line, now, "IN", 42, "kel.x.y", reinterpret_cast<const MsgFmt_Arg *>(shared.data()),
                              1000, shared.data() + shared.size()));
  EXPECT_EQ(line.size(), kLineCap);
  const std::string traceTail = "AAA\"" LINE_TRACE_MARKER "\n";
  EXPECT_EQ(line.substr(line.size() - traceTail.size()), traceTail);
}

// Reads from `fd` until `marker` has arrived or nothing comes for a while.
std::string ReadUntil(int fd, const std::string &marker) {
  std::string got;
  while (got.find(marker) == std::string::npos) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

TEST(TraceService, NewClientGetsBoundedHistoryThenLiveLinesUntilTheClose) {
  char dir[] = "/tmp/keld-trace-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/t.sock";
  int listenFd = TraceListen(path.c_str());
  ASSERT_GE(listenFd, 0);

  // 200 KiB of numbered lines: only the newest 128 KiB are kept.
  std::vector<std::string> ids;
  for (int i = 0; i < 2000; i++) {
    ids.push_back("kel.history." + std::to_string(i) + std::string(80, 'p'));
    TracePublish("IN", static_cast<uint64_t>(i), ids.back().c_str(), nullptr, 0, nullptr);
  }
  int client = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(connect(client, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
  struct timeval patience = {10, 0};  // a client the close forgot fails, not hangs
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  TraceAccept(listenFd);
  std::string history = ReadUntil(client, "\n\n");
  size_t end = history.find("\n\n");
  ASSERT_NE(end, std::string::npos);
  history.resize(end + 1);
  EXPECT_LE(history.size(), 131072u);
  EXPECT_GT(history.size(), 131072u - 200);  // no more dropped than needed
  EXPECT_NE(history.find("," + ids.back() + ",\n"), std::string::npos);
  EXPECT_EQ(history.find("," + ids.front() + ","), std::string::npos);

  TracePublish("OUT", 7, "nox.problem.live", nullptr, 0, nullptr);
  EXPECT_NE(ReadUntil(client, "nox.problem.live,\n").find(",OUT,7,nox.problem.live,\n"), std::string::npos);

  // The close: what was published before it still arrives, then the end of
  // the stream; the socket takes no one any more.
  TracePublish("OUT", 8, "nox.problem.last", nullptr, 0, nullptr);
  TraceClose(listenFd);
  std::string rest;
  char buf[4096];
  ssize_t n;
  while ((n = read(client, buf, sizeof buf)) > 0) rest.append(buf, static_cast<size_t>(n));
  EXPECT_EQ(n, 0) << strerror(errno);
  EXPECT_NE(rest.find(",OUT,8,nox.problem.last,\n"), std::string::npos) << rest;
  close(client);
  int late = socket(AF_UNIX, SOCK_STREAM, 0);
  EXPECT_NE(connect(late, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
  close(late);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
