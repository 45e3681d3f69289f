// Agent framework: the agent threads, their start list (the correlator
// registry, then the extras keldx adds), the guard around an agent's
// function, and an agent's initialisation, wait and release.
//
// The thread table and the extras are touched only by the main thread
// (Agent_AddExtra before start-up, Agent_StartAll at start-up, Agent_StopAll
// at shutdown). Each Agent belongs to its own thread.
#pragma once

#include <cstdint>
#include <vector>

#include "intake/keldStatus.h"
#include "intake/keldStream.h"

// An agent's whole life: initialise, loop over observations, release.
typedef void (*AgentFunction)(void);
// The same, given an argument (a correlator's description, for one entry
// function shared by every correlator).
typedef void (*AgentEntry)(const void *arg);

// What an agent thread runs: `function`, or when it is null `entry(arg)`.
struct AgentStart {
  AgentFunction function;
  AgentEntry entry;
  const void *arg;
};

enum : uint32_t { AGENT_MAX = 32, AGENT_STOPPING = KELD_ERR_STOPPING };

struct Agent {
  SubscriptionList *subscriptions;
  Stream *stream;
  AgentName *name;
  uint32_t descriptorCount;
  int32_t descriptor;
};

// Starts one agent for each correlator of the registry (Correlators_All), in
// its order, and with `withExtras` then the agents added by Agent_AddExtra,
// in the order added; waits until each has registered its stream or given
// up before it starts the next, so that streams are created, and fed, in
// this order. Returns 0. Main thread.
int32_t Agent_StartAll(bool withExtras);
// Adds an agent that Agent_StartAll(true) starts after the registry's
// correlators: keldx's logger agent and test correlator, which the daemon
// itself does not link. Main thread, before Agent_StartAll.
void Agent_AddExtra(const AgentStart &start);
// Starts one agent thread running `start` (or `function`) under the guard.
// Main thread.
void Agent_Start(const AgentStart &start);
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
// Blocks until one complete observation arrives or `wakeFd` (when not -1) is
// readable. On 0, *observationOut is an observation (the caller frees it with
// Kel_Free) or null, and *wokenOut tells whether `wakeFd` was found readable
// (the caller drains it); a wake-up seen when an observation is taken is
// reported with it, so that the caller handles the observation first. Otherwise
// nothing is handed out: KELD_ERR_IO after a failed wait (a descriptor in error ends
// the wait rather than making every poll return at once), the status of
// Stream_ReadObservation, or AGENT_STOPPING (nothing logged) once the
// daemon's shutdown has begun: an agent takes no record from then on, and
// its loop ends. The agent's log lines are batched between waits.
uint32_t Agent_Wait(Agent *agent, int wakeFd, Observation *observationOut, bool *wokenOut);
// Agent_Wait without wake-up descriptors: 0 always with an observation.
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
