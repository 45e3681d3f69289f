// Helpers of the end-to-end fault tests: a growing log's line counts, a
// stand-in hubd that misbehaves on purpose, process figures from /proc, and
// which sanitizer (if any) the tests were built with.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelRecord.h"
#include "kelSend.h"
#include "keldHost.h"

#ifdef __has_feature
#define KELD_HAS_FEATURE(x) __has_feature(x)
#else
#define KELD_HAS_FEATURE(x) 0
#endif
// Valgrind cannot run sanitizer builds, and under the thread sanitizer keld is
// an order of magnitude slower.
#if defined(__SANITIZE_THREAD__) || KELD_HAS_FEATURE(thread_sanitizer)
constexpr bool kThreadSanitizer = true, kSanitized = true;
#elif defined(__SANITIZE_ADDRESS__) || KELD_HAS_FEATURE(address_sanitizer)
constexpr bool kThreadSanitizer = false, kSanitized = true;
#else
constexpr bool kThreadSanitizer = false, kSanitized = false;
#endif

// Counts the lines of a growing log that hold each needle, reading only what
// was appended since the previous poll (a flood's log runs to 100 MB).
class LogTail {
 public:
  LogTail(std::string path, const std::vector<std::string> &needles) : path_(std::move(path)) {
    for (const std::string &n : needles) counts_[n] = 0;
  }
  size_t Count(const std::string &needle) {
    std::ifstream in(path_, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset_));
    // A last line without its newline is still being written: read it again next time.
    for (std::string line; std::getline(in, line) && !in.eof(); offset_ += line.size() + 1) {
      for (auto &c : counts_) c.second += line.find(c.first) != std::string::npos;
    }
    return counts_.at(needle);
  }
  bool WaitCount(const std::string &needle, size_t count, std::chrono::milliseconds timeout) {
    return KeldHost::WaitFor([&] { return Count(needle) >= count; }, timeout);
  }

 private:
  std::string path_;
  size_t offset_ = 0;
  std::map<std::string, size_t> counts_;
};

inline size_t CountFds(pid_t pid) {
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
  return ec ? 0 : static_cast<size_t>(std::distance(it, end));
}

// A field of /proc/PID/status in kB (VmHWM, VmRSS), or 0.
inline long StatusKb(pid_t pid, const std::string &field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) return std::stol(line.substr(field.size() + 1));
  }
  return 0;
}

// CPU time (user and system) that process `pid` has used so far, in seconds.
inline double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = stat.rfind(')');  // the command name may hold blanks
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields 3 to 13 (state .. cmajflt), then utime (14) and stime (15).
  for (int i = 3; i <= 13 && fields >> field; i++) {
  }
  fields >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline void Figure(const std::string &text) { printf("[ figures ] %s\n", text.c_str()); }

// The tools' senders resolve their paths under KELD_ROOT. Call before starting any thread.
inline void UseRoot(const KeldHost &host) { setenv("KELD_ROOT", host.Root().c_str(), 1); }

inline std::vector<uint8_t> Record(const std::string &id, const std::string &format,
                                   const std::vector<KelArg> &args = {}) {
  return KelRecord_Build(id, format, args, 1);
}

inline bool SendRecord(KelSender &sender, const std::vector<uint8_t> &record) {
  std::string error;
  return sender.Send(record.data(), record.size(), &error);
}

// A socket of `type` connected to `path`, or -1.
inline int ConnectUnix(const std::string &path, int type = SOCK_STREAM) {
  int fd = socket(AF_UNIX, type, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) return fd;
  close(fd);
  return -1;
}

// A connection to keld's user-level context, or -1.
inline int ConnectUser(const KeldHost &host) {
  return ConnectUnix(host.Path("/var/run/ombrel/kel-user.sock"), SOCK_SEQPACKET);
}

// A stand-in hubd on the event socket; accepted connections are kept until the end of the test.
class FakeHubd {
 public:
  enum class Mode { NeverAccept, AcceptNeverRead, CloseAtOnce };
  FakeHubd(const KeldHost &host, Mode mode) {
    std::string path = host.Path("/var/run/ombrel/hubd-vprob.sock");
    std::error_code ignored;
    std::filesystem::create_directories(host.Path("/var/run/ombrel"), ignored);
    unlink(path.c_str());
    listen_ = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    ok_ = bind(listen_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0 && listen(listen_, 0) == 0;
    // A backlog of 0 holds one connection: fill it so that keld's connect waits.
    if (ok_ && mode == Mode::NeverAccept) ok_ = (filler_ = ConnectUnix(path)) >= 0;
    if (!ok_ || mode == Mode::NeverAccept) return;
    acceptor_ = std::thread([this, mode] {
      for (int fd; (fd = accept(listen_, nullptr, nullptr)) >= 0;) {  // ends when the listener is shut down
        std::lock_guard<std::mutex> g(lock_);
        if (mode == Mode::CloseAtOnce) {
          close(fd);
        } else {
          held_.push_back(fd);
        }
      }
    });
  }
  ~FakeHubd() {
    shutdown(listen_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    close(listen_);
    if (filler_ >= 0) close(filler_);
    for (int fd : held_) close(fd);
  }
  FakeHubd(const FakeHubd &) = delete;
  FakeHubd &operator=(const FakeHubd &) = delete;
  bool Ok() const { return ok_; }
  size_t Held() {
    std::lock_guard<std::mutex> g(lock_);
    return held_.size();
  }

 private:
  bool ok_ = false;
  int listen_ = -1, filler_ = -1;
  std::thread acceptor_;
  std::mutex lock_;
  std::vector<int> held_;
};
