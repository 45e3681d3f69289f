#include "rtnl.h"

#include <net/if.h>
// After <net/if.h>: the kernel's link headers must not bring their own copy
// of the interface flags.
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The kernel's "lower layer up" interface flag (carrier), which the C
// library's interface header does not name.
constexpr unsigned kLowerUp = 1u << 16;

std::string Errno(const char *what) { return std::string(what) + ": " + strerror(errno); }

// Calls `each(type, payload, length)` for every attribute inside [data, data + length).
template <typename F>
void ForEachAttr(const unsigned char *data, size_t length, F each) {
  while (length >= sizeof(rtattr)) {
    rtattr attr;
    memcpy(&attr, data, sizeof attr);
    if (attr.rta_len < sizeof(rtattr) || attr.rta_len > length) return;
    each(attr.rta_type & NLA_TYPE_MASK, data + RTA_LENGTH(0), attr.rta_len - RTA_LENGTH(0));
    size_t step = RTA_ALIGN(attr.rta_len);
    if (step >= length) return;
    data += step;
    length -= step;
  }
}

void ParseLink(const nlmsghdr &header, const unsigned char *payload, size_t length,
               const std::function<void(const LinkInfo &)> &onLink,
               const std::function<void(int)> &onRemoved) {
  if (length < sizeof(ifinfomsg)) return;
  ifinfomsg info;
  memcpy(&info, payload, sizeof info);
  if (header.nlmsg_type == RTM_DELLINK) {
    onRemoved(info.ifi_index);
    return;
  }
  LinkInfo link;
  link.index = info.ifi_index;
  link.carrier = (info.ifi_flags & kLowerUp) != 0 && (info.ifi_flags & IFF_UP) != 0;
  size_t offset = NLMSG_ALIGN(sizeof(ifinfomsg));
  if (offset > length) return;
  ForEachAttr(payload + offset, length - offset, [&](int type, const unsigned char *p, size_t n) {
    if (type == IFLA_IFNAME) {
      link.name.assign(reinterpret_cast<const char *>(p), strnlen(reinterpret_cast<const char *>(p), n));
    } else if (type == IFLA_MASTER && n >= 4) {
      uint32_t master;
      memcpy(&master, p, 4);
      link.master = static_cast<int>(master);
    } else if (type == IFLA_LINKINFO) {
      ForEachAttr(p, n, [&](int inner, const unsigned char *q, size_t m) {
        if (inner == IFLA_INFO_KIND) {
          link.bridge = strncmp(reinterpret_cast<const char *>(q), "bridge", m) == 0 && m >= 6;
        }
      });
    }
  });
  if (!link.name.empty()) onLink(link);
}

}  // namespace

void Rtnl_ParseMessages(const void *data, size_t length,
                        const std::function<void(const LinkInfo &)> &onLink,
                        const std::function<void(int)> &onRemoved) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  while (length >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    memcpy(&header, p, sizeof header);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > length) return;
    if (header.nlmsg_type == RTM_NEWLINK || header.nlmsg_type == RTM_DELLINK) {
      ParseLink(header, p + NLMSG_HDRLEN, header.nlmsg_len - NLMSG_HDRLEN, onLink, onRemoved);
    }
    size_t step = NLMSG_ALIGN(header.nlmsg_len);
    if (step >= length) return;
    p += step;
    length -= step;
  }
}

Rtnl::~Rtnl() {
  if (fd_ >= 0) close(fd_);
}

bool Rtnl::Open(std::string *error) {
  fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd_ < 0) {
    *error = Errno("netlink socket");
    return false;
  }
  int size = 1 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    *error = Errno("netlink bind");
    return false;
  }
  return true;
}

bool Rtnl::RequestDump(std::string *error) {
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.info.ifi_family = AF_UNSPEC;
  if (send(fd_, &request, sizeof request, 0) < 0) {
    *error = Errno("netlink dump request");
    return false;
  }
  return true;
}

bool Rtnl::Receive(const std::function<void(const LinkInfo &)> &onLink,
                   const std::function<void(int)> &onRemoved, std::string *error) {
  alignas(nlmsghdr) static unsigned char buffer[64 * 1024];
  for (;;) {
    ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
      if (errno == EINTR) continue;
      *error = Errno("netlink receive");
      return false;
    }
    Rtnl_ParseMessages(buffer, static_cast<size_t>(n), onLink, onRemoved);
  }
}

bool Rtnl::SetLinkDown(const std::string &name, std::string *error) {
  unsigned index = if_nametoindex(name.c_str());
  if (index == 0) {
    *error = Errno(("interface " + name).c_str());
    return false;
  }
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) {
    *error = Errno("netlink socket");
    return false;
  }
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_NEWLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  request.header.nlmsg_seq = 1;
  request.info.ifi_family = AF_UNSPEC;
  request.info.ifi_index = static_cast<int>(index);
  request.info.ifi_change = IFF_UP;
  request.info.ifi_flags = 0;
  bool ok = false;
  if (send(fd, &request, sizeof request, 0) < 0) {
    *error = Errno("netlink set link");
  } else {
    alignas(nlmsghdr) unsigned char answer[4096];
    ssize_t n = recv(fd, answer, sizeof answer, 0);
    nlmsghdr header;
    nlmsgerr ack;
    if (n < static_cast<ssize_t>(NLMSG_HDRLEN + sizeof ack)) {
      *error = "netlink set link: no acknowledgement";
    } else {
      memcpy(&header, answer, sizeof header);
      memcpy(&ack, answer + NLMSG_HDRLEN, sizeof ack);
      if (header.nlmsg_type != NLMSG_ERROR) {
        *error = "netlink set link: unexpected answer";
      } else if (ack.error != 0) {
        errno = -ack.error;
        *error = Errno("netlink set link");
      } else {
        ok = true;
      }
    }
  }
  close(fd);
  return ok;
}
