// The main thread: start-up, the intake loop, shutdown. gIntakeBuffer,
// gContexts, the poll tables and the listener pauses belong to the main
// thread; gExitRequested is written by the signal handler and read by the
// loop.
#include "intake/keldIntake.h"

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "agents/keldAgent.h"
#include "agents/keldTimer.h"
#include "events/keldVprob.h"
#include "intake/keldInstance.h"
#include "intake/keldShutdown.h"
#include "intake/keldStream.h"
#include "log/keldLog.h"
#include "log/keldTrace.h"
#include "platform/clock.h"
#include "platform/hsi.h"
#include "platform/vthreadBase.h"

namespace {

struct ContextEntry {
  uint32_t id;
  KelLib_Handle handle;
};

uint8_t *gIntakeBuffer = nullptr;
uint32_t gIntakeSize = 0;
volatile sig_atomic_t gExitRequested = 0;
bool gAsyncEnable = false;
// The signal mask the main thread waits with: termination signals let
// through (they are blocked otherwise; see RunDaemon).
sigset_t gWaitMask;

void OnSignal(int sig) {
  if (sig != SIGPIPE) gExitRequested = 1;
}

[[noreturn]] void Usage(const char *program) {
  printf("Usage: %s [options]\n", program);
  printf("valid options are:\n");
  printf("\t--help|-h - display this help\n");
  fflush(stdout);
  exit(0);
}

void ParseOptions(int argc, char **argv) {
  static const struct option kLong[] = {
      {"enablekels", no_argument, nullptr, 'e'},
      {"help", no_argument, nullptr, 'h'},
      {"loglevel", required_argument, nullptr, 'l'},
      {"test", no_argument, nullptr, 't'},
      {nullptr, 0, nullptr, 0},
  };
  int c;
  while ((c = getopt_long(argc, argv, "ehl:t", kLong, nullptr)) != -1) {
    if (c == 'e') {
      gAsyncEnable = true;
    } else {
      Usage(argv[0]);
    }
  }
}

// Sets "Misc"/"KelAsyncEnable" to 1. The kernel status converted to errno.
int EnableAsyncKels() {
  uint32_t status = HYK_NO_MEMORY;
  HSI_ParamList *instance = HSI_ParamListCreate(1, 2);
  HSI_ParamList *values = HSI_ParamListCreate(0, 1);
  if (instance != nullptr && values != nullptr) {
    status = HSI_ParamListAddString(instance, "Misc");
    if (status == 0) status = HSI_ParamListAddString(instance, "KelAsyncEnable");
    if (status == 0) status = HSI_ParamListAddInt(values, 1);
    uint32_t scratch = 0;
    if (status == 0) status = HSI_Set(HSI_NODE_config_intOpts, instance, values, &scratch, 4);
  }
  HSI_ParamListDestroy(instance);
  HSI_ParamListDestroy(values);
  return HYK_ReturnStatusToErrno(status);
}

void ResetEntry(struct pollfd &entry) {
  entry.events = POLLIN;
  entry.revents = 0;
}

// A user connection whose next record can never fit gets 27 on every read
// and would be read again forever; it is closed after this many in a row.
constexpr int kMaxOversizeReads = 3;

// Reads of one kernel context per wake-up at most: a sender that keeps one
// context full must not keep the others, the user connections and the
// termination signals waiting. What it still holds is read after the next
// poll, which then does not wait.
constexpr int kMaxReadsPerWake = 16;

// The largest read the intake accepts: a read of more bytes is an error. A
// buffer of INTAKE_MAX_BUFFER bytes is therefore never offered whole to a
// read, or the library could fill it to its last byte with records that are
// each fine and lose them all.
constexpr uint32_t kMaxReadBytes = 0x1ffff;

int64_t MonotonicMillis() {
  struct timespec now = Clock_Monotonic();
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A listener whose accept() fails for want of descriptors (or memory) stays
// readable: watched, it would wake the loop at once, again and again. It is
// taken out of the poll set for kPauseMillis and put back after, so that
// keld takes clients again by itself once descriptors are free. Failures of
// either listener are reported at most once a second, with their count.
constexpr int64_t kPauseMillis = 250;
constexpr int64_t kReportMillis = 1000;

struct ListenerPause {
  const char *what;        // what failed, at the start of the report line
  int fd = -1;             // the listener's descriptor while it is paused
  int64_t resumeAt = 0;    // monotonic milliseconds; 0 while it is watched
  uint64_t unreported = 0;  // failures since this listener's last report line
};

struct AcceptFailures {
  ListenerPause user{"User connection accept()"};
  ListenerPause trace{"Trace accept()"};
  int64_t lastReport = -kReportMillis;  // of either listener

  // Counts a failure of `pause`'s listener, whose poll entry is `entry`;
  // reports it when a second has passed since the last report, and pauses
  // the listener when descriptors or memory ran out.
  void Note(ListenerPause &pause, struct pollfd &entry, int err) {
    pause.unreported++;
    int64_t now = MonotonicMillis();
    if (now - lastReport >= kReportMillis) {
      LogMsg("%s failed: %s (%llu failure%s since the last report)\n", pause.what, strerror(err),
             static_cast<unsigned long long>(pause.unreported), pause.unreported == 1 ? "" : "s");
      pause.unreported = 0;
      lastReport = now;
    }
    if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
      pause.fd = entry.fd;
      pause.resumeAt = now + kPauseMillis;
      entry.fd = -1;  // poll ignores a negative descriptor
    }
  }
  // Puts back the listeners whose pause is over into `table`; returns the
  // milliseconds until the next pause ends (-1 when none is paused).
  int64_t Resume(struct pollfd *table) {
    int64_t now = MonotonicMillis(), wait = -1;
    for (auto p : {std::make_pair(&user, INTAKE_USER_ENTRY), std::make_pair(&trace, INTAKE_TRACE_ENTRY)}) {
      ListenerPause &pause = *p.first;
      if (pause.resumeAt == 0) continue;
      if (pause.resumeAt <= now) {
        table[p.second].fd = pause.fd;
        pause.resumeAt = 0;
      } else if (wait < 0 || pause.resumeAt - now < wait) {
        wait = pause.resumeAt - now;
      }
    }
    return wait;
  }
};

// The fan-out's wait on an agent's full pipe: an agent that is slow (waiting
// on hubd, say) must not keep a termination signal waiting, so the wait lets
// the signals through and gives up once one came.
bool WaitForPipeRoom(int fd) {
  struct pollfd p = {fd, POLLOUT, 0};
  while (!gExitRequested) {
    if (ppoll(&p, 1, nullptr, &gWaitMask) >= 0 || errno != EINTR) return true;
  }
  return false;
}

// One keld per root: the lock is taken before any socket is bound, so that a
// second keld never takes the first one's sockets. False when keld must stop
// (another one runs here); said on stderr and in the log.
bool LockInstance() {
  pid_t holder = 0;
  int err = 0;
  switch (Instance_Lock(&holder, &err)) {
    case INSTANCE_LOCKED:
      return true;
    case INSTANCE_HELD:
      fprintf(stderr, "keld is already running on this root (process %ld); exiting.\n", static_cast<long>(holder));
      LogMsg("keld is already running on this root (process %ld); exiting.\n", static_cast<long>(holder));
      return false;
    case INSTANCE_UNAVAILABLE:
      // A host whose run directory is odd still gets its daemon; it only
      // loses the guard against a second one.
      LogMsg("Cannot lock %s: %s; running without the one-keld-per-root guard.\n", Instance_LockPath(),
             strerror(err));
      return true;
  }
  return true;
}

}  // namespace

