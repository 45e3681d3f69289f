// The event record decoder and the hubdsink tool that uses it, fed with
// records packed by hand here (independently of the daemon's writer).
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testRoot.h"
#include "vprobRecordReader.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char kUuid[] = "564d0c1e-4a6b-7e2f-9a3c-0123456789ab";
const char kSocket[] = "/var/run/ombrel/hubd-vprob.sock";

// One argument as packed: a type code and a value, or a text (string type,
// offset filled in by Pack); `null` packs a null string.
struct Arg {
  int32_t type;
  uint64_t value;
  std::string text;
  bool isText = false;
};
Arg Num(int32_t type, uint64_t value) { return {type, value, "", false}; }
Arg Str(const std::string &text) { return {6, 0, text, true}; }
Arg Null() { return {6, 0, "", false}; }

void Put(Bytes &b, size_t offset, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

Bytes Pack(uint64_t time, const std::string &id, const std::vector<Arg> &args) {
  size_t idLength = id.size() + 1, recordsSize = args.size() * 32, strings = 0;
  for (const Arg &a : args) strings += a.isText ? a.text.size() + 1 : 0;
  size_t block = 68 + idLength, total = block + recordsSize + strings + 4;
  Bytes b(total, 0);
  Put(b, 0, time, 8);
  memcpy(&b[16], kUuid, sizeof kUuid);
  Put(b, 56, total, 4);
  Put(b, 60, args.size(), 4);
  Put(b, 64, idLength, 4);
  memcpy(&b[68], id.c_str(), idLength);
  size_t next = recordsSize;
  for (size_t i = 0; i < args.size(); ++i) {
    Put(b, block + 32 * i, static_cast<uint32_t>(args[i].type), 4);
    Put(b, block + 32 * i + 8, args[i].isText ? next : args[i].value, 8);
    if (args[i].isText) {
      memcpy(&b[block + next], args[i].text.c_str(), args[i].text.size() + 1);
      next += args[i].text.size() + 1;
    }
  }
  return b;
}

// "nox.problem.x.y" with ("abc", -5): the block starts at 84, "abc" at 148.
Bytes Sample() { return Pack(123, "nox.problem.x.y", {Str("abc"), Num(1, 0xfffffffb)}); }

TEST(VProbRecordReader, DecodesEveryArgumentKind) {
  double half = 0.5;
  uint64_t halfBits;
  memcpy(&halfBits, &half, sizeof half);
  Bytes b = Pack(1700000000123456ull, "nox.audit.a.b",
                 {Num(1, 0x00000001fffffffeull), Num(2, static_cast<uint64_t>(-3)), Num(3, 0x1fffffffeull),
                  Num(4, UINT64_MAX), Num(5, halfBits), Str("s p\"q"), Null(), Str(""), Num(8, 7), Num(0, 0)});
  VProbRecordDecoded r;
  std::string error;
  ASSERT_TRUE(VProbRecord_Decode(b.data(), b.size(), &r, &error)) << error;
  EXPECT_EQ(r.time, 1700000000123456ull);
  EXPECT_EQ(r.id, "nox.audit.a.b");
  EXPECT_EQ(r.uuid, kUuid);
  std::vector<VProbArg> expected = {int64_t{-2},      int64_t{-3},       uint64_t{0xfffffffe},
                                    uint64_t{UINT64_MAX}, 0.5,           std::string("s p\"q"),
                                    VProbNullString{}, std::string(""), VProbUnknownArg{8},
                                    VProbUnknownArg{0}};
  EXPECT_EQ(r.args, expected);
}

TEST(VProbRecordReader, RejectsEveryInconsistency) {
  const size_t block = 68 + 16;
  struct Case {
    const char *what;
    std::function<void(Bytes &)> corrupt;
    const char *error;
  } cases[] = {
      {"shorter than a header", [](Bytes &b) { b.resize(71); Put(b, 56, 71, 4); }, "too short"},
      {"totalLength above size", [](Bytes &b) { Put(b, 56, b.size() + 1, 4); }, "totalLength"},
      {"trailing byte", [](Bytes &b) { b.push_back(0); }, "totalLength"},
      {"idLength past the end", [](Bytes &b) { Put(b, 64, 0xffffffff, 4); }, "idLength"},
      {"idLength leaves no slack", [](Bytes &b) { Put(b, 64, b.size() - 71, 4); }, "idLength"},
      {"idLength zero", [](Bytes &b) { Put(b, 64, 0, 4); }, "idLength"},
      {"identifier without NUL", [](Bytes &b) { b[block - 1] = 'x'; }, "identifier"},
      {"identifier with inner NUL", [](Bytes &b) { b[70] = 0; }, "identifier"},
      {"numArgs too large", [](Bytes &b) { Put(b, 60, 3, 4); }, "numArgs"},
      {"numArgs overflowing", [](Bytes &b) { Put(b, 60, 0xffffffff, 4); }, "numArgs"},
      {"string offset at block end", [](Bytes &b) { Put(b, block + 8, 68, 8); }, "outside"},
      {"string offset inside the records", [](Bytes &b) { Put(b, block + 8, 40, 8); }, "outside"},
      {"string offset wrapping", [](Bytes &b) { Put(b, block + 8, ~0ull - 2, 8); }, "outside"},
      {"string without NUL in the block", [](Bytes &b) { b[block + 67] = 'x'; }, "not terminated"},
  };
  for (const Case &c : cases) {
    Bytes b = Sample();
    c.corrupt(b);
    VProbRecordDecoded r;
    std::string error;
    EXPECT_FALSE(VProbRecord_Decode(b.data(), b.size(), &r, &error)) << c.what;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << "one line";
  }
}

TEST(VProbRecordReader, SurvivesAnySingleByteDamage) {
  Bytes good = Sample();
  for (size_t i = 0; i < good.size(); ++i) {
    for (unsigned char v : {0x00, 0x80, 0xff}) {
      Bytes b = good;
      b[i] = v;
      VProbRecordDecoded r;
      std::string error;
      VProbRecord_Decode(b.data(), b.size(), &r, &error);  // must not read out of bounds
    }
  }
}

// Waits (at most 10 s, as a guard against a hang) for hubdsink's socket.
bool WaitForSocket(const TestRoot &root) {
  root.WriteFile("/var/run/ombrel/.keep", "");
  int watch = inotify_init1(IN_CLOEXEC);
  inotify_add_watch(watch, root.Path("/var/run/ombrel").c_str(), IN_CREATE | IN_MOVED_TO);
  bool found = false;
  while (!found) {
    struct stat st;
    found = stat(root.Path(kSocket).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
    pollfd p = {watch, POLLIN, 0};
    if (found || poll(&p, 1, 10000) <= 0) break;
    char events[4096];
    if (read(watch, events, sizeof events) < 0) break;
  }
  close(watch);
  return found;
}

int Connect(const TestRoot &root) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, root.Path(kSocket).c_str(), sizeof addr.sun_path - 1);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  return fd;
}

