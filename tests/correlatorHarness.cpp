#include "correlatorHarness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "agents/keldTimer.h"
#include "eventCatalog.h"
#include "eventText.h"
#include "events/keldVprob.h"
#include "platform/kelLib.h"

struct CorrelatorHarness::Sink {
  VProbSink sink;
  CorrelatorHarness *owner;
  // Set when an event was composed and not yet offered for sending: the
  // send that follows at once is its immediate attempt.
  bool justComposed = false;
};

namespace {

int SinkSend(void *ctx, const uint8_t *, size_t) {
  auto *sink = static_cast<CorrelatorHarness::Sink *>(ctx);
  if (sink->justComposed) sink->owner->MarkImmediate();
  sink->justComposed = false;
  return 0;
}

// Every event a daemon correlator composes must be in the event catalog,
// under that correlator, with a template that renders the same message.
void CheckCatalog(const CorrelatorDef &def, const PostedEvent &ev) {
  bool daemonCorrelator = false;
  for (const CatalogEvent &e : Catalog_Events()) daemonCorrelator = daemonCorrelator || def.name == std::string(e.correlator);
  if (!daemonCorrelator) return;
  const CatalogEvent *entry = Catalog_Find(ev.id);
  if (entry == nullptr) {
    ADD_FAILURE() << ev.id << " is not in the event catalog: add it to tools/catalog/eventCatalogData.cpp, then "
                  << "run build/kelcatalog --format markdown > docs/events.md";
    return;
  }
  std::string rendered;
  EXPECT_EQ(entry->correlator, std::string(def.name)) << ev.id;
  EXPECT_TRUE(Catalog_Render(*entry, ev.args, &rendered) && rendered == ev.message)
      << ev.id << ": the catalog renders \"" << rendered << "\", the daemon \"" << ev.message << "\"";
}

}  // namespace

CorrelatorHarness::CorrelatorHarness(const CorrelatorDef &def, const std::string &hostModel,
                                     int64_t startSeconds) {
  WriteHostModel(hostModel);
  clock_ = std::make_unique<FakeClock>(startSeconds);
  Timer_ResetForTest();
  VProb_ResetForTest();
  VProbInit();
  sink_ = std::make_unique<Sink>();
  sink_->owner = this;
  sink_->sink.ctx = sink_.get();
  sink_->sink.send = SinkSend;
  sink_->sink.composed = [](void *ctx, const uint8_t *record, size_t length, const char *message) {
    auto *sink = static_cast<Sink *>(ctx);
    VProbRecordDecoded decoded;
    std::string error;
    PostedEvent ev;
    if (VProbRecord_Decode(record, length, &decoded, &error)) {
      ev.id = decoded.id;
      ev.args = decoded.args;
      ev.time = decoded.time;
    } else {
      ev.id = "<undecodable: " + error + ">";
    }
    ev.message = message ? message : "";
    ev.deferred = true;  // until its immediate attempt is seen
    CheckCatalog(sink->owner->driver_->Def(), ev);
    sink->owner->events_.push_back(ev);
    sink->justComposed = true;
  };
  VProb_SetSink(&sink_->sink);
  driver_ = std::make_unique<CorrelatorDriver>(def);
}

CorrelatorHarness::~CorrelatorHarness() {
  VProb_SetSink(nullptr);
  clock_.reset();
}

void CorrelatorHarness::WriteHostModel(const std::string &text) {
  root_.WriteFile("/etc/hostsim.conf", text);
  std::string path = root_.Path("/etc/hostsim.conf");
  // Bump the modification time so that a rewrite within the same clock tick
  // is still noticed by the host model's reader.
  static long bump = 0;
  struct timespec times[2];
  clock_gettime(CLOCK_REALTIME, &times[0]);
  times[0].tv_sec += ++bump;
  times[1] = times[0];
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

void CorrelatorHarness::Send(const std::string &id, const std::string &format,
                             const std::vector<KelArg> &args) {
  std::vector<uint8_t> bytes = KelRecord_Build(id, format, args, clock_->Micros());
  if (driver_->FeedRecord(bytes.data(), bytes.size(), clock_->Micros())) RunWakeups();
}

void CorrelatorHarness::RunWakeups() {
  while (driver_->RunWakeup()) {
  }
}

void CorrelatorHarness::Advance(int64_t seconds) {
  for (int64_t i = 0; i < seconds; i++) {
    clock_->AdvanceSeconds(1);
    Timer_FireDue();
    RunWakeups();
  }
}

void CorrelatorHarness::MarkImmediate() {
  if (!events_.empty()) events_.back().deferred = false;
}

std::vector<PostedEvent> CorrelatorHarness::Take() {
  std::vector<PostedEvent> out;
  out.swap(events_);
  return out;
}

std::string CorrelatorHarness::Journal() const { return root_.ReadFile("/var/log/hostsim-actions.log"); }

std::string CorrelatorHarness::Syslog() const { return root_.ReadFile("/var/log/syslog"); }

std::string ArgText(const VProbArg &arg) { return EventText_Arg(arg); }

std::vector<std::string> ArgTexts(const PostedEvent &event) {
  std::vector<std::string> out;
  for (const VProbArg &a : event.args) out.push_back(ArgText(a));
  return out;
}
