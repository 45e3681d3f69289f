#include "vprobReceiver.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/simRoot.h"

namespace {

const char kSocketPath[] = "/var/run/ombrel/hubd-vprob.sock";
// A client that neither finishes nor closes within this time has sent what it
// is going to send.
const int64_t kReceiveTimeoutMs = 5000;

bool FitsSunPath(const std::string &path) { return path.size() < sizeof(sockaddr_un::sun_path); }

int64_t NowMs() {
  struct timespec now = Clock_Monotonic();
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Reads one connection until EOF, the size cap or the receive timeout.
// False when the client sent more than a record can hold.
bool ReceiveAll(int fd, std::vector<unsigned char> *data) {
  int64_t deadline = NowMs() + kReceiveTimeoutMs;
  unsigned char chunk[4096];
  while (true) {
    int64_t left = deadline - NowMs();
    struct pollfd p = {fd, POLLIN, 0};
    int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return true;  // timed out (or poll failed): take what came
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    data->insert(data->end(), chunk, chunk + got);
    if (data->size() > kVProbMaxRecordBytes) return false;
  }
}

}  // namespace

int VProbReceiver_Listen(const char *tool, std::string *error) {
  std::string path = SimRoot_Path(kSocketPath);
  std::string temp = path.substr(0, path.rfind('/') + 1) + "." + tool + "." + std::to_string(getpid());
  if (!FitsSunPath(path) || !FitsSunPath(temp)) {
    *error = "socket path too long: " + path;
    return -1;
  }
  SimRoot_MakeParents(kSocketPath);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + strerror(errno);
    return -1;
  }
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, temp.c_str(), temp.size() + 1);
  unlink(temp.c_str());
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 128) != 0 ||
      rename(temp.c_str(), path.c_str()) != 0) {
    int failure = errno;
    unlink(temp.c_str());
    close(fd);
    *error = "cannot listen on " + path + ": " + strerror(failure);
    return -1;
  }
  return fd;
}

int VProbReceiver_Next(int listener, std::vector<unsigned char> *data) {
  data->clear();
  int client;
  while ((client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) < 0) {
    if (errno != EINTR && errno != ECONNABORTED) return -1;
  }
  bool whole = ReceiveAll(client, data);
  close(client);
  return whole ? 1 : 0;
}
