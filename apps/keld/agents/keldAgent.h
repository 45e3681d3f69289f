// Agents stage: one thread per agent reads its stream and runs its handlers;
// a correlator is an agent built on the correlator frame (keldCorrelator.h),
// which matches observations to rows and hands events to the events stage.
// The timer service (keldTimer.h) calls correlators back for their windows.
// The thread table belongs to the main thread; the start-up barrier has its
// own lock; the timer table has the timer lock.
//
// Agent framework: the agent threads, their start list, the guard around an
// agent's function, and an agent's initialisation, wait and release.
//
// The thread table is touched only by the main thread (Agent_StartAll at
// start-up, Agent_StopAll at shutdown). Each Agent belongs to its own thread.
#pragma once

#include <cstdint>
#include <vector>

#include "intake/keldStatus.h"
#include "intake/keldStream.h"

// An agent's whole life: initialise, loop over observations, release.
typedef void (*AgentFunction)(void);

enum : uint32_t { AGENT_MAX = 32, AGENT_STOPPING = KELD_ERR_STOPPING };

struct Agent {
  SubscriptionList *subscriptions;
  Stream *stream;
  AgentName *name;
  uint32_t descriptorCount;
  int32_t descriptor;
};

// Starts the 21 agents of the start list, and with `withExtras` the extra
// agents handed to Agent_SetExtras (none unless set). Returns 0. Main thread.
int32_t Agent_StartAll(bool withExtras);
// The extra agents, started after the start list: the self-test units, which
// live outside the daemon library (keldx links them and hands them in before
// start-up; keld has none). Main thread, before Agent_StartAll.
void Agent_SetExtras(const std::vector<AgentFunction> &extras);
// Starts one agent thread running `function` under the guard. Main thread.
void Agent_Start(AgentFunction function);
// Cancels and joins all started agents, last started first. Main thread.
void Agent_StopAll(void);
// Number of agent threads started and not yet stopped.
uint32_t Agent_Count(void);
// Number of started agents that hold a registered stream, i.e. initialised
// and not ended: after Agent_StartAll, the agents that run. Main thread.
uint32_t Agent_Running(void);

// Names the calling thread, builds the subscriptions and the stream. 0,
// KELD_ERR_NOT_DONE (no memory, a list full) or KELD_ERR_IO (pipe failure);
// *agentOut null on failure.
uint32_t Agent_Init(const char *name, const std::vector<const char *> &prefixes,
                    const std::vector<const char *> &exactIds, Agent **agentOut);
uint32_t Agent_InitDomain(const char *name, const char *domain, Agent **agentOut);
// Blocks until one complete observation arrives (caller frees it with
// Kel_Free). 0, KELD_ERR_IO after a failed wait, the status of
// Stream_ReadObservation, or AGENT_STOPPING (nothing logged) once the
// daemon's shutdown has begun: an agent takes no record from then on, and its
// loop ends.
uint32_t Agent_WaitObservation(Agent *agent, Observation *observationOut);
// Releases the agent (unregistering its stream) and nulls the reference.
void Agent_Cleanup(Agent **agentRef);

// Agent threads are cancelled asynchronously at shutdown, but only while they
// wait for their next observation: a thread cancelled in the middle of a
// handler could be stopped inside a destructor or while holding a lock. The
// guard keeps cancellation disabled; an AgentWaitWindow enables it for the
// duration of one blocking wait (poll) of the calling agent thread.
class AgentWaitWindow {
 public:
  AgentWaitWindow();
  ~AgentWaitWindow();
  AgentWaitWindow(const AgentWaitWindow &) = delete;
  AgentWaitWindow &operator=(const AgentWaitWindow &) = delete;
};
