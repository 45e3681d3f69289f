// Observation library of the stand-in host.
//
// Kernel contexts are Unix datagram sockets bound at R/dev/kel/ctx<N>; one
// datagram is one observation record. The user context is a Unix seqpacket
// listener at R/var/run/ombrel/kel-user.sock; every accepted connection
// carries one record per message. Records from sockets are untrusted: each is
// validated before it is handed out, and a bad one is dropped.
//
// Kernel contexts are read in batches: each recvmmsg() takes up to 16 waiting
// datagrams (as many as the caller's buffer has room for, at 512 bytes each)
// into staging slots, each large enough for any record a reader can take, and
// the records that the caller's buffer cannot hold yet wait in the context's
// backlog, ahead of the socket's queue, for the next read. So a read
// costs one system call per batch instead of two per record (a peek for the
// size, then the record). User connections are read one message at a time.
//
// Shared state: the per-descriptor counts of dropped records, guarded by
// dropMutex (touched only when a record is dropped or a descriptor closed);
// the kernel contexts' backlogs, guarded by contextMutex.
#include "platform/kelLib.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "msgFmtInternal.h"
#include "platform/simRoot.h"
#include "platform/sysLog.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "records are little-endian");

struct KelLibContext {
  int fd = -1;
  bool user = false;
  std::string name;
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
};

struct KelObservation {
  unsigned char *record;
  uint32_t length;
  const char *id;
  const char *format;
  const unsigned char *block;  // argument block, not necessarily aligned
  size_t blockLen;
  uint32_t numArgs;
};

namespace {

const char kUserSocketPath[] = "/var/run/ombrel/kel-user.sock";
// Bounds on the work of one call, so that a sender that never stops cannot
// keep the reader inside a read or a reset for ever.
const int kMaxDatagramsPerRead = 4096;
const int kMaxDatagramsPerReset = 65536;

std::mutex dropMutex;
std::unordered_map<int, uint64_t> dropCounts;  // guarded by dropMutex

// Datagrams per recvmmsg() (a context's queue holds net.unix.max_dgram_qlen,
// 10 by default) and the staging slot of each: a datagram larger than the
// biggest record any reader takes arrives truncated and is never delivered.
const unsigned kBatch = 16;
const size_t kSlotSize = KELLIB_MAX_USER_RECORD;
const uint32_t kTypicalRecord = 512;

// What a kernel context has received but not yet handed out.
struct DatagramBacklog {
  std::deque<std::vector<unsigned char>> records;  // whole, valid, in arrival order
  bool oversize = false;  // a datagram beyond kSlotSize came next: 27 until a reset
};

std::mutex contextMutex;
std::unordered_map<int, DatagramBacklog> backlogs;  // guarded by contextMutex; one per open kernel context

uint32_t ReadU32(const unsigned char *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// What a valid record holds, pointing into it.
struct RecordView {
  const char *id;
  const char *format;
  const unsigned char *block;
  size_t blockLen;
  uint32_t numArgs;
};

// Checks one record of `length` bytes. Null when it is well formed (and
// *view filled), otherwise the reason it is not.
const char *CheckRecord(const unsigned char *rec, size_t length, RecordView *view) {
  if (length < KEL_RECORD_HEADER_SIZE) return "shorter than the header";
  if (ReadU32(rec + KEL_RECORD_OFF_TOTAL_LENGTH) != length) return "total length differs from its size";
  uint64_t idLen = ReadU32(rec + KEL_RECORD_OFF_ID_LENGTH);
  uint64_t fmtLen = ReadU32(rec + KEL_RECORD_OFF_FMT_LENGTH);
  uint64_t numArgs = ReadU32(rec + KEL_RECORD_OFF_NUM_ARGS);
  uint64_t blockStart = KEL_RECORD_HEADER_SIZE + idLen + fmtLen;
  if (blockStart > length) return "identifier or format area outside the record";
  const unsigned char *id = rec + KEL_RECORD_HEADER_SIZE;
  const unsigned char *fmt = id + idLen;
  if (idLen == 0 || !memchr(id, '\0', idLen)) return "identifier not terminated in its area";
  if (fmtLen == 0 || !memchr(fmt, '\0', fmtLen)) return "format not terminated in its area";
  size_t blockLen = length - blockStart;
  if (numArgs > blockLen / sizeof(MsgFmt_Arg)) return "argument records outside the record";
  const unsigned char *block = rec + blockStart;
  if (!msgfmt::ValidateSwizzledBlock(block, blockLen, numArgs)) return "bad argument type or string";
  if (view) {
    *view = {reinterpret_cast<const char *>(id), reinterpret_cast<const char *>(fmt), block,
             blockLen, static_cast<uint32_t>(numArgs)};
  }
  return nullptr;
}

void NoteDrop(int fd, const char *reason) {
  uint64_t count;
  {
    std::lock_guard<std::mutex> lock(dropMutex);
    count = ++dropCounts[fd];
  }
  if (count == 1 || count % 1000 == 0) {
    SysLog_Log(LOG_WARNING,
               "kel: dropped a malformed observation record on descriptor %d (%s); "
               "%llu dropped so far\n",
               fd, reason, static_cast<unsigned long long>(count));
  }
}

void ForgetDrops(int fd) {
  std::lock_guard<std::mutex> lock(dropMutex);
  dropCounts.erase(fd);
}

bool IsSeqpacket(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_SEQPACKET;
}

// True when the peer of connection `fd` has closed it or shut down its
// sending side: a read of 0 bytes is then the end of file, not an empty
// message.
bool PeerEnded(int fd) {
  struct pollfd p = {fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP)) != 0;
}

// Consumes the next message whatever its size.
void DiscardNext(int fd) {
  char byte;
  while (recv(fd, &byte, sizeof byte, MSG_DONTWAIT | MSG_TRUNC) < 0 && errno == EINTR) {
  }
}

// Creates a socket of `type` bound at the rooted `absolutePath`, replacing a
// stale socket file. 0 and the context, else an errno value.
uint32_t OpenBound(int type, const char *absolutePath, const std::string &name, bool user,
                   KelLib_Handle *handleOut) {
  if (!handleOut) return EINVAL;
  *handleOut = nullptr;
  std::string path = SimRoot_Path(absolutePath);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return ENAMETOOLONG;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  SimRoot_MakeParents(absolutePath);
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return static_cast<uint32_t>(errno);
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return static_cast<uint32_t>(errno);
  struct stat st;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      (user && listen(fd, SOMAXCONN) != 0) || stat(path.c_str(), &st) != 0) {
    uint32_t status = static_cast<uint32_t>(errno);
    close(fd);
    return status;
  }
  chmod(path.c_str(), 0666);  // local senders of any user may write
  KelLibContext *ctx = new (std::nothrow) KelLibContext;
  if (!ctx) {
    close(fd);
    unlink(path.c_str());
    return ENOMEM;
  }
  ctx->fd = fd;
  ctx->user = user;
  ctx->name = name;
  ctx->path = path;
  ctx->dev = st.st_dev;
  ctx->ino = st.st_ino;
  *handleOut = ctx;
  return 0;
}

}  // namespace

