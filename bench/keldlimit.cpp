// keldlimit: the machine's limit for keld's intake path. It binds the 24
// kernel context sockets under $KELD_ROOT (the same paths keld binds, so the
// same flooder drives both), reads datagrams in batches with recvmmsg(),
// writes each record whole into a pipe, and a second thread reads every
// record back as its 32-byte header and then its body. Nothing else is done
// with a record: this is the least work that moves records the way keld does.
//
// Prints "ready" once the sockets are bound, then, after `--count` records
// have been read back, one line:
//   done <monotonic ns of the last record> <records> <user+system CPU ns>
// and exits.
#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/simRoot.h"

namespace {

constexpr int kContexts = 24;
constexpr int kBatch = 64;
constexpr size_t kSlot = 4096;  // room for one datagram of the flood
constexpr size_t kHeader = 32;

int gPipe[2];
uint64_t gCount = 0;

[[noreturn]] void Die(const char *what) {
  fprintf(stderr, "keldlimit: %s: %s\n", what, strerror(errno));
  exit(1);
}

uint64_t MonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

bool ReadFull(int fd, void *buf, size_t n) {
  char *p = static_cast<char *>(buf);
  while (n > 0) {
    ssize_t got = read(fd, p, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

// The second thread: header, then body, per record, as an agent reads them.
void *Consumer(void *) {
  std::vector<unsigned char> body(kSlot);
  unsigned char header[kHeader];
  uint64_t seen = 0;
  while (seen < gCount) {
    if (!ReadFull(gPipe[0], header, kHeader)) Die("pipe read");
    uint32_t total;
    memcpy(&total, header + 16, sizeof total);
    if (total < kHeader || total > kSlot) {
      fprintf(stderr, "keldlimit: bad record length %u\n", total);
      exit(1);
    }
    if (!ReadFull(gPipe[0], body.data(), total - kHeader)) Die("pipe read");
    ++seen;
  }
  uint64_t end = MonotonicNs();
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  uint64_t cpu = (static_cast<uint64_t>(ru.ru_utime.tv_sec) + static_cast<uint64_t>(ru.ru_stime.tv_sec)) *
                     1000000000u +
                 (static_cast<uint64_t>(ru.ru_utime.tv_usec) + static_cast<uint64_t>(ru.ru_stime.tv_usec)) * 1000u;
  printf("done %llu %llu %llu\n", static_cast<unsigned long long>(end),
         static_cast<unsigned long long>(seen), static_cast<unsigned long long>(cpu));
  fflush(stdout);
  _exit(0);
}

int Bind(int ctx) {
  std::string rel = "/dev/kel/ctx" + std::to_string(ctx);
  std::string path = SimRoot_Path(rel.c_str());
  SimRoot_MakeParents(rel.c_str());
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die("socket");
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    Die(path.c_str());
  }
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) Die(path.c_str());
  return fd;
}

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--count") == 0) gCount = strtoull(argv[i + 1], nullptr, 10);
  }
  if (gCount == 0) {
    fprintf(stderr, "usage: keldlimit --count N   (binds $KELD_ROOT/dev/kel/ctx0..23)\n");
    return 2;
  }
  struct pollfd fds[kContexts];
  for (int i = 0; i < kContexts; ++i) fds[i] = {Bind(i), POLLIN, 0};
  if (pipe(gPipe) != 0) Die("pipe");
  pthread_t consumer;
  if (pthread_create(&consumer, nullptr, Consumer, nullptr) != 0) Die("pthread_create");

  std::vector<unsigned char> slots(kBatch * kSlot);
  struct mmsghdr msgs[kBatch];
  struct iovec iov[kBatch];
  for (int i = 0; i < kBatch; ++i) {
    iov[i] = {&slots[i * kSlot], kSlot};
    memset(&msgs[i], 0, sizeof msgs[i]);
    msgs[i].msg_hdr.msg_iov = &iov[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }
  printf("ready\n");
  fflush(stdout);
  for (;;) {
    if (poll(fds, kContexts, -1) < 0) {
      if (errno == EINTR) continue;
      Die("poll");
    }
    for (int c = 0; c < kContexts; ++c) {
      if ((fds[c].revents & POLLIN) == 0) continue;
      int n = recvmmsg(fds[c].fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
      for (int m = 0; m < n; ++m) {
        if (write(gPipe[1], &slots[m * kSlot], msgs[m].msg_len) < 0) Die("pipe write");
      }
    }
  }
}
