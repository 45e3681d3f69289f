// The event record decoder and the hubdsink tool that uses it, fed with
// records packed by hand here (independently of the daemon's writer).
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testRoot.h"
#include "vprobRecordReader.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char kUuid[] = "564d0c1e-4a6b-7e2f-9a3c-0123456789ab";

// One packed argument: a type code and a value, or a text (string type, its
// offset filled in by Pack); kNull is a null string.
struct Arg { int32_t type; uint64_t value; std::string text; bool isText; };
Arg Num(int32_t type, uint64_t value) { return {type, value, "", false}; }
Arg Str(const std::string &text) { return {6, 0, text, true}; }
const Arg kNull = {6, 0, "", false};

void Put(Bytes &b, size_t offset, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[offset + i] = static_cast<unsigned char>(v >> (8 * i));
}

Bytes Pack(uint64_t time, const std::string &id, const std::vector<Arg> &args) {
  size_t block = 68 + id.size() + 1;
  Bytes b(block + 32 * args.size(), 0);
  Put(b, 0, time, 8);
  memcpy(&b[16], kUuid, sizeof kUuid);
  Put(b, 60, args.size(), 4);
  Put(b, 64, id.size() + 1, 4);
  memcpy(&b[68], id.c_str(), id.size() + 1);
  for (size_t i = 0; i < args.size(); ++i) {
    Put(b, block + 32 * i, static_cast<uint32_t>(args[i].type), 4);
    Put(b, block + 32 * i + 8, args[i].isText ? b.size() - block : args[i].value, 8);
    if (args[i].isText) b.insert(b.end(), args[i].text.c_str(), args[i].text.c_str() + args[i].text.size() + 1);
  }
  b.resize(b.size() + 4);  // slack after the block
  Put(b, 56, b.size(), 4);
  return b;
}

// "nox.problem.x.y" with ("abc", -5): the block starts at 84, "abc" at 148.
Bytes Sample() { return Pack(123, "nox.problem.x.y", {Str("abc"), Num(1, 0xfffffffb)}); }

// Every argument kind decoded is checked through hubdsink's JSON lines below.
TEST(VProbRecordReader, RejectsEveryInconsistencyWithOneLine) {
  const size_t block = 68 + 16;
  const struct { const char *what; std::function<void(Bytes &)> corrupt; const char *error; } cases[] = {
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
  VProbRecordDecoded r;
  for (const auto &c : cases) {
    Bytes b = Sample();
    c.corrupt(b);
    std::string why;
    EXPECT_FALSE(VProbRecord_Decode(b.data(), b.size(), &r, &why)) << c.what;
    EXPECT_NE(why.find(c.error), std::string::npos) << c.what << ": " << why;
    EXPECT_EQ(why.find('\n'), std::string::npos) << c.what << ": not one line";
  }
}

// Connects to hubdsink's socket, retrying for up to 10 s while the sink starts.
int Connect(const TestRoot &root) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, root.Path("/var/run/ombrel/hubd-vprob.sock").c_str(), sizeof addr.sun_path - 1);
  for (int tries = 0; tries < 2000; ++tries) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) return fd;
    close(fd);
    usleep(5000);
  }
  ADD_FAILURE() << "hubdsink did not listen";
  return -1;
}

void Send(const TestRoot &root, const Bytes &record) {
  int fd = Connect(root);
  EXPECT_EQ(write(fd, record.data(), record.size()), static_cast<ssize_t>(record.size()));
  close(fd);
}

// Runs hubdsink with `args` while `client` talks to it.
ToolResult RunSink(const std::vector<std::string> &args, const std::function<void()> &client) {
  ToolResult result;
  std::thread sink([&] { result = TestTool_Run("hubdsink", args); });
  client();
  sink.join();
  return result;
}

TEST(HubdSink, PrintsOneJsonOrTextLinePerRecordAndGoesOnAfterBadOnes) {
  TestRoot root;
  Bytes bad = Sample();
  Put(bad, 64, 0xffff, 4);
  ToolResult r = RunSink({"--count", "3"}, [&] {
    close(Connect(root));  // an empty connection is no record
    // Every kind: int32 (upper bits ignored), int64, uint32, uint64, double 0.5, strings, unknown types.
    Send(root, Pack(1700000000123456ull, "nox.audit.a.b",
                    {Num(1, 0x1fffffffeull), Num(2, ~2ull), Num(3, 0x1fffffffeull), Num(4, UINT64_MAX),
                     Num(5, 0x3fe0000000000000), Str("s p\"q"), kNull, Str(""), Num(8, 7), Num(0, 0)}));
    Send(root, bad);
    Send(root, Pack(9, "nox.clear.z", {Str("q\"b\\s\n\x01 \xc3\xa9 \xff")}));
  });
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const std::string uuid = std::string(R"(","uuid":")") + kUuid + R"(","args":[)";
  EXPECT_EQ(r.out, R"({"time":1700000000123456,"id":"nox.audit.a.b)" + uuid +
                       R"(-2,-3,4294967294,18446744073709551615,0.5,"s p\"q",null,"",{"type":8},{"type":0}]})" "\n"
                       R"({"error":"idLength 65535 does not fit a 156-byte record"})" "\n"
                       R"({"time":9,"id":"nox.clear.z)" + uuid + "\"q\\\"b\\\\s\\n\\u0001 \xc3\xa9 \xef\xbf\xbd\"]}\n");

  setenv("TZ", "UTC", 1);  // the time is printed in local time
  r = RunSink({"--text", "--count=3"}, [&] {
    Send(root, Pack(45296789000, "nox.problem.x.y", {Str("a \"b\"\n"), Num(2, 42), kNull}));
    Send(root, Pack(0, "nox.clear.z", {}));
    // A catalogued event: its message follows, under the ID.
    Send(root, Pack(0, "nox.clear.net.hynic.linkstate.up", {Str("hynic3")}));
  });
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "12:34:56.789  problem  nox.problem.x.y  a \"b\"\\x0a | 42 | (null)\n"
            "00:00:00.000  clear    nox.clear.z\n"
            "00:00:00.000  clear    nox.clear.net.hynic.linkstate.up  hynic3\n"
            "                       Physical NIC hynic3 linkstate is up\n");
}

TEST(HubdSink, ExitsZeroOnTerminationSignalAndRejectsBadArgumentsWithOneLine) {
  TestRoot root;
  ToolResult r = RunSink({}, [&] {
    int fd = Connect(root);
    ucred peer{};
    socklen_t length = sizeof peer;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length), 0);
    close(fd);
    kill(peer.pid, SIGTERM);
  });
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "");

  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--count"}, {"--count", "0"}, {"--count", "x"}, {"--count=-1"}, {"--bogus"}, {"extra"}}) {
    r = TestTool_Run("hubdsink", args);
    EXPECT_NE(r.exitCode, 0) << args[0];
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  r = TestTool_Run("hubdsink", {"--help"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out.rfind("Usage: hubdsink", 0), 0u);
}

}  // namespace
