// hubdsink: plays the host management agent. Listens on the event socket,
// takes one event record per connection and prints each as one line on
// standard output, flushed at once.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "clock.h"
#include "eventText.h"
#include "simRoot.h"
#include "vprobRecordReader.h"

namespace {

const char kSocketPath[] = "/var/run/ombrel/hubd-vprob.sock";
// The largest record the daemon builds is under 19 KiB.
const size_t kMaxRecordBytes = 64 * 1024;
// A client that neither finishes nor closes within this time has sent what it
// is going to send.
const int64_t kReceiveTimeoutMs = 5000;

const char kUsage[] =
    "Usage: hubdsink [--count N] [--text]\n"
    "Listens on $KELD_ROOT/var/run/ombrel/hubd-vprob.sock, reads one event record\n"
    "per connection and prints one line per record on standard output:\n"
    "  {\"time\":US,\"id\":\"ID\",\"uuid\":\"UUID\",\"args\":[...]}\n"
    "Strings are JSON strings, a null string is null, integers are numbers.\n"
    "A record that does not decode prints {\"error\":\"REASON\"}; empty\n"
    "connections are ignored.\n"
    "  --count N  exit 0 after N printed lines (records and errors)\n"
    "  --text     print readable lines instead: the event's local time\n"
    "             (HH:MM:SS.mmm), kind, ID and arguments separated by \" | \";\n"
    "             a null string is (null), control bytes are escaped as \\xNN\n"
    "  --help     this text\n"
    "SIGTERM and SIGINT end it with status 0.\n";

[[noreturn]] void Die(const std::string &reason, int status = 2) {
  fprintf(stderr, "hubdsink: %s\n", reason.c_str());
  exit(status);
}

void OnTerminate(int) { _exit(0); }

// A string for --text, as it is: only a backslash and the control bytes are
// escaped, so that one event stays one line.
std::string TextString(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// "HH:MM:SS.mmm" in local time for an event time in microseconds.
std::string TextTime(uint64_t micros) {
  time_t seconds = static_cast<time_t>(micros / 1000000u);
  struct tm local {};
  char text[32] = "??:??:??";
  if (localtime_r(&seconds, &local) != nullptr) strftime(text, sizeof text, "%H:%M:%S", &local);
  char out[48];
  snprintf(out, sizeof out, "%s.%03u", text, static_cast<unsigned>(micros % 1000000u / 1000u));
  return out;
}

std::string RenderArg(const VProbArg &arg, bool json) {
  if (json) return EventText_ArgJson(arg);
  if (auto s = std::get_if<std::string>(&arg)) return TextString(*s);
  return EventText_Arg(arg);
}

std::string RenderRecord(const VProbRecordDecoded &r, bool json) {
  std::string line;
  if (json) {
    line = "{\"time\":" + std::to_string(r.time) + ",\"id\":" + EventText_Json(r.id) +
           ",\"uuid\":" + EventText_Json(r.uuid) + ",\"args\":[";
    for (size_t i = 0; i < r.args.size(); ++i) line += (i ? "," : "") + RenderArg(r.args[i], true);
    return line + "]}";
  }
  char head[64];
  snprintf(head, sizeof head, "%s  %-7s  ", TextTime(r.time).c_str(), EventKind(r.id));
  line = head + TextString(r.id);
  for (size_t i = 0; i < r.args.size(); ++i) line += (i ? " | " : "  ") + RenderArg(r.args[i], false);
  return line;
}

// Reads one connection until EOF, the size cap or the receive timeout.
// False when the client sent more than a record can hold.
bool ReceiveAll(int fd, std::vector<unsigned char> *data) {
  auto nowMs = [] {
    struct timespec now = Clock_Monotonic();
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  };
  int64_t deadline = nowMs() + kReceiveTimeoutMs;
  unsigned char chunk[4096];
  while (true) {
    int64_t left = deadline - nowMs();
    struct pollfd p = {fd, POLLIN, 0};
    int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return true;  // timed out (or poll failed): take what came
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    data->insert(data->end(), chunk, chunk + got);
    if (data->size() > kMaxRecordBytes) return false;
  }
}

bool FitsSunPath(const std::string &path) { return path.size() < sizeof(sockaddr_un::sun_path); }

// Listens on the event socket. The socket is bound under a temporary name and
// renamed into place once it listens (replacing a stale socket), so a client
// that sees the file can connect at once.
int Listen() {
  std::string path = SimRoot_Path(kSocketPath);
  std::string temp = path.substr(0, path.rfind('/') + 1) + ".hubdsink." + std::to_string(getpid());
  if (!FitsSunPath(path) || !FitsSunPath(temp)) Die("socket path too long: " + path, 1);
  SimRoot_MakeParents(kSocketPath);

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die(std::string("socket: ") + strerror(errno), 1);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, temp.c_str(), temp.size() + 1);
  unlink(temp.c_str());
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0 ||
      rename(temp.c_str(), path.c_str()) != 0) {
    int error = errno;
    unlink(temp.c_str());
    Die("cannot listen on " + path + ": " + strerror(error), 1);
  }
  return fd;
}

void PrintLine(const std::string &line) {
  if (fputs((line + "\n").c_str(), stdout) == EOF || fflush(stdout) != 0) {
    Die(std::string("cannot write to standard output: ") + strerror(errno), 1);
  }
}

}  // namespace

int main(int argc, char **argv) {
  long long count = 0;  // 0: no limit
  bool json = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--text") {
      json = false;
    } else if (arg == "--count" || arg.rfind("--count=", 0) == 0) {
      std::string value = arg == "--count" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(8);
      char *end = nullptr;
      errno = 0;
      count = strtoll(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || errno != 0 || count < 1) {
        Die("--count needs a positive integer, got \"" + value + "\"");
      }
    } else {
      Die("unknown argument \"" + arg + "\" (see --help)");
    }
  }

  struct sigaction sa {};
  sa.sa_handler = OnTerminate;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int listener = Listen();
  for (long long printed = 0; count == 0 || printed < count;) {
    int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      Die(std::string("accept: ") + strerror(errno), 1);
    }
    std::vector<unsigned char> data;
    bool whole = ReceiveAll(client, &data);
    close(client);
    if (data.empty()) continue;

    VProbRecordDecoded record;
    std::string error;
    if (!whole) {
      error = "record longer than " + std::to_string(kMaxRecordBytes) + " bytes";
    } else if (VProbRecord_Decode(data.data(), data.size(), &record, &error)) {
      PrintLine(RenderRecord(record, json));
      ++printed;
      continue;
    }
    PrintLine(json ? "{\"error\":" + EventText_Json(error) + "}" : "error: " + error);
    ++printed;
  }
  return 0;
}
