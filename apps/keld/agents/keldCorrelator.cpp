#include "agents/keldCorrelator.h"

#include <poll.h>
#include <unistd.h>

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

}  // namespace

CorrelatorDriver::CorrelatorDriver(const CorrelatorDef &def) : def_(&def), table_(def.buildTable()) {
  ready_ = def.setup == nullptr || def.setup();
  // The set-up makes the wake-up pipe, so it is asked for afterwards.
  if (ready_ && def.wakeFd != nullptr && def.wakeCallback != nullptr) wakeFd_ = def.wakeFd();
}

void CorrelatorDriver::Feed(Observation obs) {
  // Freed however the dispatch ends: a handler may throw what the frame does
  // not catch, and the agent guard then ends the thread.
  std::unique_ptr<KelObservation, void (*)(Observation)> owned(obs, Kel_Free);
  const char *id = nullptr;
  Kel_GetID(obs, &id);
  // A null ID cannot be looked up; the unhandled variant reports it.
  auto it = id ? table_.find(std::string_view(id)) : table_.end();
  if (it == table_.end() || it->second == nullptr) {
    try {
      def_->unhandled(obs);
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

bool CorrelatorDriver::FeedRecord(const uint8_t *record, size_t length, uint64_t timeMicros) {
  if (length > UINT32_MAX) return false;
  void *buf = malloc(length > 0 ? length : 1);
  if (buf == nullptr) return false;
  memcpy(buf, record, length);
  if (length >= KEL_RECORD_OFF_TIMESTAMP + sizeof timeMicros) {
    memcpy(static_cast<uint8_t *>(buf) + KEL_RECORD_OFF_TIMESTAMP, &timeMicros, sizeof timeMicros);
  }
  Observation obs = nullptr;
  Kel_MakeKel(buf, static_cast<uint32_t>(length), &obs);  // takes the buffer when it succeeds
  if (obs == nullptr) {
    free(buf);
    return false;
  }
  Feed(obs);
  return true;
}

void CorrelatorDriver::Woken() {
  // The bytes only signal; the callback finds the work itself.
  char drain[10];
  ssize_t ignored = read(wakeFd_, drain, sizeof drain);
  (void)ignored;
  def_->wakeCallback();
}

bool CorrelatorDriver::RunWakeup() {
  if (wakeFd_ < 0) return false;
  struct pollfd p = {wakeFd_, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return false;
  Woken();
  return true;
}

void CorrelatorDriver::Run() {
  // Agent_Init keeps its own copies of the name: ours goes at once, so that
  // a thread cancelled in its loop leaves nothing behind.
  char *threadName = ThreadName(def_->name);
  Agent *agent = nullptr;
  uint32_t status = Agent_Init(threadName ? threadName : def_->name, def_->domains, {}, &agent);
  free(threadName);
  if (status != 0) return;
  for (;;) {
    Observation obs = nullptr;
    bool woken = false;
    if (Agent_Wait(agent, wakeFd_, &obs, &woken) != 0) break;
    if (obs != nullptr) Feed(obs);
    if (woken) Woken();
  }
  Agent_Cleanup(&agent);
}

void Correlator_Main(const void *def) {
  CorrelatorDriver driver(*static_cast<const CorrelatorDef *>(def));
  if (driver.Ready()) driver.Run();
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
