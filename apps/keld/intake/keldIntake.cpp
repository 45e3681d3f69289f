// The main thread: start-up, the intake loop, shutdown.
//
// Start-up is the list kSteps, in dependency order: each step starts one
// subsystem and names the finaliser that undoes it. Shutdown runs the
// finalisers of every step begun, in exact reverse order, then logs the
// exit status. The intake loop polls every descriptor at once and hands
// each ready entry to the handler of its kind: kernel context, user
// listener, trace listener, user connection. Termination signals only set
// gExitRequested, which the loop reads before each wait.
//
// gIntakeBuffer, the Daemon record, the poll tables and the listener pauses
// belong to the main thread; gExitRequested is written by the signal
// handler and read by the loop.
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
#include "intake/keldStatus.h"
#include "intake/keldStream.h"
#include "intake/keldWaitSet.h"
#include "log/keldLog.h"
#include "log/keldTrace.h"
#include "platform/clock.h"
#include "platform/hsi.h"
#include "platform/vthreadBase.h"

static_assert(static_cast<uint32_t>(KELD_ERR_TOO_BIG) == KELLIB_STATUS_TOO_BIG,
              "the library's too-big status is the framework's");

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
    if (status == KELD_OK) break;
    if (status != KELLIB_STATUS_TOO_BIG) return static_cast<int32_t>(status);
    if (gIntakeSize >= INTAKE_MAX_BUFFER) {
      // The next record alone needs more than kMaxReadBytes. Read with the
      // whole buffer: a record of exactly its size comes back and is refused
      // below as too large (only that record is lost); anything larger stays
      // 27, and the caller resets the context.
      if (offered == gIntakeSize) return KELLIB_STATUS_TOO_BIG;
      status = KelLib_ReadFromFd(fd, gIntakeBuffer, gIntakeSize, &count);
      if (status != KELD_OK) return static_cast<int32_t>(status);
      break;
    }
    uint32_t tripled = 3 * gIntakeSize;
    uint32_t newSize = tripled <= 0x3ffff ? tripled / 2 : INTAKE_MAX_BUFFER;
    uint8_t *grown = static_cast<uint8_t *>(realloc(gIntakeBuffer, newSize));
    if (grown == nullptr) return KELLIB_STATUS_TOO_BIG;
    gIntakeBuffer = grown;
    gIntakeSize = newSize;
  }
  if (count == 0 || count > kMaxReadBytes) return INTAKE_READ_DISCARDED;
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

// ---------------------------------------------------------------------------
// The intake loop: one wait over every descriptor (WaitSet: the poll table,
// watched as poll would watch it), one handler per kind.

struct IntakeLoop {
  ContextEntry *contexts;      // the 25 contexts, kernel ones first
  struct pollfd *active;       // the poll table (or the fixed entries only)
  int nfds = INTAKE_FIXED_ENTRIES;
  int oversize[INTAKE_MAX_ENTRIES] = {0};
  // Set when a kernel context still holds records after its reads of one
  // wake-up: the next poll does not wait, and the context is read again.
  bool backlogLeft = false;
  AcceptFailures acceptFailures;
  WaitSet waitSet;  // what the loop waits on: the table, as poll would
};

// Kernel context i is readable. Records the library holds back (a full
// buffer) leave the descriptor unreadable: they are read now, or after the
// next poll. 0, or the status that ends the daemon.
int32_t OnKernelContext(IntakeLoop &loop, int i) {
  KelLib_Handle handle = loop.contexts[i].handle;
  int fd = -1;
  KelLib_HandleToFd(handle, &fd);
  int32_t rc;
  bool more;
  int reads = 0;
  do {
    rc = Intake_ReadAndDispatch(fd, handle);
    // A discarded read (no records, or more than 0x1ffff bytes) loses only
    // that read: what the context still holds is read on.
    more = (rc == KELD_OK || rc == INTAKE_READ_DISCARDED) && KelLib_HasPending(handle);
  } while (more && ++reads < kMaxReadsPerWake);
  if (more) loop.backlogLeft = true;
  ResetEntry(loop.active[i]);
  if (rc == KELD_ERR_TOO_BIG) {
    KelLib_Reset(handle);
    return KELD_OK;
  }
  return rc > 0 ? rc : int32_t{KELD_OK};
}