void Send(const TestRoot &root, const Bytes &record) {
  int fd = Connect(root);
  EXPECT_EQ(write(fd, record.data(), record.size()), static_cast<ssize_t>(record.size()));
  close(fd);
}

// Runs hubdsink with `args` while `client` talks to it.
ToolResult RunSink(const TestRoot &root, const std::vector<std::string> &args,
                   const std::function<void()> &client) {
  ToolResult result;
  std::thread sink([&] { result = TestTool_Run("hubdsink", args); });
  if (WaitForSocket(root)) {
    client();
  } else {
    ADD_FAILURE() << "hubdsink did not listen";
  }
  sink.join();
  return result;
}

TEST(HubdSink, PrintsOneJsonLinePerRecordAndGoesOnAfterBadOnes) {
  TestRoot root;
  Bytes bad = Sample();
  Put(bad, 64, 0xffff, 4);
  ToolResult r = RunSink(root, {"--count", "3"}, [&] {
    close(Connect(root));  // an empty connection is no record
    Send(root, Pack(123, "nox.problem.x.y", {Str("abc"), Num(1, 0xfffffffb), Null(), Num(4, 7)}));
    Send(root, bad);
    Send(root, Pack(9, "nox.clear.z", {Str("q\"b\\s\n\x01 \xc3\xa9 \xff")}));
  });
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string lines[3];
  std::istringstream out(r.out);
  for (std::string &line : lines) std::getline(out, line);
  EXPECT_EQ(lines[0], std::string("{\"time\":123,\"id\":\"nox.problem.x.y\",\"uuid\":\"") + kUuid +
                          "\",\"args\":[\"abc\",-5,null,7]}");
  EXPECT_EQ(lines[1].rfind("{\"error\":\"idLength 65535 ", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], std::string("{\"time\":9,\"id\":\"nox.clear.z\",\"uuid\":\"") + kUuid +
                          "\",\"args\":[\"q\\\"b\\\\s\\u000a\\u0001 \xc3\xa9 \\ufffd\"]}");
  EXPECT_TRUE(out.get() == EOF) << "exactly three lines: " << r.out;
}

TEST(HubdSink, PrintsTextLines) {
  TestRoot root;
  setenv("TZ", "UTC", 1);  // the time is printed in local time
  ToolResult r = RunSink(root, {"--text", "--count=2"}, [&] {
    Send(root, Pack(45296789000, "nox.problem.x.y", {Str("a \"b\"\n"), Num(2, 42), Null()}));
    Send(root, Pack(0, "nox.clear.z", {}));
  });
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "12:34:56.789  problem  nox.problem.x.y  a \"b\"\\x0a | 42 | (null)\n"
            "00:00:00.000  clear    nox.clear.z\n");
}

TEST(HubdSink, ExitsZeroOnTerminationSignal) {
  TestRoot root;
  ToolResult r = RunSink(root, {}, [&] {
    int fd = Connect(root);
    ucred peer{};
    socklen_t length = sizeof peer;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length), 0);
    close(fd);
    kill(peer.pid, SIGTERM);
  });
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");
}

TEST(HubdSink, RejectsBadArgumentsWithOneLine) {
  TestRoot root;
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--count"}, {"--count", "0"}, {"--count", "x"}, {"--count=-1"}, {"--bogus"}, {"extra"}}) {
    ToolResult r = TestTool_Run("hubdsink", args);
    EXPECT_NE(r.exitCode, 0) << args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  ToolResult help = TestTool_Run("hubdsink", {"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_EQ(help.out.rfind("Usage: hubdsink", 0), 0u);
}

}  // namespace
