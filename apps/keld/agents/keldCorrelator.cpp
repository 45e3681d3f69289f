#include "agents/keldCorrelator.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include "agents/keldAgent.h"
#include "intake/keldShutdown.h"
#include "log/keldLog.h"
#include "platform/str.h"
#include "platform/sysLog.h"

namespace {

// The thread name: the name argument followed by "Correlator".
char *ThreadName(const char *name) {
  char *formatted = Str_Asprintf(nullptr, "%sCorrelator", name);
  return formatted ? formatted : strdup(name);
}

void DispatchAndFree(ObservationHandler unhandled, const HandlerTable &table, Observation obs) {
  // Freed however the dispatch ends: a handler may throw what the frame does
  // not catch, and the agent guard then ends the thread.
  std::unique_ptr<KelObservation, void (*)(Observation)> owned(obs, Kel_Free);
  Correlator_Dispatch(unhandled, table, obs);
}

void RunLoop(Agent *agent, ObservationHandler unhandled, const HandlerTable &table) {
  for (;;) {
    Observation obs = nullptr;
    if (Agent_WaitObservation(agent, &obs) != 0) break;
    DispatchAndFree(unhandled, table, obs);
  }
}

}  // namespace

void Correlator_Dispatch(ObservationHandler unhandled, const HandlerTable &table, Observation obs) {
  const char *id = nullptr;
  Kel_GetID(obs, &id);
  // A null ID cannot be looked up; the unhandled variant reports it.
  auto it = id ? table.find(std::string_view(id)) : table.end();
  if (it == table.end() || it->second == nullptr) {
    try {
      unhandled(obs);
    } catch (const std::exception &) {
    }
    return;
  }
  LogObservation(obs);
  try {
    it->second(obs);
  } catch (const std::exception &) {
  }
}

void Correlator_RunSubscribed(const char *name, const std::vector<const char *> &prefixes,
                              const std::vector<const char *> &exactIds,
                              ObservationHandler unhandled, const HandlerTable &table) {
  // Agent_Init keeps its own copies of the name: ours goes at once, so that
  // a thread cancelled in its loop leaves nothing behind.
  char *threadName = ThreadName(name);
  Agent *agent = nullptr;
  uint32_t status = Agent_Init(threadName ? threadName : name, prefixes, exactIds, &agent);
  free(threadName);
  if (status != 0) return;
  RunLoop(agent, unhandled, table);
  Agent_Cleanup(&agent);
}

void Correlator_Run(const char *name, const char *domain, ObservationHandler unhandled,
                    const HandlerTable &table) {
  Correlator_RunSubscribed(name, {domain}, {}, unhandled, table);
}

void Correlator_RunWithWakeups(const char *name, const char *domain,
                               ObservationHandler unhandled, const HandlerTable &table,
                               WakeCallback wakeCallback, const int *wakeFds, int wakeCount) {
  if (wakeCount < 0) wakeCount = 0;
  if (wakeCount > 4) wakeCount = 4;
  char *threadName = ThreadName(name);
  Agent *agent = nullptr;
  uint32_t status = Agent_InitDomain(threadName ? threadName : name, domain, &agent);
  free(threadName);  // copied by Agent_InitDomain, as above
  if (status != 0) return;
  for (;;) {
    // A stopping daemon does not wait for the records an agent still holds.
    if (Shutdown_Started()) break;
    struct pollfd fds[5];
    fds[0] = {agent->descriptor, POLLIN, 0};
    for (int i = 0; i < wakeCount; i++) fds[i + 1] = {wakeFds[i], POLLIN, 0};
    // Records already read ahead from the pipe do not make it readable: with
    // one buffered, the poll only looks at the wake-ups and does not wait.
    bool buffered = Stream_HasRecord(agent->stream);
    int rc;
    if (buffered) {
      rc = poll(fds, static_cast<nfds_t>(wakeCount) + 1, 0);
    } else {
      SysLog_EndBatch();  // see Agent_WaitObservation
      AgentWaitWindow window;
      rc = poll(fds, static_cast<nfds_t>(wakeCount) + 1, -1);
    }
    SysLog_BeginBatch();
    if (rc == -1) {
      if (errno == EINTR) continue;
      LogMsg("Failed to poll - %s\n", strerror(errno));
      break;
    }
    // A descriptor in error (and with nothing to read) would make every
    // poll return at once: the agent ends instead of spinning.
    const struct pollfd *broken = nullptr;
    for (int i = 0; i <= wakeCount && broken == nullptr; i++) {
      if ((fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[i].revents & POLLIN) == 0) broken = &fds[i];
    }
    if (broken != nullptr) {
      LogMsg("Failed to poll, invalid revents - %hd\n", broken->revents);
      break;
    }
    if (buffered || (fds[0].revents & POLLIN)) {
      Observation obs = nullptr;
      bool complete = false;
      if (Stream_ReadObservation(agent->stream, &obs, &complete) != 0) {
        LogMsg("Failed to get Kel\n");
        break;
      }
      if (complete) DispatchAndFree(unhandled, table, obs);
    }
    for (int i = 1; i <= wakeCount; i++) {
      if ((fds[i].revents & POLLIN) == 0) continue;
      char drain[10];
      ssize_t ignored = read(fds[i].fd, drain, sizeof drain);
      (void)ignored;
      wakeCallback();
    }
  }
  Agent_Cleanup(&agent);
}

void Correlator_Main(const CorrelatorDef &def) {
  HandlerTable table = def.buildTable();
  if (def.setup != nullptr && !def.setup()) return;
  if (def.wakeFd != nullptr) {
    int fd = def.wakeFd();
    Correlator_RunWithWakeups(def.name, def.domains.at(0), def.unhandled, table, def.wakeCallback, &fd, 1);
  } else if (def.subscribed) {
    Correlator_RunSubscribed(def.name, def.domains, {}, def.unhandled, table);
  } else {
    Correlator_Run(def.name, def.domains.at(0), def.unhandled, table);
  }
}

void Unhandled_Report(Observation obs) {
  const char *id = nullptr;
  Kel_GetID(obs, &id);
  if (id == nullptr) {
    LogMsg("FAIL: Received NULL kelID\n");
  } else {
    LogMsg("No correlator for %s \n", id);
  }
}

void Unhandled_ClockReport(Observation obs) {
  const char *id = nullptr;
  Kel_GetID(obs, &id);
  if (id == nullptr) {
    LogMsg("FAIL: Received NULL kelID\n");
  } else {
    LogMsg("No system clock correlator for %s\n", id);
  }
}

void Unhandled_ReadId(Observation obs) {
  const char *id = nullptr;
  Kel_GetID(obs, &id);
}

void Unhandled_Log(Observation obs) { LogObservation(obs); }

void Unhandled_Ignore(Observation) {}