uint32_t Intake_BufferSize(void) { return gIntakeSize; }

int32_t Intake_ReadAndDispatch(int fd, KelLib_Handle) {
  uint32_t count = 0;
  for (;;) {
    uint32_t offered = gIntakeSize < kMaxReadBytes ? gIntakeSize : kMaxReadBytes;
    uint32_t status = KelLib_ReadFromFd(fd, gIntakeBuffer, offered, &count);
    if (status == 0) break;
    if (status != KELLIB_STATUS_TOO_BIG) return static_cast<int32_t>(status);
    if (gIntakeSize >= INTAKE_MAX_BUFFER) {
      // The next record alone needs more than kMaxReadBytes. Read with the
      // whole buffer: a record of exactly its size comes back and is refused
      // below as too large (only that record is lost); anything larger stays
      // 27, and the caller resets the context.
      if (offered == gIntakeSize) return KELLIB_STATUS_TOO_BIG;
      status = KelLib_ReadFromFd(fd, gIntakeBuffer, gIntakeSize, &count);
      if (status != 0) return static_cast<int32_t>(status);
      break;
    }
    uint32_t tripled = 3 * gIntakeSize;
    uint32_t newSize = tripled <= 0x3ffff ? tripled / 2 : INTAKE_MAX_BUFFER;
    uint8_t *grown = static_cast<uint8_t *>(realloc(gIntakeBuffer, newSize));
    if (grown == nullptr) return KELLIB_STATUS_TOO_BIG;
    gIntakeBuffer = grown;
    gIntakeSize = newSize;
  }
  if (count == 0 || count > kMaxReadBytes) return -1;
  return Stream_Publish(gIntakeBuffer, static_cast<int32_t>(count));
}

