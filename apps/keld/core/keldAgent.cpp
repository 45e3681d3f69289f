// Agent threads. gThreads/gCount belong to the main thread. tlsAgent is the
// calling thread's own Agent, so that the guard can release an agent whose
// function ended through an exception.
#include "keldAgent.h"

#include <poll.h>
#include <pthread.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <exception>

#include "keldCorrelators.h"
#include "keldLog.h"
#include "vthreadBase.h"

namespace {

pthread_t gThreads[AGENT_MAX];
uint32_t gCount = 0;
thread_local Agent *tlsAgent = nullptr;

// Start-up barrier: Agent_StartAll waits until every agent it started has
// registered its stream (or given up), so that no observation read by the
// intake misses an agent that is merely slow to start. gReadyLock guards
// gPending.
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

void WaitAllReady() {
  struct timespec until;
  clock_gettime(CLOCK_REALTIME, &until);
  until.tv_sec += kReadyTimeoutSeconds;
  pthread_mutex_lock(&gReadyLock);
  while (gPending > 0) {
    if (pthread_cond_timedwait(&gReadyCond, &gReadyLock, &until) == ETIMEDOUT) break;
  }
  pthread_mutex_unlock(&gReadyLock);
}

const AgentFunction kStartList[] = {
    NetCorrelator_Main,     ScsiCorrelator_Main,     ApdCorrelator_Main,
    IscsiCorrelator_Main,   GlfsCorrelator_Main,     UserLevelCorrelator_Main,
    HardwareCorrelator_Main, CpuCorrelator_Main,     UserWorldCorrelator_Main,
    SwapCorrelator_Main,    VmCorrelator_Main,       GenericCorrelator_Main,
    MigrateCorrelator_Main, PageRetireCorrelator_Main, LumfsCorrelator_Main,
    VfatCorrelator_Main,    ClockCorrelator_Main,    SchedCorrelator_Main,
    VscsiCorrelator_Main,   MesaCorrelator_Main,     HcmCorrelator_Main,
};
static_assert(sizeof kStartList / sizeof kStartList[0] == 21, "21 agents in the start list");

unsigned FunctionAddress(AgentFunction f) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(f));
}

void *Guard(void *arg) {
  AgentFunction function = reinterpret_cast<AgentFunction>(arg);
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);  // see AgentWaitWindow
  if (pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, nullptr) != 0) {
    LogMsg("Failed to set thread cancel type for agent function(%#x).\n", FunctionAddress(function));
  }
  try {
    function();
  } catch (abi::__forced_unwind &) {
    SignalReady();
    throw;  // thread cancellation unwinds through here
  } catch (const std::exception &e) {
    LogMsg("Exception (%s) in agent function(%#x).\n", e.what(), FunctionAddress(function));
  } catch (...) {
    LogMsg("Unknown exception in agent function(%#x).\n", FunctionAddress(function));
  }
  // An agent that ended through an exception still has its stream registered;
  // release it so that the intake never blocks on a pipe that nobody reads.
  Agent_Cleanup(&tlsAgent);
  SignalReady();  // an agent that ended before registering
  return nullptr;
}

}  // namespace

int32_t Agent_StartAll(bool withExtras) {
  for (AgentFunction f : kStartList) Agent_Start(f);
  if (withExtras) {
    Agent_Start(LogAllLogger_Main);
    Agent_Start(KeldTestCorrelator_Main);
  }
  WaitAllReady();
  return 0;
}

void Agent_Start(AgentFunction function) {
  if (gCount >= AGENT_MAX) {
    LogMsg("Failed to start agent. Already reached max limit of %u agents.\n", static_cast<unsigned>(AGENT_MAX));
    return;
  }
  pthread_mutex_lock(&gReadyLock);
  gPending++;
  pthread_mutex_unlock(&gReadyLock);
  int rc = pthread_create(&gThreads[gCount], nullptr, Guard, reinterpret_cast<void *>(function));
  if (rc != 0) {
    pthread_mutex_lock(&gReadyLock);
    gPending--;
    pthread_mutex_unlock(&gReadyLock);
    LogMsg("Failed to create thread %p (id:%d err:%d %s)\n", reinterpret_cast<void *>(function),
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
    }
  }
}

uint32_t Agent_Count(void) { return gCount; }

uint32_t Agent_Init(const char *name, const std::vector<const char *> &prefixes,
                    const std::vector<const char *> &exactIds, Agent **agentOut) {
  VThreadBase_SetName(name);
  uint32_t status = 0;
  Agent *agent = static_cast<Agent *>(calloc(1, sizeof(Agent)));
  *agentOut = agent;
  if (agent == nullptr) {
    status = 1;
  } else {
    agent->descriptorCount = 1;
    agent->descriptor = -1;
    agent->name = static_cast<AgentName *>(calloc(1, sizeof(AgentName)));
    if (agent->name == nullptr || (agent->name->name = strdup(name)) == nullptr) status = 1;
    if (status == 0 && (agent->subscriptions = SubscriptionList_Create()) == nullptr) status = 1;
    for (size_t i = 0; status == 0 && i < prefixes.size(); i++) {
      status = SubscriptionList_AddDomain(agent->subscriptions, prefixes[i]);
    }
    for (size_t i = 0; status == 0 && i < exactIds.size(); i++) {
      status = SubscriptionList_AddID(agent->subscriptions, exactIds[i]);
    }
    if (status == 0) status = Stream_Create(agent->name, agent->subscriptions, &agent->stream);
    if (status == 0 && Stream_GetFd(agent->stream, &agent->descriptor, &agent->descriptorCount) != 0) {
      status = 1;
    }
  }
  if (status != 0) {
    Agent_Cleanup(agentOut);
    LogMsg("Failed to initialize agent %s (error code: %d) \n", name, static_cast<int>(status));
    SignalReady();
    return status;
  }
  tlsAgent = agent;
  SignalReady();
  return 0;
}

uint32_t Agent_InitDomain(const char *name, const char *domain, Agent **agentOut) {
  return Agent_Init(name, {domain}, {}, agentOut);
}

AgentWaitWindow::AgentWaitWindow() { pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr); }

AgentWaitWindow::~AgentWaitWindow() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr); }

uint32_t Agent_WaitObservation(Agent *agent, Observation *observationOut) {
  for (;;) {
    struct pollfd p = {agent->descriptor, POLLIN, 0};
    int rc;
    {
      AgentWaitWindow window;
      rc = poll(&p, 1, -1);
    }
    if (rc == -1) {
      if (errno == EINTR) continue;
      LogMsg("Failed to poll - %s\n", strerror(errno));
      return 2;
    }
    if ((p.revents & POLLIN) == 0) {
      LogMsg("Failed to poll, invalid revents - %hd\n", p.revents);
      return 2;
    }
    bool complete = false;
    uint32_t status = Stream_ReadObservation(agent->stream, observationOut, &complete);
    if (status != 0) {
      LogMsg("Failed to get Kel\n");
      return status;
    }
    if (complete) return 0;
  }
}

void Agent_Cleanup(Agent **agentRef) {
  if (agentRef == nullptr || *agentRef == nullptr) return;
  Agent *agent = *agentRef;
  if (agent == tlsAgent) tlsAgent = nullptr;
  SubscriptionList_Free(agent->subscriptions);
  if (agent->stream != nullptr) Stream_Destroy(agent->stream);
  if (agent->name != nullptr) {
    free(agent->name->name);
    free(agent->name);
  }
  free(agent);
  *agentRef = nullptr;
  LogMsg("Done cleaning up agent.\n");
}