// --- Contexts ---------------------------------------------------------------------

uint32_t KelLib_AsyncContextOpen(uint32_t id, KelLib_Handle *handleOut) {
  if (id >= KEL_NUM_KERNEL_CONTEXTS) return EINVAL;
  std::string path = "/dev/kel/ctx" + std::to_string(id);
  uint32_t status = OpenBound(SOCK_DGRAM, path.c_str(), "ctx" + std::to_string(id), false, handleOut);
  if (status == 0) {
    std::lock_guard<std::mutex> lock(contextMutex);
    backlogs[(*handleOut)->fd] = DatagramBacklog();
  }
  return status;
}

uint32_t KelLib_UserContextOpen(uint32_t id, KelLib_Handle *handleOut) {
  if (id != KEL_USER_CONTEXT_ID) return EINVAL;
  // Non-blocking, so that accepting a connection that went away meanwhile
  // fails instead of waiting.
  return OpenBound(SOCK_SEQPACKET | SOCK_NONBLOCK, kUserSocketPath, "user", true, handleOut);
}

uint32_t KelLib_HandleToFd(KelLib_Handle handle, int *fdOut) {
  if (!handle || !fdOut) return EINVAL;
  *fdOut = handle->fd;
  return 0;
}

uint32_t KelLib_HandleToName(KelLib_Handle handle, const char **nameOut) {
  if (!handle || !nameOut) return EINVAL;
  *nameOut = handle->name.c_str();
  return 0;
}

