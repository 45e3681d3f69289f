// kelinject: plays the kernel and the user-space services by sending
// observation records to keld's contexts.
//
//   kelinject [--ctx N | --user] [--count N] [--time US] ID FORMAT [ARG...]
//   kelinject [--ctx N | --user] [--time US] --file SCENARIO
#include <getopt.h>
#include <sys/time.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "kelRecord.h"
#include "kelScenario.h"
#include "kelSend.h"

namespace {

const char kUsage[] =
    "Usage: kelinject [--ctx N | --user] [--count N] [--time US] ID FORMAT [ARG...]\n"
    "       kelinject [--ctx N | --user] [--time US] --file SCENARIO\n"
    "Sends observations to keld: to kernel context N (0..23, default 0), the socket\n"
    "R/dev/kel/ctxN, or over a user connection to R/var/run/ombrel/kel-user.sock,\n"
    "where R is $KELD_ROOT (unset: /).\n"
    "  --ctx N        kernel context N (sends block while the context is full)\n"
    "  --user         one user connection for everything sent\n"
    "  --count N      send N copies of the observation (default 1)\n"
    "  --time US      time stamp in microseconds (default: the current time)\n"
    "  --file PATH    send a scenario, one observation per line:\n"
    "                 +SECONDS ID FORMAT ARG...  (delay before the line, fractions\n"
    "                 allowed; shell-style quoting; '#' comments)\n"
    "  --help         this text\n"
    "ARG: s:TEXT string, n: null string, i:N 32-bit signed, u:N 32-bit unsigned,\n"
    "     l:N 64-bit signed, L:N 64-bit unsigned (decimal or 0x hex), f:N float.\n";

enum Exit { kOk = 0, kSendFailed = 1, kBadInput = 2 };

int Error(int code, const std::string &text) {
  fprintf(stderr, "kelinject: %s\n", text.c_str());
  return code;
}

// Strict unsigned decimal within [min, max].
bool ParseCount(const char *text, uint64_t min, uint64_t max, uint64_t *out) {
  if (!text || *text < '0' || *text > '9') return false;
  errno = 0;
  char *end;
  unsigned long long v = strtoull(text, &end, 10);
  if (errno || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

uint64_t NowUs() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

void SleepSeconds(double seconds) {
  if (seconds <= 0) return;
  timespec ts;
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - std::floor(seconds)) * 1e9);
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

struct Options {
  bool user = false;
  bool ctxGiven = false;
  uint64_t ctx = 0;
  uint64_t count = 1;
  bool countGiven = false;
  bool timeGiven = false;
  uint64_t time = 0;
  const char *file = nullptr;
};

}  // namespace

int main(int argc, char **argv) {
  static const option kLong[] = {
      {"ctx", required_argument, nullptr, 'c'},  {"user", no_argument, nullptr, 'u'},
      {"count", required_argument, nullptr, 'n'}, {"time", required_argument, nullptr, 't'},
      {"file", required_argument, nullptr, 'f'}, {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0}};
  Options opt;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "+:", kLong, nullptr)) != -1) {
    switch (c) {
      case 'c':
        if (!ParseCount(optarg, 0, 23, &opt.ctx)) {
          return Error(kBadInput, std::string("invalid context '") + optarg + "' (expected 0..23)");
        }
        opt.ctxGiven = true;
        break;
      case 'u': opt.user = true; break;
      case 'n':
        if (!ParseCount(optarg, 1, UINT32_MAX, &opt.count)) {
          return Error(kBadInput, std::string("invalid count '") + optarg + "'");
        }
        opt.countGiven = true;
        break;
      case 't':
        if (!ParseCount(optarg, 0, UINT64_MAX, &opt.time)) {
          return Error(kBadInput, std::string("invalid time '") + optarg + "' (microseconds)");
        }
        opt.timeGiven = true;
        break;
      case 'f': opt.file = optarg; break;
      case 'h': fputs(kUsage, stdout); return kOk;
      case ':':
        return Error(kBadInput, std::string("option ") + argv[optind - 1] + " needs a value");
      default:
        return Error(kBadInput, std::string("unknown option ") + argv[optind - 1] + " (see --help)");
    }
  }
  if (opt.user && opt.ctxGiven) return Error(kBadInput, "give either --ctx or --user, not both");

  std::vector<KelScenarioLine> lines;
  std::string error;
  if (opt.file) {
    if (optind < argc) return Error(kBadInput, "--file takes no ID, FORMAT or ARG");
    if (opt.countGiven) return Error(kBadInput, "--count does not apply to --file");
    if (!KelScenario_ParseFile(opt.file, &lines, &error)) return Error(kBadInput, error);
  } else {
    if (argc - optind < 2) return Error(kBadInput, "missing ID and FORMAT (see --help)");
    KelScenarioLine line;
    line.id = argv[optind];
    line.format = argv[optind + 1];
    std::vector<std::string> texts(argv + optind + 2, argv + argc);
    if (!KelRecord_ParseArgs(texts, &line.args, &error)) return Error(kBadInput, error);
    lines.push_back(std::move(line));
  }

  KelSender sender;
  bool opened = opt.user ? sender.OpenUser(&error)
                         : sender.OpenKernel(static_cast<uint32_t>(opt.ctx), &error);
  if (!opened) return Error(kSendFailed, error);
  for (const KelScenarioLine &line : lines) {
    SleepSeconds(line.delaySeconds);
    std::vector<uint8_t> record =
        KelRecord_Build(line.id, line.format, line.args, opt.timeGiven ? opt.time : NowUs());
    for (uint64_t n = 0; n < opt.count; ++n) {
      if (!sender.Send(record.data(), record.size(), &error)) {
        if (line.lineNumber) error.insert(0, "line " + std::to_string(line.lineNumber) + ": ");
        return Error(kSendFailed, error);
      }
    }
  }
  return kOk;
}
