// hubdsink: plays the host management agent. Listens on the event socket,
// takes one event record per connection and prints each as one line on
// standard output, flushed at once.
#include <signal.h>
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

#include "eventCatalog.h"
#include "eventText.h"
#include "vprobReceiver.h"
#include "vprobRecordReader.h"

namespace {

const char kUsage[] =
    "Usage: hubdsink [--count N] [--text]\n"
    "Listens on $KELD_ROOT/var/run/ombrel/hubd-vprob.sock, reads one event record\n"
    "per connection and prints one line per record on standard output:\n"
    "  {\"time\":US,\"id\":\"ID\",\"uuid\":\"UUID\",\"args\":[...],\"message\":\"TEXT\"}\n"
    "Strings are JSON strings, a null string is null, integers are numbers;\n"
    "the message is the event's text from the event catalog (left out for an\n"
    "event the catalog does not know).\n"
    "A record that does not decode prints {\"error\":\"REASON\"}; empty\n"
    "connections are ignored.\n"
    "  --count N  exit 0 after N printed lines (records and errors)\n"
    "  --text     print readable lines instead: the event's local time\n"
    "             (HH:MM:SS.mmm), kind, ID and arguments separated by \" | \";\n"
    "             a null string is (null), control bytes are escaped as \\xNN;\n"
    "             the event's message follows on a line of its own, indented\n"
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

std::string RenderArg(const VProbArg &arg) {
  if (auto s = std::get_if<std::string>(&arg)) return TextString(*s);
  return EventText_Arg(arg);
}

// One JSON line, or for --text the event line and, when the catalog knows the
// event, its message on a second line indented under the ID.
std::string RenderRecord(const VProbRecordDecoded &r, bool json) {
  if (json) return Catalog_Dump(Catalog_EventJson(r));
  char head[64];
  int width = snprintf(head, sizeof head, "%s  %-7s  ", TextTime(r.time).c_str(), EventKind(r.id));
  std::string line = head + TextString(r.id);
  for (size_t i = 0; i < r.args.size(); ++i) line += (i ? " | " : "  ") + RenderArg(r.args[i]);
  std::string message = Catalog_Message(r.id, r.args);
  if (!message.empty()) line += "\n" + std::string(width > 0 ? width : 0, ' ') + TextString(message);
  return line;
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

  std::string error;
  int listener = VProbReceiver_Listen("hubdsink", &error);
  if (listener < 0) Die(error, 1);
  std::vector<unsigned char> data;
  for (long long printed = 0; count == 0 || printed < count;) {
    int got = VProbReceiver_Next(listener, &data);
    if (got < 0) Die(std::string("accept: ") + strerror(errno), 1);
    if (data.empty()) continue;
    bool whole = got == 1;

    VProbRecordDecoded record;
    if (!whole) {
      error = "record longer than " + std::to_string(kVProbMaxRecordBytes) + " bytes";
    } else if (VProbRecord_Decode(data.data(), data.size(), &record, &error)) {
      PrintLine(RenderRecord(record, json));
      ++printed;
      continue;
    }
    PrintLine(json ? Catalog_Dump({{"error", error}}) : "error: " + error);
    ++printed;
  }
  return 0;
}