uint32_t KelLib_UserContextNewCnx(KelLib_Handle userHandle, int *fdOut) {
  if (!userHandle || !userHandle->user || !fdOut) return EINVAL;
  int fd;
  do {
    fd = accept4(userHandle->fd, nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return static_cast<uint32_t>(errno);
  ForgetDrops(fd);  // a reused descriptor number starts a fresh count
  *fdOut = fd;
  return 0;
}

int32_t KelLib_UserContextCloseCnx(int fd) {
  ForgetDrops(fd);
  if (close(fd) != 0) return errno > 0 ? -errno : -1;
  return 0;
}

namespace {

// Staging slots for recvmmsg(), one set per reading thread. Only the bytes a
// datagram fills are ever touched, so the slots' size costs address space,
// not memory.
unsigned char *StagingSlots() {
  thread_local std::unique_ptr<unsigned char[]> slots(new (std::nothrow) unsigned char[kBatch * kSlotSize]);
  return slots.get();  // NOLINT(clang-analyzer-cplusplus.NewDelete): freed only when the thread ends
}

// The batched read of a kernel context (see the note at the top).
uint32_t ReadDatagrams(int fd, DatagramBacklog &backlog, unsigned char *out, uint32_t size,
                       uint32_t *countOut) {
  unsigned char *slots = StagingSlots();
  if (!slots) return ENOMEM;
  struct mmsghdr msgs[kBatch];
  struct iovec iov[kBatch];
  uint32_t used = 0;
  for (int examined = 0; examined < kMaxDatagramsPerRead;) {
    while (!backlog.records.empty()) {
      const std::vector<unsigned char> &rec = backlog.records.front();
      if (rec.size() > size - used) {
        *countOut = used;
        return used > 0 ? 0u : static_cast<uint32_t>(KELLIB_STATUS_TOO_BIG);
      }
      memcpy(out + used, rec.data(), rec.size());
      used += static_cast<uint32_t>(rec.size());
      backlog.records.pop_front();
    }
    if (backlog.oversize) {
      *countOut = used;
      return used > 0 ? 0u : static_cast<uint32_t>(KELLIB_STATUS_TOO_BIG);
    }
    for (unsigned i = 0; i < kBatch; ++i) {
      iov[i] = {slots + i * kSlotSize, kSlotSize};
      memset(&msgs[i], 0, sizeof msgs[i]);
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    // Records up to kTypicalRecord bytes all fit in what the caller has left,
    // so that the backlog is only ever used by larger ones.
    unsigned vlen = std::max(1u, std::min(kBatch, static_cast<unsigned>((size - used) / kTypicalRecord)));
    int n = recvmmsg(fd, msgs, vlen, MSG_DONTWAIT, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || used > 0) break;
      return static_cast<uint32_t>(errno);
    }
    examined += n;
    for (int i = 0; i < n; ++i) {
      const unsigned char *rec = slots + static_cast<size_t>(i) * kSlotSize;
      size_t len = msgs[i].msg_len;
      if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) {
        // Nothing behind it can be handed out before the reader resets the
        // context, which discards all that waits anyway.
        backlog.oversize = true;
        break;
      }
      const char *reason = len == 0 ? "empty datagram" : CheckRecord(rec, len, nullptr);
      if (reason) {
        NoteDrop(fd, reason);
      } else if (backlog.records.empty() && len <= size - used) {
        memcpy(out + used, rec, len);
        used += static_cast<uint32_t>(len);
      } else {
        backlog.records.emplace_back(rec, rec + len);
      }
    }
    // A short batch emptied the queue; what arrives meanwhile makes the
    // descriptor readable again.
    if (n < static_cast<int>(vlen) && backlog.records.empty() && !backlog.oversize) break;
  }
  *countOut = used;
  return 0;
}

}  // namespace

uint32_t KelLib_ReadFromFd(int fd, void *buffer, uint32_t size, uint32_t *countOut) {
  if (!countOut) return EINVAL;
  *countOut = 0;
  if (!buffer && size > 0) return EINVAL;
  unsigned char *out = static_cast<unsigned char *>(buffer);
  {
    std::lock_guard<std::mutex> lock(contextMutex);
    auto it = backlogs.find(fd);
    if (it != backlogs.end()) return ReadDatagrams(fd, it->second, out, size, countOut);
  }
  uint32_t used = 0;
  for (int examined = 0; examined < kMaxDatagramsPerRead; ++examined) {
    char probe;
    ssize_t next = recv(fd, &probe, sizeof probe, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (next < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || used > 0) break;
      return static_cast<uint32_t>(errno);
    }
    if (next == 0) {
      // End of file on a connection, an empty message on a connection, or
      // an empty datagram on a context. An end of file is not consumed by
      // reading: it stays and is reported on every read.
      if (IsSeqpacket(fd) && PeerEnded(fd)) {
        if (used > 0) break;
        return ECONNRESET;
      }
      DiscardNext(fd);
      NoteDrop(fd, IsSeqpacket(fd) ? "empty message" : "empty datagram");
      continue;
    }
    if (static_cast<size_t>(next) > size - used) {
      if (used > 0) break;
      if (static_cast<size_t>(next) > KELLIB_MAX_USER_RECORD && IsSeqpacket(fd)) {
        DiscardNext(fd);
        NoteDrop(fd, "larger than any reader takes");
        continue;
      }
      return KELLIB_STATUS_TOO_BIG;
    }
    ssize_t got = recv(fd, out + used, static_cast<size_t>(next), MSG_DONTWAIT | MSG_TRUNC);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || used > 0) break;
      return static_cast<uint32_t>(errno);
    }
    const char *reason = got == next ? CheckRecord(out + used, static_cast<size_t>(got), nullptr)
                                     : "size changed while it was read";
    if (reason) {
      NoteDrop(fd, reason);
      continue;
    }
    used += static_cast<uint32_t>(got);
  }
  *countOut = used;
  return 0;
}

