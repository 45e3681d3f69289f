// Senders of observation records, for the tools and the tests: to a kernel
// context (a datagram to R/dev/kel/ctx<N>) or over a user connection (a
// seqpacket connection to R/var/run/ombrel/kel-user.sock). One KelSender is
// used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class KelSender {
 public:
  KelSender() = default;
  ~KelSender();
  KelSender(const KelSender &) = delete;
  KelSender &operator=(const KelSender &) = delete;

  // Targets kernel context `ctx` (0..23). No socket file is needed yet; a
  // missing one is reported by Send.
  bool OpenKernel(uint32_t ctx, std::string *error);
  // Connects to the user context now. False with a reason when nobody
  // listens.
  bool OpenUser(std::string *error);
  // Sends one record as one datagram or message. To a kernel context this
  // blocks while the context's queue is full (the socket layer's
  // backpressure). False with a one-line reason on failure.
  bool Send(const void *record, size_t length, std::string *error);
  // Closes the user connection (the peer sees end of file); kernel targets
  // have nothing to close.
  void Close();

 private:
  int fd_ = -1;
  bool user_ = false;
  std::string path_;
};

// One-shot helpers: open, send one record, close.
bool KelSend_ToKernel(uint32_t ctx, const void *record, size_t length, std::string *error);
bool KelSend_ToUser(const void *record, size_t length, std::string *error);
