// keldlimit: the machine's limit for keld's data path, with every part of
// that path but the correlation. It binds the 24 kernel context sockets
// under $KELD_ROOT (the same paths keld binds, so the same flooder drives
// both) and then does what keld does with a record, only less:
//
//   - the main thread polls the contexts and reads each ready one in batches
//     (recvmmsg), appending every record to the buffer of its stream (one
//     stream per observation domain, as keld has one agent per domain); at
//     the end of the poll round each stream's buffer goes into its pipe with
//     one write;
//   - one reader thread per stream reads its pipe in large chunks, splits the
//     chunk into records by their header's length, and writes one log line
//     per record ("[stream] <time>us: [<id>] <format>") into R/var/log/syslog,
//     the lines of a chunk together in one write.
//
// No record is decoded beyond its header, identifier and format text, no
// argument is formatted and nothing is looked up: keld cannot do this path
// with less work, so keld's throughput over this one is at most 1.
//
// Prints "ready" once the sockets are bound, then, after `--count` records
// have been logged, one line:
//   done <monotonic ns of the last log write> <records> <user+system CPU ns>
// and exits.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/kelLib.h"
#include "platform/simRoot.h"

namespace {

constexpr int kContexts = KEL_NUM_KERNEL_CONTEXTS;
constexpr int kBatch = 64;            // datagrams per recvmmsg
constexpr int kReadsPerWake = 16;     // batches per context and poll round, as keld
constexpr size_t kSlot = 4096;        // room for one datagram of the flood
constexpr size_t kMaxStreams = 16;    // domains beyond this share streams
constexpr size_t kChunk = 256 * 1024; // a reader's pipe read

uint64_t gCount = 0;
std::atomic<uint64_t> gLogged{0};
int gLog = -1;

[[noreturn]] void Die(const char *what) {
  fprintf(stderr, "keldlimit: %s: %s\n", what, strerror(errno));
  exit(1);
}

uint64_t MonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint32_t U32At(const unsigned char *p, size_t offset) {
  uint32_t v;
  memcpy(&v, p + offset, sizeof v);
  return v;
}

void WriteAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t done = write(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) Die("write");
    p += done;
    n -= static_cast<size_t>(done);
  }
}

void Finish() {
  uint64_t end = MonotonicNs();
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  uint64_t cpu = (static_cast<uint64_t>(ru.ru_utime.tv_sec) + static_cast<uint64_t>(ru.ru_stime.tv_sec)) *
                     1000000000u +
                 (static_cast<uint64_t>(ru.ru_utime.tv_usec) + static_cast<uint64_t>(ru.ru_stime.tv_usec)) * 1000u;
  printf("done %llu %llu %llu\n", static_cast<unsigned long long>(end),
         static_cast<unsigned long long>(gLogged.load()), static_cast<unsigned long long>(cpu));
  fflush(stdout);
  _exit(0);
}

// One stream: the main thread's pending bytes, the pipe, and its reader.
struct Stream {
  std::string name;
  int pipe[2] = {-1, -1};
  std::vector<unsigned char> pending;
};

// The reader of one stream: whole records out of each chunk, one log line
// each, the chunk's lines in one write.
void Reader(Stream *s) {
  std::vector<unsigned char> buf(kChunk + kSlot);
  size_t held = 0;  // bytes of a record cut by the previous read
  std::string lines;
  for (;;) {
    ssize_t got = read(s->pipe[0], buf.data() + held, kChunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) Die("pipe read");
    size_t end = held + static_cast<size_t>(got), at = 0;
    uint64_t records = 0;
    lines.clear();
    while (end - at >= KEL_RECORD_HEADER_SIZE) {
      const unsigned char *r = buf.data() + at;
      uint32_t total = U32At(r, KEL_RECORD_OFF_TOTAL_LENGTH), idLen = U32At(r, KEL_RECORD_OFF_ID_LENGTH),
               fmtLen = U32At(r, KEL_RECORD_OFF_FMT_LENGTH);
      if (total < KEL_RECORD_HEADER_SIZE || total > kSlot ||
          uint64_t{KEL_RECORD_HEADER_SIZE} + idLen + fmtLen > total) {
        fprintf(stderr, "keldlimit: bad record length %u\n", total);
        exit(1);
      }
      if (end - at < total) break;
      const char *id = reinterpret_cast<const char *>(r + KEL_RECORD_HEADER_SIZE);
      const char *fmt = id + idLen;
      uint64_t us;
      memcpy(&us, r + KEL_RECORD_OFF_TIMESTAMP, sizeof us);
      char prefix[64];
      int n = snprintf(prefix, sizeof prefix, "[%s] %lluus: [", s->name.c_str(), static_cast<unsigned long long>(us));
      lines.append(prefix, static_cast<size_t>(n));
      lines.append(id, strnlen(id, idLen));
      lines.append("] ", 2);
      lines.append(fmt, strnlen(fmt, fmtLen));
      lines += '\n';
      at += total;
      ++records;
    }
    memmove(buf.data(), buf.data() + at, end - at);
    held = end - at;
    if (!lines.empty()) WriteAll(gLog, lines.data(), lines.size());
    if (gLogged.fetch_add(records) + records >= gCount) Finish();
  }
}