bool KelLib_HasPending(KelLib_Handle handle) {
  if (!handle || handle->user) return false;
  std::lock_guard<std::mutex> lock(contextMutex);
  auto it = backlogs.find(handle->fd);
  // A datagram too big for any reader was taken off the socket already: the
  // next read says so (27) at once, and the reader resets the context now,
  // not when some later record makes the descriptor readable.
  return it != backlogs.end() && (!it->second.records.empty() || it->second.oversize);
}

uint32_t KelLib_Reset(KelLib_Handle handle) {
  if (!handle) return EINVAL;
  if (handle->user) return 0;  // the listener holds no records
  {
    std::lock_guard<std::mutex> lock(contextMutex);
    auto it = backlogs.find(handle->fd);
    if (it != backlogs.end()) it->second = DatagramBacklog();
  }
  char byte;
  for (int i = 0; i < kMaxDatagramsPerReset; ++i) {
    if (recv(handle->fd, &byte, sizeof byte, MSG_DONTWAIT | MSG_TRUNC) < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return static_cast<uint32_t>(errno);
    }
  }
  return 0;
}

uint32_t KelLib_Close(KelLib_Handle handle) {
  if (!handle) return EINVAL;
  ForgetDrops(handle->fd);
  {
    std::lock_guard<std::mutex> lock(contextMutex);
    backlogs.erase(handle->fd);
  }
  uint32_t status = close(handle->fd) == 0 ? 0 : static_cast<uint32_t>(errno);
  // Remove the socket file unless another process has bound the path since.
  struct stat st;
  if (stat(handle->path.c_str(), &st) == 0 && st.st_dev == handle->dev && st.st_ino == handle->ino) {
    unlink(handle->path.c_str());
  }
  delete handle;
  return status;
}

// --- Observations -------------------------------------------------------------------

void Kel_MakeKel(void *buffer, uint32_t length, Observation *obsOut) {
  if (!obsOut) return;
  *obsOut = nullptr;
  if (!buffer) return;
  unsigned char *rec = static_cast<unsigned char *>(buffer);
  RecordView view;
  if (CheckRecord(rec, length, &view)) return;
  KelObservation *obs = new (std::nothrow) KelObservation;
  if (!obs) return;
  *obs = {rec, length, view.id, view.format, view.block, view.blockLen, view.numArgs};
  *obsOut = obs;
}

void Kel_Free(Observation obs) {
  if (!obs) return;
  free(obs->record);
  delete obs;
}

uint32_t Kel_GetID(Observation obs, const char **idOut) {
  if (!obs || !idOut) return EINVAL;
  *idOut = obs->id;
  return 0;
}

uint32_t Kel_GetFormat(Observation obs, const char **fmtOut) {
  if (!obs || !fmtOut) return EINVAL;
  *fmtOut = obs->format;
  return 0;
}

uint32_t Kel_GetNumArgs(Observation obs, uint32_t *numOut) {
  if (!obs || !numOut) return EINVAL;
  *numOut = obs->numArgs;
  return 0;
}

uint32_t Kel_GetTimestamp(Observation obs, uint64_t *tsOut) {
  if (!obs || !tsOut) return EINVAL;
  memcpy(tsOut, obs->record + KEL_RECORD_OFF_TIMESTAMP, sizeof *tsOut);
  return 0;
}

uint32_t Kel_GetMsg(Observation obs, char **msgOut, size_t *lengthOut) {
  return Kel_GetMsgBounded(obs, SIZE_MAX, msgOut, lengthOut, nullptr);
}

