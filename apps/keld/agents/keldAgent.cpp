// Agent threads. gThreads/gStarts/gCount/gExtras belong to the main thread.
// tlsAgent is the calling thread's own Agent, so that the guard can release
// an agent whose function ended through an exception; gSlotAgents shows it to
// the main thread, which reads it only after joining the thread.
#include "agents/keldAgent.h"

#include <poll.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <exception>

#include "correlators/keldCorrelators.h"
#include "intake/keldShutdown.h"
#include "intake/keldStatus.h"
#include "log/keldLog.h"
#include "platform/sysLog.h"
#include "platform/vthreadBase.h"

namespace {

pthread_t gThreads[AGENT_MAX];
AgentStart gStarts[AGENT_MAX];  // written before the slot's thread starts
std::vector<AgentStart> gExtras;
// The Agent that each slot's thread holds (set by Agent_Init, cleared by
// Agent_Cleanup on that thread), so that Agent_StopAll can release, after the
// join, the Agent of a thread it cancelled.
std::atomic<Agent *> gSlotAgents[AGENT_MAX];
thread_local int tlsSlot = -1;
uint32_t gCount = 0;
thread_local Agent *tlsAgent = nullptr;

// Start-up barrier: Agent_StartAll waits until each agent it started has
// registered its stream (or given up) before it starts the next. So no
// observation read by the intake misses an agent that is merely slow to
// start, and the streams are created in start-list order: the fan-out wakes
// the agents that share an observation in that order, run after run (the
// user-level correlator, which posts, before the one that only logs).
// gReadyLock guards gPending.
pthread_mutex_t gReadyLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gReadyCond = PTHREAD_COND_INITIALIZER;
uint32_t gPending = 0;
thread_local bool tlsReadySignalled = false;
constexpr int kReadyTimeoutSeconds = 10;

void SignalReady() {
  if (tlsReadySignalled) return;
  tlsReadySignalled = true;
  pthread_mutex_lock(&gReadyLock);
  if (gPending > 0) gPending--;
  pthread_cond_broadcast(&gReadyCond);
  pthread_mutex_unlock(&gReadyLock);
}

// Waits until every started agent is ready, or until `until` (a
// CLOCK_REALTIME time) has passed.
void WaitAllReady(const struct timespec &until) {
  pthread_mutex_lock(&gReadyLock);
  while (gPending > 0) {
    if (pthread_cond_timedwait(&gReadyCond, &gReadyLock, &until) == ETIMEDOUT) break;
  }
  pthread_mutex_unlock(&gReadyLock);
}

// The address the log lines give for an agent's function (the thread's name
// on the same line says which correlator ran a shared entry).
void *StartAddress(const AgentStart &start) {
  return start.function != nullptr ? reinterpret_cast<void *>(start.function)
                                   : reinterpret_cast<void *>(start.entry);
}

unsigned FunctionAddress(const AgentStart &start) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(StartAddress(start)));
}

// Frees everything an Agent holds (its stream is unregistered) and the Agent.
void ReleaseAgent(Agent *agent) {
  if (agent == nullptr) return;
  SubscriptionList_Free(agent->subscriptions);
  if (agent->stream != nullptr) Stream_Destroy(agent->stream);
  if (agent->name != nullptr) {
    free(agent->name->name);
    free(agent->name);
  }
  free(agent);
}

// Catching abi::__forced_unwind by reference is how a thread sees its own
// cancellation go by; the exception has no object, which the undefined-
// behaviour sanitizer's null-reference check reports falsely.
__attribute__((no_sanitize("null"))) void *Guard(void *arg) {
  tlsSlot = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  const AgentStart &start = gStarts[tlsSlot];
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);  // see AgentWaitWindow
  if (pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr) != 0) {
    LogMsg("Failed to set thread cancel type for agent function(%#x).\n", FunctionAddress(start));
  }
  try {
    if (start.function != nullptr) {
      start.function();
    } else {
      start.entry(start.arg);
    }
  } catch (abi::__forced_unwind &) {
    // Cancelled at shutdown: Agent_StopAll releases the Agent after the join.
    SignalReady();
    throw;  // thread cancellation unwinds through here
  } catch (const std::exception &e) {
    LogMsg("Exception (%s) in agent function(%#x).\n", e.what(), FunctionAddress(start));
  } catch (...) {
    LogMsg("Unknown exception in agent function(%#x).\n", FunctionAddress(start));
  }
  // An agent that ended through an exception still has its stream registered;
  // release it so that the intake never blocks on a pipe that nobody reads.
  Agent_Cleanup(&tlsAgent);
  SignalReady();  // an agent that ended before registering
  return nullptr;
}

}  // namespace

