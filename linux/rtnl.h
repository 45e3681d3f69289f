// Raw rtnetlink for kelwatch: a dump and the notifications of the machine's
// links, and setting a link administratively down.
//
// Raw netlink rather than a helper library: kelwatch needs two messages
// (link dump and notifications in, one link change out) whose layout the
// kernel's own headers define, so the walk below is short and adds no
// dependency to install. Every length from the socket is checked before use
// (the header macros, attribute lengths against the message end).
#pragma once

#include <functional>
#include <string>

#include "linkTracker.h"

class Rtnl {
 public:
  Rtnl() = default;
  ~Rtnl();
  Rtnl(const Rtnl &) = delete;
  Rtnl &operator=(const Rtnl &) = delete;

  // Opens the socket subscribed to link notifications. False with a reason.
  bool Open(std::string *error);
  int Fd() const { return fd_; }
  // Asks for a dump of every link; the answers arrive through Receive.
  bool RequestDump(std::string *error);
  // Reads what is waiting (without blocking) and calls `onLink` for every
  // new or changed link and `onRemoved` for every removed one. False when
  // the socket failed (ENOBUFS: notifications were lost; dump again).
  bool Receive(const std::function<void(const LinkInfo &)> &onLink,
               const std::function<void(int)> &onRemoved, std::string *error);

  // Sets the named link down, on a socket of its own. False with a reason.
  static bool SetLinkDown(const std::string &name, std::string *error);

 private:
  int fd_ = -1;
};

// Walks one buffer of netlink messages (exposed for tests and fuzzing).
void Rtnl_ParseMessages(const void *data, size_t length,
                        const std::function<void(const LinkInfo &)> &onLink,
                        const std::function<void(int)> &onRemoved);