uint32_t Kel_GetMsgBounded(Observation obs, size_t limit, char **msgOut, size_t *lengthOut,
                           bool *truncatedOut) {
  if (!obs || !msgOut) return EINVAL;
  *msgOut = nullptr;
  try {
    // Aligned copies of the argument records, their strings resolved to
    // pointers into the observation's own (untouched) bytes. A few records
    // fit on the stack; only the records are copied, never the strings.
    MsgFmt_Arg small[8];
    std::vector<MsgFmt_Arg> large;
    MsgFmt_Arg *args = small;
    if (obs->numArgs > 8) {
      large.resize(obs->numArgs);
      args = large.data();
    }
    int numArgs = static_cast<int>(obs->numArgs);
    if (!MsgFmt_ResolveArgs(reinterpret_cast<const MsgFmt_Arg *>(obs->block), numArgs,
                            obs->block + obs->blockLen, args)) {
      return EINVAL;
    }
    *msgOut = MsgFmt_Asnprintf(lengthOut, limit, truncatedOut, obs->format, args, numArgs);
  } catch (const std::bad_alloc &) {
    return ENOMEM;
  }
  return *msgOut ? 0 : EINVAL;
}

namespace {

bool ArgAt(Observation obs, uint64_t index, MsgFmt_Arg *arg) {
  if (!obs || index >= obs->numArgs) return false;
  *arg = msgfmt::LoadArg(obs->block, static_cast<size_t>(index));
  return true;
}

bool StringAt(Observation obs, uint64_t index, const char **str) {
  MsgFmt_Arg arg;
  return ArgAt(obs, index, &arg) && arg.type == MSGFMT_ARG_STRING8 &&
         msgfmt::SwizzledStringAt(obs->block, obs->blockLen, obs->numArgs, arg, str);
}

}  // namespace

uint32_t Kel_GetStringArg(Observation obs, uint32_t index, const char **strOut) {
  const char *str;
  if (obs && strOut && index >= obs->numArgs) return EOVERFLOW;
  if (!strOut || !StringAt(obs, index, &str)) return EINVAL;
  *strOut = str;
  return 0;
}

uint32_t Kel_GetIntArg(Observation obs, uint32_t index, int64_t *valueOut) {
  MsgFmt_Arg arg;
  if (!valueOut || !ArgAt(obs, index, &arg) || !msgfmt::IsIntegerType(arg.type)) return EINVAL;
  *valueOut = msgfmt::IntegerValue(arg);
  return 0;
}

uint32_t Kel_GetArgsVA(Observation obs, uint32_t first, const char *format, va_list args) {
  if (!obs || !format) return EINVAL;
  uint32_t status = 0;
  uint64_t index = first;
  va_list ap;
  va_copy(ap, args);
  for (const char *p = format; *p;) {
    if (*p != '%') {
      ++p;
      continue;
    }
    msgfmt::Conversion cv;
    p = msgfmt::ParseConversion(p, &cv);
    if (!p || cv.widthStar || cv.precisionStar) {
      status = EINVAL;
      break;
    }
    if (cv.letter == '%') continue;
    MsgFmt_Arg arg;
    if (!ArgAt(obs, index, &arg)) {
      status = EINVAL;
      break;
    }
    if (cv.letter == 'p' || cv.letter == 's') {
      const char *str;
      if (!StringAt(obs, index, &str)) {
        status = EINVAL;
        break;
      }
      *va_arg(ap, const char **) = str;
    } else if (strchr("fFeEgGaA", cv.letter)) {
      if (arg.type != MSGFMT_ARG_FLOAT64 || cv.len == msgfmt::Len::L) {
        status = EINVAL;
        break;
      }
      *va_arg(ap, double *) = arg.v.float64;
    } else {
      // d i u o x X c: store the low bytes the length modifier names.
      if (!msgfmt::IsIntegerType(arg.type)) {
        status = EINVAL;
        break;
      }
      uint64_t value = static_cast<uint64_t>(msgfmt::IntegerValue(arg));
      size_t bytes = 8;
      if (cv.letter == 'c' || cv.len == msgfmt::Len::hh) bytes = 1;
      else if (cv.len == msgfmt::Len::h) bytes = 2;
      else if (cv.len == msgfmt::Len::None) bytes = 4;
      memcpy(va_arg(ap, void *), &value, bytes);  // little-endian: low bytes first
    }
    ++index;
  }
  va_end(ap);
  return status;
}

uint32_t Kel_GetArgs(Observation obs, uint32_t first, const char *format, ...) {
  va_list args;
  va_start(args, format);
  uint32_t status = Kel_GetArgsVA(obs, first, format, args);
  va_end(args);
  return status;
}

bool Kel_IsID(const char *str, const char *id) {
  return str && id && strcmp(str, id) == 0;
}