int32_t Agent_StartAll(bool withExtras) {
  // One deadline for the whole start-up: an agent that never gets ready
  // delays it by at most this much in all.
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += kReadyTimeoutSeconds;
  for (const CorrelatorDef *def : Correlators_All()) {
    Agent_Start({nullptr, Correlator_Main, def});
    WaitAllReady(until);
  }
  if (withExtras) {
    for (const AgentStart &extra : gExtras) {
      Agent_Start(extra);
      WaitAllReady(until);
    }
  }
  return 0;
}

void Agent_AddExtra(const AgentStart &start) { gExtras.push_back(start); }

void Agent_Start(AgentFunction function) { Agent_Start({function, nullptr, nullptr}); }

void Agent_Start(const AgentStart &start) {
  if (gCount >= AGENT_MAX) {
    LogMsg("Failed to start agent. Already reached max limit of %u agents.\n", static_cast<unsigned>(AGENT_MAX));
    return;
  }
  pthread_mutex_lock(&gReadyLock);
  gPending++;
  pthread_mutex_unlock(&gReadyLock);
  gStarts[gCount] = start;
  gSlotAgents[gCount] = nullptr;
  int rc = pthread_create(&gThreads[gCount], nullptr, Guard,
                          reinterpret_cast<void *>(static_cast<intptr_t>(gCount)));
  if (rc != 0) {
    pthread_mutex_lock(&gReadyLock);
    gPending--;
    pthread_mutex_unlock(&gReadyLock);
    LogMsg("Failed to create thread %p (id:%d err:%d %s)\n", StartAddress(start),
           static_cast<int>(gCount), rc, strerror(rc));
    return;
  }
  gCount++;
}

void Agent_StopAll(void) {
  while (gCount != 0) {
    gCount--;
    pthread_t t = gThreads[gCount];
    int rc = pthread_cancel(t);
    if (rc != 0 && rc != ESRCH) {
      LogMsg("Failed to cancel thread id:%d, err:%d %s\n", static_cast<int>(gCount), rc, strerror(rc));
      continue;
    }
    rc = pthread_join(t, nullptr);
    if (rc != 0) {
      LogMsg("Failed to join thread id:%d, err:%d %s\n", static_cast<int>(gCount), rc, strerror(rc));
      continue;
    }
    // A thread cancelled in its wait leaves its Agent behind: release it.
    ReleaseAgent(gSlotAgents[gCount].exchange(nullptr));
  }
}

uint32_t Agent_Count(void) { return gCount; }

uint32_t Agent_Running(void) {
  uint32_t running = 0;
  for (uint32_t i = 0; i < gCount; i++) running += gSlotAgents[i].load() != nullptr ? 1 : 0;
  return running;
}

uint32_t Agent_Init(const char *name, const std::vector<const char *> &prefixes,
                    const std::vector<const char *> &exactIds, Agent **agentOut) {
  VThreadBase_SetName(name);
  uint32_t status = KELD_OK;
  Agent *agent = static_cast<Agent *>(calloc(1, sizeof(Agent)));
  *agentOut = agent;
  if (agent == nullptr) {
    status = KELD_ERR_NOT_DONE;
  } else {
    agent->descriptorCount = 1;
    agent->descriptor = -1;
    agent->name = static_cast<AgentName *>(calloc(1, sizeof(AgentName)));
    if (agent->name == nullptr || (agent->name->name = strdup(name)) == nullptr) status = KELD_ERR_NOT_DONE;
    if (status == 0 && (agent->subscriptions = SubscriptionList_Create()) == nullptr) {
      status = KELD_ERR_NOT_DONE;
    }
    for (size_t i = 0; status == 0 && i < prefixes.size(); i++) {
      status = SubscriptionList_AddDomain(agent->subscriptions, prefixes[i]);
    }
    for (size_t i = 0; status == 0 && i < exactIds.size(); i++) {
      status = SubscriptionList_AddID(agent->subscriptions, exactIds[i]);
    }
    if (status == 0) status = Stream_Create(agent->name, agent->subscriptions, &agent->stream);
    if (status == 0 && Stream_GetFd(agent->stream, &agent->descriptor, &agent->descriptorCount) != 0) {
      status = KELD_ERR_NOT_DONE;
    }
  }
  if (status != 0) {
    Agent_Cleanup(agentOut);
    LogMsg("Failed to initialize agent %s (error code: %d) \n", name, static_cast<int>(status));
    SignalReady();
    return status;
  }
  tlsAgent = agent;
  if (tlsSlot >= 0) gSlotAgents[tlsSlot] = agent;
  SignalReady();
  return 0;
}

