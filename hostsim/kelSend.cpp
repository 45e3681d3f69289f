// Record senders for the tools and the tests. No shared state.
#include "kelSend.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/kelLib.h"
#include "platform/simRoot.h"

namespace {

bool Fail(std::string *error, const std::string &text) {
  if (error) *error = text;
  return false;
}

bool MakeAddress(const std::string &path, sockaddr_un *addr, std::string *error) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return Fail(error, "socket path too long: " + path);
  memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

KelSender::~KelSender() { Close(); }

void KelSender::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool KelSender::OpenKernel(uint32_t ctx, std::string *error) {
  Close();
  if (ctx >= KEL_NUM_KERNEL_CONTEXTS) {
    return Fail(error, "kernel context " + std::to_string(ctx) + " does not exist (0..23)");
  }
  path_ = SimRoot_Path(("/dev/kel/ctx" + std::to_string(ctx)).c_str());
  user_ = false;
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return Fail(error, std::string("socket: ") + strerror(errno));
  return true;
}

bool KelSender::OpenUser(std::string *error) {
  Close();
  path_ = SimRoot_Path("/var/run/ombrel/kel-user.sock");
  user_ = true;
  sockaddr_un addr;
  if (!MakeAddress(path_, &addr, error)) return false;
  fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return Fail(error, std::string("socket: ") + strerror(errno));
  if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    std::string why = strerror(errno);
    Close();
    return Fail(error, "cannot connect to the user context " + path_ + ": " + why);
  }
  return true;
}

bool KelSender::Send(const void *record, size_t length, std::string *error) {
  if (fd_ < 0) return Fail(error, "sender is not open");
  sockaddr_un addr;
  if (!user_ && !MakeAddress(path_, &addr, error)) return false;
  for (;;) {
    ssize_t n = user_ ? send(fd_, record, length, MSG_NOSIGNAL)
                      : sendto(fd_, record, length, MSG_NOSIGNAL,
                               reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    if (n >= 0) return true;
    if (errno == EINTR) continue;
    int err = errno;
    if (!user_ && (err == ENOENT || err == ECONNREFUSED)) {
      return Fail(error, "kernel context socket absent: " + path_);
    }
    return Fail(error, "cannot send to " + path_ + ": " + strerror(err));
  }
}

bool KelSend_ToKernel(uint32_t ctx, const void *record, size_t length, std::string *error) {
  KelSender sender;
  return sender.OpenKernel(ctx, error) && sender.Send(record, length, error);
}

bool KelSend_ToUser(const void *record, size_t length, std::string *error) {
  KelSender sender;
  return sender.OpenUser(error) && sender.Send(record, length, error);
}
