// The main thread: start-up, the intake loop, shutdown. gIntakeBuffer,
// gContexts and the poll tables belong to the main thread; gExitRequested is
// written by the signal handler and read by the loop.
#include "keldIntake.h"

#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hsi.h"
#include "keldAgent.h"
#include "keldLog.h"
#include "keldStream.h"
#include "keldTimer.h"
#include "keldTrace.h"
#include "keldVprob.h"
#include "vthreadBase.h"

namespace {

struct ContextEntry {
  uint32_t id;
  KelLib_Handle handle;
};

uint8_t *gIntakeBuffer = nullptr;
uint32_t gIntakeSize = 0;
volatile sig_atomic_t gExitRequested = 0;
bool gAsyncEnable = false;

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

}  // namespace

uint32_t Intake_BufferSize(void) { return gIntakeSize; }

int32_t Intake_ReadAndDispatch(int fd, KelLib_Handle) {
  uint32_t count = 0;
  for (;;) {
    uint32_t status = KelLib_ReadFromFd(fd, gIntakeBuffer, gIntakeSize, &count);
    if (status == 0) break;
    if (status != KELLIB_STATUS_TOO_BIG) return static_cast<int32_t>(status);
    if (gIntakeSize >= INTAKE_MAX_BUFFER) return KELLIB_STATUS_TOO_BIG;
    uint32_t tripled = 3 * gIntakeSize;
    uint32_t newSize = tripled <= 0x3ffff ? tripled / 2 : INTAKE_MAX_BUFFER;
    uint8_t *grown = static_cast<uint8_t *>(realloc(gIntakeBuffer, newSize));
    if (grown == nullptr) return KELLIB_STATUS_TOO_BIG;
    gIntakeBuffer = grown;
    gIntakeSize = newSize;
  }
  if (count == 0 || count > 0x1ffff) return -1;
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

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  for (int sig : {SIGTERM, SIGINT, SIGPIPE}) {
    if (sigaction(sig, &sa, nullptr) != 0 && errno != 0) return errno;
  }
  // Termination signals are blocked in this thread, and so in every thread
  // it starts, and let through only while the intake loop waits in ppoll: a
  // signal taken by another thread would leave the loop asleep until the
  // next observation. `waitMask` is the mask to wait with.
  sigset_t terminate, waitMask;
  sigemptyset(&terminate);
  sigaddset(&terminate, SIGTERM);
  sigaddset(&terminate, SIGINT);
  pthread_sigmask(SIG_BLOCK, &terminate, &waitMask);
  sigdelset(&waitMask, SIGTERM);
  sigdelset(&waitMask, SIGINT);

  Timer_StartThread();
  char kernelBuild[21] = {0};
  const char *myBuild = "";
  if (HSI_CheckSig(kernelBuild, sizeof kernelBuild, &myBuild) != 0) {
    kernelBuild[20] = '\0';
    Panic("md5 signature mismatch with running hykernel built on %s (my build date: %s)\n",
          kernelBuild, myBuild);
  }
  VProbInit();

  int status = 0;
  struct pollfd *fixed = nullptr;
  struct pollfd *table = nullptr;
  struct pollfd *active = nullptr;
  int nfds = INTAKE_FIXED_ENTRIES;
  int oversize[INTAKE_MAX_ENTRIES] = {0};
  // Set when a kernel context still holds records after its reads of one
  // wake-up: the next poll does not wait, and the context is read again.
  bool backlogLeft = false;

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

  for (;;) {
    if (gExitRequested) {
      LogMsg("Exiting due to signal.\n");
      status = 0;
      break;
    }
    static const struct timespec kNoWait = {0, 0};
    if (ppoll(active, static_cast<nfds_t>(nfds), backlogLeft ? &kNoWait : nullptr, &waitMask) == -1) {
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
          // Without the full table (its allocation failed) no connection is
          // admitted: the listener's readiness is merely reset.
          if (active == table && KelLib_UserContextNewCnx(contexts[24].handle, &newFd) == 0) {
            if (nfds <= INTAKE_MAX_ENTRIES - 1) {
              active[nfds] = {newFd, POLLIN, 0};
              oversize[nfds] = 0;
              nfds++;
            } else {
              close(newFd);
            }
          }
          ResetEntry(e);
        } else if (i == INTAKE_TRACE_ENTRY) {
          TraceAccept(e.fd);
          ResetEntry(e);
        } else {
          int32_t rc = Intake_ReadAndDispatch(e.fd, contexts[24].handle);
          oversize[i] = rc == KELLIB_STATUS_TOO_BIG ? oversize[i] + 1 : 0;
          bool hangup = (e.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
          if (rc != 0 && (hangup || oversize[i] >= kMaxOversizeReads)) {
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
    if (fatal) break;
  }

shutdown:
  Agent_StopAll();
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