// The user listener is readable: admits one connection while the table has
// room, refuses it otherwise.
void OnUserListener(IntakeLoop &loop, struct pollfd &entry) {
  int newFd = -1;
  uint32_t accepted = KelLib_UserContextNewCnx(loop.contexts[KEL_USER_CONTEXT_ID].handle, &newFd);
  if (accepted != KELD_OK) {
    // A peer that left before it was accepted is nothing to report.
    if (accepted != EAGAIN && accepted != ECONNABORTED && accepted != EINTR) {
      loop.acceptFailures.Note(loop.acceptFailures.user, entry, static_cast<int>(accepted));
    }
  } else if (loop.nfds <= INTAKE_MAX_ENTRIES - 1) {
    loop.active[loop.nfds] = {newFd, POLLIN, 0};
    loop.oversize[loop.nfds] = 0;
    loop.nfds++;
  } else {
    close(newFd);
  }
  ResetEntry(entry);
}

// The trace listener is readable: accepts one trace client.
void OnTraceListener(IntakeLoop &loop, struct pollfd &entry) {
  int err = TraceAccept(entry.fd);
  if (err != 0) loop.acceptFailures.Note(loop.acceptFailures.trace, entry, err);
  ResetEntry(entry);
}

// Closes the user connection at entry i; the entry moved into its place
// brings its oversize count along.
void CloseUserConnection(IntakeLoop &loop, int &i) {
  int pos = i;
  int last = loop.nfds - 1;
  if (UserCnx_Close(loop.active, &i, &loop.nfds) != 0) return;
  loop.waitSet.Forget();
  if (pos < last) loop.oversize[pos] = loop.oversize[last];
}