AgentWaitWindow::AgentWaitWindow() { pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr); }

AgentWaitWindow::~AgentWaitWindow() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr); }

uint32_t Agent_Wait(Agent *agent, int wakeFd, Observation *observationOut, bool *wokenOut) {
  *observationOut = nullptr;
  *wokenOut = false;
  // While records keep coming the agent's log lines are written in batches;
  // the batch ends before the agent waits, so no line waits with it.
  SysLog_BeginBatch();
  bool complete = false;
  // One read of the stream, which never blocks; a failure ends the agent.
  auto take = [&]() -> uint32_t {
    uint32_t status = Stream_ReadObservation(agent->stream, observationOut, &complete);
    if (status != 0) {
      LogMsg("Failed to get Kel\n");
      SysLog_EndBatch();
    }
    return status;
  };
  // A failed wait drops the observation taken, if any, and ends the agent.
  auto fail = [&]() -> uint32_t {
    if (complete) Kel_Free(*observationOut);
    *observationOut = nullptr;
    SysLog_EndBatch();
    return KELD_ERR_IO;
  };
  for (;;) {
    if (Shutdown_Started()) {
      SysLog_EndBatch();
      return AGENT_STOPPING;
    }
    // The stream is read before waiting: an agent that is behind finds its
    // next record already there and, without wake-ups to look at, needs no
    // poll.
    uint32_t status = take();
    if (status != 0) return status;
    if (complete && wakeFd < 0) return 0;
    struct pollfd fds[2] = {{agent->descriptor, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    nfds_t count = wakeFd < 0 ? 1 : 2;
    int rc;
    if (complete) {
      rc = poll(fds, count, 0);  // the wake-ups are looked at, not waited for
    } else {
      SysLog_EndBatch();
      {
        AgentWaitWindow window;
        rc = poll(fds, count, -1);
      }
      SysLog_BeginBatch();
    }
    if (rc == -1) {
      if (errno == EINTR) {
        if (complete) return 0;
        continue;
      }
      LogMsg("Failed to poll - %s\n", strerror(errno));
      return fail();
    }
    for (nfds_t i = 0; i < count; i++) {
      if ((fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[i].revents & POLLIN) == 0) {
        LogMsg("Failed to poll, invalid revents - %hd\n", fds[i].revents);
        return fail();
      }
    }
    *wokenOut = count == 2 && (fds[1].revents & POLLIN) != 0;
    if (!*wokenOut) {
      if (complete) return 0;
      continue;  // the record that arrived is read at the top
    }
    // Wake-ups together with a record arriving: the record is taken now, so
    // that it is handled before them.
    if (!complete && (fds[0].revents & POLLIN) != 0) {
      status = take();
      if (status != 0) {
        *wokenOut = false;
        return status;
      }
    }
    return 0;
  }
}

uint32_t Agent_WaitObservation(Agent *agent, Observation *observationOut) {
  bool woken = false;
  return Agent_Wait(agent, -1, observationOut, &woken);
}

void Agent_Cleanup(Agent **agentRef) {
  if (agentRef == nullptr || *agentRef == nullptr) return;
  Agent *agent = *agentRef;
  if (agent == tlsAgent) {
    tlsAgent = nullptr;
    if (tlsSlot >= 0) gSlotAgents[tlsSlot] = nullptr;
  }
  ReleaseAgent(agent);
  *agentRef = nullptr;
  LogMsg("Done cleaning up agent.\n");
  SysLog_EndBatch();
}