int32_t UserCnx_Close(struct pollfd *table, int *index, int *count) {
  int i = *index;
  int32_t rc = KelLib_UserContextCloseCnx(table[i].fd);
  if (rc < 0) return rc;
  int last = *count - 1;
  if (i < last) {
    table[i] = table[last];
    table[last] = {-1, POLLIN, 0};
    (*index)--;
  } else {
    table[i] = {-1, POLLIN, 0};
  }
  (*count)--;
  return 0;
}

namespace {

// The whole life of the daemon; `withExtras` also starts the extra agents.
int RunDaemon(int argc, char **argv, bool withExtras) {
  ContextEntry contexts[25];
  for (uint32_t i = 0; i < 25; i++) contexts[i] = {i, nullptr};
  if (argc > 1) ParseOptions(argc, argv);
  VThreadBase_SetName("keld");
  if (!LockInstance()) return 1;

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  for (int sig : {SIGTERM, SIGINT, SIGPIPE}) {
    if (sigaction(sig, &sa, nullptr) != 0 && errno != 0) return errno;
  }
  // Termination signals are blocked in this thread, and so in every thread
  // it starts, and let through only while the intake loop waits in ppoll
  // (for its descriptors, or for room in an agent's full pipe): a signal
  // taken by another thread would leave the loop asleep until the next
  // observation. gWaitMask is the mask to wait with.
  sigset_t terminate;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  sigaddset(&terminate, SIGINT);
  pthread_sigmask(SIG_BLOCK, &terminate, &gWaitMask);
  sigdelset(&gWaitMask, SIGTERM);
  sigdelset(&gWaitMask, SIGINT);

  Timer_StartThread();
  char kernelBuild[21] = {0};
  const char *myBuild = "";
  if (HSI_CheckSig(kernelBuild, sizeof kernelBuild, &myBuild) != 0) {
    kernelBuild[20] = '\0';
    Panic("md5 signature mismatch with running hykernel built on %s (my build date: %s)\n",
          kernelBuild, myBuild);
  }
  VProbInit();
  VProb_StartRetryWorker();

  int status = 0;
  struct pollfd *fixed = nullptr;
  struct pollfd *table = nullptr;
  struct pollfd *active = nullptr;
  int nfds = INTAKE_FIXED_ENTRIES;
  int oversize[INTAKE_MAX_ENTRIES] = {0};
  // Set when a kernel context still holds records after its reads of one
  // wake-up: the next poll does not wait, and the context is read again.
  bool backlogLeft = false;
  AcceptFailures acceptFailures;

  if (gAsyncEnable && (status = EnableAsyncKels()) != 0) goto shutdown;
  fixed = static_cast<struct pollfd *>(calloc(INTAKE_FIXED_ENTRIES, sizeof *fixed));
  if (fixed == nullptr) {
    status = 1;
    goto shutdown;
  }
  for (uint32_t i = 0; i < KEL_NUM_KERNEL_CONTEXTS; i++) {
    if ((status = static_cast<int>(KelLib_AsyncContextOpen(i, &contexts[i].handle))) != 0) goto shutdown;
    int fd = -1;
    KelLib_HandleToFd(contexts[i].handle, &fd);
    fixed[i] = {fd, POLLIN, 0};
  }
  if ((status = static_cast<int>(KelLib_UserContextOpen(KEL_USER_CONTEXT_ID, &contexts[24].handle))) != 0) {
    goto shutdown;
  }
  {
    int fd = -1;
    KelLib_HandleToFd(contexts[24].handle, &fd);
    fixed[INTAKE_USER_ENTRY] = {fd, POLLIN, 0};
  }
  fixed[INTAKE_TRACE_ENTRY] = {TraceListen(nullptr), POLLIN, 0};
  if ((status = StreamRegistry_Init()) != 0) goto shutdown;
  Stream_SetRoomWait(WaitForPipeRoom);
  Agent_StartAll(withExtras);
  // Agents whose initialisation failed have ended already: count those that run.
  LogMsg("Started %u agents.\n", Agent_Running());

  gIntakeBuffer = static_cast<uint8_t *>(malloc(INTAKE_INITIAL_BUFFER));
  if (gIntakeBuffer == nullptr) {
    LogMsg("Error allocating space for kel buffer. Out of memory\n");
    status = 12;
    goto shutdown;
  }
  gIntakeSize = INTAKE_INITIAL_BUFFER;
  table = static_cast<struct pollfd *>(calloc(INTAKE_MAX_ENTRIES, sizeof *table));
  if (table != nullptr) {
    memcpy(table, fixed, INTAKE_FIXED_ENTRIES * sizeof *table);
    for (int i = INTAKE_FIXED_ENTRIES; i < INTAKE_MAX_ENTRIES; i++) table[i] = {-1, POLLIN, 0};
  }
  active = table != nullptr ? table : fixed;
  // Without the full table no user connection can be admitted: the user
  // listener is not watched at all (its readiness would never clear).
  if (active == fixed) active[INTAKE_USER_ENTRY].fd = -1;

  for (;;) {
    if (gExitRequested) {
      LogMsg("Exiting due to signal.\n");
      status = 0;
      break;
    }
    int64_t pauseLeft = acceptFailures.Resume(active);
    struct timespec wait = {0, 0};
    if (!backlogLeft && pauseLeft > 0) wait = {static_cast<time_t>(pauseLeft / 1000), (pauseLeft % 1000) * 1000000};
    bool forever = !backlogLeft && pauseLeft < 0;
    if (ppoll(active, static_cast<nfds_t>(nfds), forever ? nullptr : &wait, &gWaitMask) == -1) {
      if (errno == EINTR) continue;
      status = -1;
      break;
    }
    if (backlogLeft) {
      for (uint32_t i = 0; i < KEL_NUM_KERNEL_CONTEXTS; i++) {
        if (active[i].revents == 0 && KelLib_HasPending(contexts[i].handle)) active[i].revents = POLLIN;
      }
      backlogLeft = false;
    }
    bool fatal = false;
    // The records of all the reads of this poll go to the agents together,
    // at the batch's end, before the next wait. A pipe write that fails there
    // ends the daemon whichever descriptor the record came from (it cannot
    // happen while the agents hold both ends of their pipes).
    Stream_BeginBatch();
    // Closes the user connection at entry i; the entry moved into its place
    // brings its oversize count along.
    auto closeUser = [&](int &i) {
      int pos = i;
      int last = nfds - 1;
      if (UserCnx_Close(active, &i, &nfds) == 0 && pos < last) oversize[pos] = oversize[last];
    };
    for (int i = 0; i < nfds && !fatal; i++) {
      struct pollfd &e = active[i];
      if (e.revents == 0) {
        ResetEntry(e);
      } else if (e.revents & POLLIN) {
        if (i < INTAKE_USER_ENTRY) {
          int fd = -1;
          KelLib_HandleToFd(contexts[i].handle, &fd);
          // Records the library holds back (a full buffer) leave the
          // descriptor unreadable: they are read now, or after the next poll.
          int32_t rc;
          bool more;
          int reads = 0;
          do {
            rc = Intake_ReadAndDispatch(fd, contexts[i].handle);
            // -1 (a read of no records, or of more than 0x1ffff bytes) loses
            // only that read: what the context still holds is read on.
            more = (rc == 0 || rc == -1) && KelLib_HasPending(contexts[i].handle);
          } while (more && ++reads < kMaxReadsPerWake);
          if (more) backlogLeft = true;
          if (rc == KELLIB_STATUS_TOO_BIG) {
            KelLib_Reset(contexts[i].handle);
          } else if (rc > 0) {
            status = rc;
            fatal = true;
          }
          ResetEntry(e);
        } else if (i == INTAKE_USER_ENTRY) {
          int newFd = -1;
          uint32_t accepted = KelLib_UserContextNewCnx(contexts[24].handle, &newFd);
          if (accepted != 0) {
            // A peer that left before it was accepted is nothing to report.
            if (accepted != EAGAIN && accepted != ECONNABORTED && accepted != EINTR) {
              acceptFailures.Note(acceptFailures.user, e, static_cast<int>(accepted));
            }
          } else if (nfds <= INTAKE_MAX_ENTRIES - 1) {
            active[nfds] = {newFd, POLLIN, 0};
            oversize[nfds] = 0;
            nfds++;
          } else {
            close(newFd);
          }
          ResetEntry(e);
        } else if (i == INTAKE_TRACE_ENTRY) {
          int err = TraceAccept(e.fd);
          if (err != 0) acceptFailures.Note(acceptFailures.trace, e, err);
          ResetEntry(e);
        } else {
          int32_t rc = Intake_ReadAndDispatch(e.fd, contexts[24].handle);
          oversize[i] = rc == KELLIB_STATUS_TOO_BIG ? oversize[i] + 1 : 0;
          bool hangup = (e.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
          // ECONNRESET is the peer's end of file (also after a shutdown of
          // its sending side only, which poll does not report as a hang-up):
          // kept, the connection would be readable for ever.
          if (rc != 0 && (hangup || rc == ECONNRESET || oversize[i] >= kMaxOversizeReads)) {
            closeUser(i);
          } else {
            ResetEntry(e);
          }
        }
      } else if (i < INTAKE_FIXED_ENTRIES) {
        ResetEntry(e);
      } else if (e.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        closeUser(i);
      } else {
        ResetEntry(e);
      }
    }
    int32_t written = Stream_EndBatch();
    if (written != 0 && !fatal) {
      status = written;
      fatal = true;
    }
    if (fatal && gExitRequested) {
      // The fan-out gave up waiting on a full pipe for the signal.
      LogMsg("Exiting due to signal.\n");
      status = 0;
    }
    if (fatal) break;
  }

shutdown:
  // Agents stop taking records and sends to hubd give up, so that stopping
  // waits neither for what the agents still hold nor for hubd.
  Shutdown_Begin();
  Agent_StopAll();
  VProb_StopRetryWorker();
  if (size_t unsent = VProb_QueueLength()) {
    LogMsg("Dropped %zu event%s not sent to hubd.\n", unsent, unsent == 1 ? "" : "s");
  }
  free(table);
  free(fixed);
  for (ContextEntry &c : contexts) {
    if (c.handle == nullptr) continue;
    uint32_t rc = KelLib_Close(c.handle);
    if (rc != 0) LogMsg("Error closing handle %p: %d\n", static_cast<void *>(c.handle), static_cast<int>(rc));
  }
  LogMsg("Exiting. rc:%d\n", status);
  Timer_HoldForExit();
  return status;
}

}  // namespace

int Keld_Main(int argc, char **argv) { return RunDaemon(argc, argv, false); }

int Keld_MainWithExtras(int argc, char **argv) { return RunDaemon(argc, argv, true); }