// User connection i has readiness or an error.
void OnUserConnection(IntakeLoop &loop, int &i) {
  struct pollfd &entry = loop.active[i];
  bool hangup = (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
  if ((entry.revents & POLLIN) == 0) {
    if (hangup) {
      CloseUserConnection(loop, i);
    } else {
      ResetEntry(entry);
    }
    return;
  }
  int32_t rc = Intake_ReadAndDispatch(entry.fd, loop.contexts[KEL_USER_CONTEXT_ID].handle);
  loop.oversize[i] = rc == KELD_ERR_TOO_BIG ? loop.oversize[i] + 1 : 0;
  // ECONNRESET is the peer's end of file (also after a shutdown of its
  // sending side only, which poll does not report as a hang-up): kept, the
  // connection would be readable for ever.
  if (rc != KELD_OK && (hangup || rc == ECONNRESET || loop.oversize[i] >= kMaxOversizeReads)) {
    CloseUserConnection(loop, i);
  } else {
    ResetEntry(entry);
  }
}

enum class Wake { kReady, kInterrupted, kFailed };

// Waits for readiness: without end, or until a paused listener resumes, or
// not at all while a kernel context has a backlog.
Wake WaitForIntake(IntakeLoop &loop) {
  int64_t pauseLeft = loop.acceptFailures.Resume(loop.active);
  struct timespec wait = {0, 0};
  if (!loop.backlogLeft && pauseLeft > 0) {
    wait = {static_cast<time_t>(pauseLeft / 1000), (pauseLeft % 1000) * 1000000};
  }
  bool forever = !loop.backlogLeft && pauseLeft < 0;
  if (loop.waitSet.Wait(loop.active, loop.nfds, forever ? nullptr : &wait, &gWaitMask) == -1) {
    return errno == EINTR ? Wake::kInterrupted : Wake::kFailed;
  }
  if (loop.backlogLeft) {
    for (uint32_t i = 0; i < KEL_NUM_KERNEL_CONTEXTS; i++) {
      struct pollfd &entry = loop.active[i];
      if (entry.revents == 0 && KelLib_HasPending(loop.contexts[i].handle)) entry.revents = POLLIN;
    }
    loop.backlogLeft = false;
  }
  return Wake::kReady;
}

// Serves every entry of one poll. The records of all its reads go to the
// agents together, at the batch's end, before the next wait. A pipe write
// that fails there ends the daemon whichever descriptor the record came
// from (it cannot happen while the agents hold both ends of their pipes).
// 0, or the status that ends the daemon.
int32_t ServeReadyEntries(IntakeLoop &loop) {
  int32_t status = KELD_OK;
  Stream_BeginBatch();
  // loop.nfds changes during the walk: an entry appended is visited with
  // revents 0; a closed one is replaced by the last, examined in its turn.
  for (int i = 0; i < loop.nfds && status == KELD_OK; i++) {
    struct pollfd &entry = loop.active[i];
    if (entry.revents == 0 || (i < INTAKE_FIXED_ENTRIES && (entry.revents & POLLIN) == 0)) {
      ResetEntry(entry);  // errors on the fixed entries are ignored
    } else if (i < INTAKE_USER_ENTRY) {
      status = OnKernelContext(loop, i);
    } else if (i == INTAKE_USER_ENTRY) {
      OnUserListener(loop, entry);
    } else if (i == INTAKE_TRACE_ENTRY) {
      OnTraceListener(loop, entry);
    } else {
      OnUserConnection(loop, i);
    }
  }
  int32_t written = Stream_EndBatch();
  return status != KELD_OK ? status : written;
}

// Runs until a termination signal (status 0) or a fatal error (its status).
int RunIntake(IntakeLoop &loop) {
  while (!gExitRequested) {
    Wake wake = WaitForIntake(loop);
    if (wake == Wake::kFailed) return KELD_EXIT_POLL_FAILED;
    if (wake == Wake::kInterrupted) continue;
    int32_t status = ServeReadyEntries(loop);
    // A fan-out that gave up waiting on a full pipe for the signal is the
    // signal's doing, not an error.
    if (status != KELD_OK && !gExitRequested) return status;
  }
  LogMsg("Exiting due to signal.\n");
  return KELD_OK;
}

// ---------------------------------------------------------------------------
// Start-up and shutdown: the daemon's steps in dependency order, each with
// the finaliser that undoes it.

struct Daemon {
  bool withExtras = false;
  ContextEntry contexts[KEL_USER_CONTEXT_ID + 1];
  struct pollfd *fixed = nullptr;  // the 26 fixed entries, filled as they open
  struct pollfd *table = nullptr;  // the 34-entry poll table, or null
  int traceFd = -1;                // the trace listener, or -1
};

// Starts one subsystem: 0, or the status that ends the daemon. A step that
// fails leaves what it did to its own finaliser, which runs like the others.
typedef int (*StepInit)(Daemon &);
// Finalises it; also after a failed init, so it takes whatever is there.
typedef void (*StepFini)(Daemon &);

struct Step {
  const char *name;
  StepInit init;
  StepFini fini;  // null when there is nothing to undo
};

int StartTimers(Daemon &) {
  Timer_StartThread();
  return KELD_OK;
}

// Timer callbacks use state that the exit-time destructors free: none runs
// from here on.
void HoldTimers(Daemon &) { Timer_HoldForExit(); }

int CheckKernelBuild(Daemon &) {
  char kernelBuild[21] = {0};
  const char *myBuild = "";
  if (HSI_CheckSig(kernelBuild, sizeof kernelBuild, &myBuild) != HYK_OK) {
    kernelBuild[20] = '\0';
    Panic("md5 signature mismatch with running hykernel built on %s (my build date: %s)\n",
          kernelBuild, myBuild);
  }
  return KELD_OK;
}

int StartEventOutput(Daemon &) {
  VProbInit();
  return KELD_OK;
}

int StartRetryQueue(Daemon &) {
  VProb_StartRetryWorker();
  return KELD_OK;
}

void StopRetryQueue(Daemon &) { VProb_StopRetryQueue(); }

// With -e, sets "Misc"/"KelAsyncEnable" to 1. The kernel status converted to
// errno.
int EnableAsyncKels(Daemon &) {
  if (!gAsyncEnable) return KELD_OK;
  uint32_t status = HYK_NO_MEMORY;
  HSI_ParamList *instance = HSI_ParamListCreate(1, 2);
  HSI_ParamList *values = HSI_ParamListCreate(0, 1);
  if (instance != nullptr && values != nullptr) {
    status = HSI_ParamListAddString(instance, "Misc");
    if (status == HYK_OK) status = HSI_ParamListAddString(instance, "KelAsyncEnable");
    if (status == HYK_OK) status = HSI_ParamListAddInt(values, 1);
    uint32_t scratch = 0;
    if (status == HYK_OK) status = HSI_Set(HSI_NODE_config_intOpts, instance, values, &scratch, 4);
  }
  HSI_ParamListDestroy(instance);
  HSI_ParamListDestroy(values);
  return HYK_ReturnStatusToErrno(status);
}

int AllocFixedEntries(Daemon &d) {
  d.fixed = static_cast<struct pollfd *>(calloc(INTAKE_FIXED_ENTRIES, sizeof *d.fixed));
  return d.fixed != nullptr ? KELD_OK : KELD_ERR_NOT_DONE;
}

void FreeFixedEntries(Daemon &d) {
  free(d.fixed);
  d.fixed = nullptr;
}

// The 24 kernel contexts, then the user context, each into its fixed entry.
int OpenContexts(Daemon &d) {
  for (uint32_t i = 0; i <= KEL_USER_CONTEXT_ID; i++) {
    uint32_t status = i < KEL_NUM_KERNEL_CONTEXTS ? KelLib_AsyncContextOpen(i, &d.contexts[i].handle)
                                                  : KelLib_UserContextOpen(i, &d.contexts[i].handle);
    if (status != KELD_OK) return static_cast<int>(status);
    int fd = -1;
    KelLib_HandleToFd(d.contexts[i].handle, &fd);
    d.fixed[i] = {fd, POLLIN, 0};
  }
  return KELD_OK;
}

void CloseContexts(Daemon &d) {
  for (ContextEntry &c : d.contexts) {
    if (c.handle == nullptr) continue;
    uint32_t rc = KelLib_Close(c.handle);
    if (rc != KELD_OK) {
      LogMsg("Error closing handle %p: %d\n", static_cast<void *>(c.handle), static_cast<int>(rc));
    }
    c.handle = nullptr;
  }
}

// A listener that fails to open is not fatal: its entry holds -1, which
// poll ignores, and keld runs without trace clients.
int OpenTrace(Daemon &d) {
  d.traceFd = TraceListen(nullptr);
  d.fixed[INTAKE_TRACE_ENTRY] = {d.traceFd, POLLIN, 0};
  return KELD_OK;
}

void CloseTrace(Daemon &d) {
  TraceClose(d.traceFd);
  d.traceFd = -1;
}

int InitStreams(Daemon &) {
  int32_t status = StreamRegistry_Init();
  if (status == KELD_OK) Stream_SetRoomWait(WaitForPipeRoom);
  return status;
}

int StartAgents(Daemon &d) {
  Agent_StartAll(d.withExtras);
  // Agents whose initialisation failed have ended already: count those that run.
  LogMsg("Started %u agents.\n", Agent_Running());
  return KELD_OK;
}

void StopAgents(Daemon &) { Agent_StopAll(); }

int AllocIntakeBuffer(Daemon &) {
  gIntakeBuffer = static_cast<uint8_t *>(malloc(INTAKE_INITIAL_BUFFER));
  if (gIntakeBuffer == nullptr) {
    LogMsg("Error allocating space for kel buffer. Out of memory\n");
    return KELD_ERR_NO_MEMORY;
  }
  gIntakeSize = INTAKE_INITIAL_BUFFER;
  return KELD_OK;
}

void FreeIntakeBuffer(Daemon &) {
  free(gIntakeBuffer);
  gIntakeBuffer = nullptr;
  gIntakeSize = 0;
}

// The fixed entries copied, the rest free. Without this table the loop runs
// on the fixed entries, and admits no user connection.
int AllocPollTable(Daemon &d) {
  d.table = static_cast<struct pollfd *>(calloc(INTAKE_MAX_ENTRIES, sizeof *d.table));
  if (d.table != nullptr) {
    memcpy(d.table, d.fixed, INTAKE_FIXED_ENTRIES * sizeof *d.table);
    for (int i = INTAKE_FIXED_ENTRIES; i < INTAKE_MAX_ENTRIES; i++) d.table[i] = {-1, POLLIN, 0};
  }
  return KELD_OK;
}

void FreePollTable(Daemon &d) {
  free(d.table);
  d.table = nullptr;
}

// Each step needs the ones above it: the timer service before anything that
// registers a timer (the retry queue, the correlators); the event output
// before any agent posts; the poll entries before the contexts and the trace
// listener fill them; the stream registry before the agents subscribe; the
// agents before the intake feeds them. Shutdown undoes them bottom up, so
// the agents are joined before the trace service, the contexts and the retry
// queue they use go away.
constexpr Step kSteps[] = {
    {"timer service", StartTimers, HoldTimers},
    {"kernel build check", CheckKernelBuild, nullptr},
    {"event output", StartEventOutput, nullptr},
    {"retry queue", StartRetryQueue, StopRetryQueue},
    {"asynchronous kernel observations (-e)", EnableAsyncKels, nullptr},
    {"fixed poll entries", AllocFixedEntries, FreeFixedEntries},
    {"observation contexts", OpenContexts, CloseContexts},
    {"trace service", OpenTrace, CloseTrace},
    {"stream registry", InitStreams, nullptr},
    {"agents", StartAgents, StopAgents},
    {"intake buffer", AllocIntakeBuffer, FreeIntakeBuffer},
    {"poll table", AllocPollTable, FreePollTable},
};
constexpr size_t kStepCount = sizeof kSteps / sizeof kSteps[0];

// Installs the signal handler and the wait mask. 0 or the errno of a failed
// sigaction.
int InstallSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  for (int sig : {SIGTERM, SIGINT, SIGPIPE}) {
    if (sigaction(sig, &sa, nullptr) != 0 && errno != 0) return errno;
  }
  // Termination signals are blocked in this thread, and so in every thread
  // it starts, and let through only while the intake loop waits (for its
  // descriptors, or for room in an agent's full pipe): a signal
  // taken by another thread would leave the loop asleep until the next
  // observation. gWaitMask is the mask to wait with.
  sigset_t terminate;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  sigaddset(&terminate, SIGINT);
  pthread_sigmask(SIG_BLOCK, &terminate, &gWaitMask);
  sigdelset(&gWaitMask, SIGTERM);
  sigdelset(&gWaitMask, SIGINT);
  return KELD_OK;
}