int Bind(int ctx) {
  std::string rel = "/dev/kel/ctx" + std::to_string(ctx);
  std::string path = SimRoot_Path(rel.c_str());
  SimRoot_MakeParents(rel.c_str());
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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

// The observation's domain: the ID's second component ("net" of
// "kel.net.hynic.linkstate.down").
std::string_view DomainOf(const unsigned char *record, size_t length) {
  uint32_t idLen = U32At(record, KEL_RECORD_OFF_ID_LENGTH);
  if (length < KEL_RECORD_HEADER_SIZE || idLen > length - KEL_RECORD_HEADER_SIZE) return "";
  const char *id = reinterpret_cast<const char *>(record + KEL_RECORD_HEADER_SIZE);
  size_t n = strnlen(id, idLen);
  const char *first = static_cast<const char *>(memchr(id, '.', n));
  if (first == nullptr) return "";
  ++first;
  const char *second = static_cast<const char *>(memchr(first, '.', n - static_cast<size_t>(first - id)));
  return std::string_view(first, second ? static_cast<size_t>(second - first) : n - static_cast<size_t>(first - id));
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
  SimRoot_MakeParents("/var/log/syslog");
  gLog = open(SimRoot_Path("/var/log/syslog").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (gLog < 0) Die("log file");
  struct pollfd fds[kContexts];
  for (int i = 0; i < kContexts; ++i) fds[i] = {Bind(i), POLLIN, 0};

  std::vector<std::unique_ptr<Stream>> streams;
  std::vector<std::pair<std::string, Stream *>> byDomain;  // a handful: searched in order
  auto streamFor = [&](std::string_view domain) {
    for (const auto &entry : byDomain) {
      if (entry.first == domain) return entry.second;
    }
    Stream *s;
    if (streams.size() < kMaxStreams) {
      streams.push_back(std::make_unique<Stream>());
      s = streams.back().get();
      s->name = domain.empty() ? "nodomain" : std::string(domain);
      if (pipe2(s->pipe, O_CLOEXEC) != 0) Die("pipe");
      std::thread(Reader, s).detach();
    } else {
      s = streams[byDomain.size() % kMaxStreams].get();
    }
    byDomain.emplace_back(std::string(domain), s);
    return s;
  };

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
      for (int reads = 0; reads < kReadsPerWake; ++reads) {
        int n = recvmmsg(fds[c].fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
        for (int m = 0; m < n; ++m) {
          const unsigned char *rec = &slots[static_cast<size_t>(m) * kSlot];
          if (msgs[m].msg_len < KEL_RECORD_HEADER_SIZE) continue;
          std::vector<unsigned char> &out = streamFor(DomainOf(rec, msgs[m].msg_len))->pending;
          out.insert(out.end(), rec, rec + msgs[m].msg_len);
        }
        if (n < kBatch) break;
      }
    }
    // One write per stream and round.
    for (auto &s : streams) {
      if (s->pending.empty()) continue;
      WriteAll(s->pipe[1], reinterpret_cast<const char *>(s->pending.data()), s->pending.size());
      s->pending.clear();
    }
  }
}
