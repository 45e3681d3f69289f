// keltrace: connects to keld's trace socket and copies its lines to standard
// output, flushed line by line, until keld closes the connection.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/simRoot.h"

namespace {

const char kDefaultPath[] = "/var/run/ombrel/keld-trace.sock";

void Usage(FILE *out) {
  fprintf(out,
          "Usage: keltrace [--socket PATH] [--help]\n"
          "Copies the live trace of keld (one line per observation read, \"IN\",\n"
          "and per event composed, \"OUT\") to standard output. The recent history\n"
          "comes first, then an empty line, then live lines.\n"
          "  --socket PATH  trace socket (default %s under $KELD_ROOT)\n"
          "  --help         this text\n",
          kDefaultPath);
}

}  // namespace

int main(int argc, char **argv) {
  std::string path = SimRoot_Path(kDefaultPath);
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (a == "--socket") {
      if (i + 1 >= argc) {
        fprintf(stderr, "keltrace: --socket needs a path\n");
        return 2;
      }
      path = argv[++i];
      continue;
    }
    fprintf(stderr, "keltrace: unknown argument '%s' (try --help)\n", a.c_str());
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    fprintf(stderr, "keltrace: socket path too long: %s\n", path.c_str());
    return 2;
  }
  memcpy(addr.sun_path, path.c_str(), path.size());
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    fprintf(stderr, "keltrace: cannot connect to %s: %s\n", path.c_str(), strerror(errno));
    return 1;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (fwrite(buf, 1, static_cast<size_t>(n), stdout) != static_cast<size_t>(n)) break;
    fflush(stdout);
  }
  close(fd);
  return 0;
}