// The whole life of the daemon; `withExtras` also starts the extra agents.
// Before the steps, the process itself: options, name, one keld per root,
// signals; a failure there ends it without the shutdown.
int RunDaemon(int argc, char **argv, bool withExtras) {
  Daemon d;
  d.withExtras = withExtras;
  for (uint32_t i = 0; i <= KEL_USER_CONTEXT_ID; i++) d.contexts[i] = {i, nullptr};
  if (argc > 1) ParseOptions(argc, argv);
  VThreadBase_SetName("keld");
  if (!LockInstance()) return KELD_EXIT_ALREADY_RUNNING;
  if (int err = InstallSignals()) return err;

  int status = KELD_OK;
  size_t begun = 0;
  while (begun < kStepCount && status == KELD_OK) status = kSteps[begun++].init(d);
  if (status == KELD_OK) {
    IntakeLoop loop;
    loop.contexts = d.contexts;
    loop.active = d.table != nullptr ? d.table : d.fixed;
    // Without the full table no user connection can be admitted: the user
    // listener is not watched at all (its readiness would never clear).
    if (d.table == nullptr) loop.active[INTAKE_USER_ENTRY].fd = -1;
    status = RunIntake(loop);
  }

  // Agents stop taking records and sends to hubd give up, so that stopping
  // waits neither for what the agents still hold nor for hubd.
  Shutdown_Begin();
  while (begun > 0) {
    const Step &step = kSteps[--begun];
    if (step.fini != nullptr) step.fini(d);
  }
  // The last line: the agents and the retry worker are joined and the
  // timers held, so no agent, retry pass or timer callback logs after it.
  LogMsg("Exiting. rc:%d\n", status);
  return status;
}

}  // namespace

int Keld_Main(int argc, char **argv) { return RunDaemon(argc, argv, false); }

int Keld_MainWithExtras(int argc, char **argv) { return RunDaemon(argc, argv, true); }
