// The cluster file system correlator: locked volumes, extents, mounts, lock
// modes, heartbeat and on-disk metadata trouble, lock contention, NFS server
// disconnects and NFS latency. Stateless: each observation yields at most one
// event; the work is turning typed arguments into message arguments, chiefly
// a volume UUID carried as nine integers into one text. Runs on the
// correlator's own thread.
#include <array>
#include <cstdio>
#include <tuple>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "log/keldLog.h"

namespace {

// A volume UUID as an observation carries it: nine consecutive arguments.
struct VolumeUuid {
  uint32_t word1;
  uint32_t word2;
  uint16_t word3;
  uint8_t bytes[6];
};

// Reads the nine UUID arguments inside a reading format, and renders them.
#define GLFS_UUID_FORMAT "%08x-%08x-%04hx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx"

// The UUID as text: 35 characters and the terminator.
struct UuidText {
  char text[36];
};

UuidText Render(const VolumeUuid &u) {
  UuidText out;
  snprintf(out.text, sizeof out.text, GLFS_UUID_FORMAT, u.word1, u.word2, u.word3, u.bytes[0], u.bytes[1],
           u.bytes[2], u.bytes[3], u.bytes[4], u.bytes[5]);
  return out;
}

// The arguments of a UUID row: `Before` texts, the UUID, `After` texts. The
// event takes them in the same order, the UUID as its text.
template <size_t Before, size_t After>
struct UuidArgs {
  std::array<Text, Before> before{};
  VolumeUuid uuid{};
  std::array<Text, After> after{};

  // Reads all of them as `by` says. True on success.
  bool Read(Observation obs, ReadBy by) {
    return std::apply(
        [&](auto &...pre) {
          return std::apply(
              [&](auto &...post) {
                VolumeUuid &u = uuid;
                return ReadArgs(obs, by, &pre..., &u.word1, &u.word2, &u.word3, &u.bytes[0], &u.bytes[1],
                                  &u.bytes[2], &u.bytes[3], &u.bytes[4], &u.bytes[5], &post...).status == 0;
              },
              after);
        },
        before);
  }

  void Post(VProbKind kind, const char *eventTemplate) const {
    UuidText text = Render(uuid);
    const char *uuidText = text.text;
    std::apply(
        [&](auto... pre) {
          std::apply([&](auto... post) { VProb_Post(0, kind, eventTemplate, pre..., uuidText, post...); },
                     after);
        },
        before);
  }
};

// True when the template fits its kind and its message takes N texts.
template <size_t N>
constexpr bool TakesTexts(VProbKind kind, const char *eventTemplate) {
  eventcheck::ArgClass classes[N] = {};
  for (eventcheck::ArgClass &c : classes) c = eventcheck::kText;
  return eventcheck::TemplateFitsKind(kind, eventTemplate) &&
         eventcheck::MessageTakes(eventcheck::TemplateMessage(eventTemplate), classes, N);
}

template <const EventRow &Row, size_t Before, size_t After>
void PostUuidRow(Observation obs) {
  static_assert(TakesTexts<Before + 1 + After>(Row.kind, Row.eventTemplate), "the row's message takes other values");
  UuidArgs<Before, After> args;
  if (args.Read(obs, Row.read)) args.Post(Row.kind, Row.eventTemplate);
}

// --- Volume and lock events --------------------------------------------------

constexpr EventRow kVolumeLocked = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.error.volume.is.locked",
                   "Volume on device %s is locked, possibly because some remote host encountered an error "
                   "during a volume operation and could not recover."),
    0};
constexpr char kExtentOffline[] = VPROB_TEMPLATE(
    "nox.problem.glfs.extent.offline",
    "An attached device %s may be offline. The file system %s is now in a degraded state. While the "
    "datastore is still available, parts of data that reside on the extent that went offline might be "
    "inaccessible.");
constexpr EventRow kExtentOnline = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.extent.online",
                   "Device %s backing file system %s came online. This extent was previously offline. All "
                   "resources on this device are now available."),
    0};
constexpr EventRow kVolumeMounted = {
    "%p %p %p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.glfs.volume.mounted",
                   "File system %s on volume %s has been mounted in '%s' mode. The datastore is now "
                   "accessible on this host."),
    0};
constexpr EventRow kVolumeUmounted = {
    "%p %p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.glfs.volume.umounted",
                   "File system %s on volume %s has been safely un-mounted. The datastore is no longer "
                   "accessible on this host."),
    0};
constexpr EventRow kAtsSupportLost = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.ats.support.lost",
                   "ATS-Only GLFS volume '%s' will not be mounted. Host does notsupport ATS or ATS "
                   "intialization has failed."),
    0};
constexpr EventRow kSpanState = {
    "%p" GLFS_UUID_FORMAT, VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.spanstate.incompatibility.detected",
                   "Incompatible span change detected for GLFS volume '%s' (%s): volume was not spanned at "
                   "time of open but now it is, and this host is using ATS-only lockmode but the volume is "
                   "not ATS-only. Volume descriptor refresh operations will fail until this host unmounts "
                   "and remounts the volume."),
    0};
constexpr EventRow kLockMode = {
    "%p" GLFS_UUID_FORMAT "%p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.lockmode.inconsistency.detected",
                   "Inconsistent lockmode change detected for GLFS volume '%s' (%s): volume was configured "
                   "for %s lockmode at time of open and now it is configured for %s lockmode but this host "
                   "is not using %s lockmode. Protocol error during ATS transition. Volume descriptor "
                   "refresh operations will fail until this host unmounts and remounts the volume."),
    0};
constexpr EventRow kAtsIncompatibility = {
    "%p" GLFS_UUID_FORMAT, VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.ats.incompatibility.detected",
                   "Multi-extent ATS-only volume '%s' (%s) is unable to use ATS because "
                   "HardwareAcceleratedLocking is disabled on this host: potential for introducing "
                   "filesystem corruption. Volume should not be used from other hosts."),
    0};
constexpr EventRow kSpannedLockMode = {
    "%p" GLFS_UUID_FORMAT "%p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.spanned.lockmode.inconsistency.detected",
                   "Inconsistent lockmode change detected for spanned GLFS volume '%s' (%s): volume was "
                   "configured for %s lockmode at time of open and now it is configured for %s lockmode "
                   "but this host is not using %s lockmode. All operations on this volume will fail until "
                   "this host unmounts and remounts the volume."),
    0};
constexpr EventRow kLockBusyFilename = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.lock.busy.filename", "Lock(s) held on file %s by other host(s)"), 0};
constexpr EventRow kLockBusyFiledesc = {
    "%p %p %u %u %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.lock.busy.filedesc",
                   "%s Lock(s) held on a file on volume %s. numHolders: %d. gblNumHolders: %d. Locking "
                   "Host(s) MAC: %s."),
    0};

// An absent device is posted as an empty name.
void ExtentOffline(Observation obs) {
  Text device, fileSystem;
  if (!ReadArgs(obs, "%p %p", &device, &fileSystem)) return;
  VPROB_POST(0, VPROB_PROBLEM, kExtentOffline, device ? device : "", fileSystem);
}

// --- Heartbeat and on-disk metadata: (UUID, detail) ---------------------------

constexpr char kHeartbeatFormat[] = GLFS_UUID_FORMAT "%p";
constexpr EventRow kHeartbeatTimedout = {kHeartbeatFormat, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.heartbeat.timedout", "%s %s"), 0};
constexpr EventRow kHeartbeatRecovered = {kHeartbeatFormat, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.heartbeat.recovered", "%s %s"), 0};
constexpr EventRow kJournalCreatefailed = {kHeartbeatFormat, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.journal.createfailed", "%s %s"), 0};
constexpr EventRow kHeartbeatUnrecoverable = {kHeartbeatFormat, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.heartbeat.unrecoverable", "%s %s"), 0};
constexpr EventRow kLockCorruptondiskV2 = {kHeartbeatFormat, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.lock.corruptondisk.v2", "%s %s"), 0};
constexpr EventRow kResourceCorruptondisk = {kHeartbeatFormat, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.resource.corruptondisk", "%s %s"), 0};
constexpr EventRow kHeartbeatCorruptondisk = {kHeartbeatFormat, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.heartbeat.corruptondisk", "%s %s"), 0};

// --- NFS servers: (text, text, UUID, text) ------------------------------------

constexpr char kNfsServerFormat[] = "%p %p" GLFS_UUID_FORMAT "%p";
constexpr EventRow kNfsServerDisconnect = {kNfsServerFormat, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.nfs.server.disconnect", "%s %s %s %s"), 0};
constexpr EventRow kNfsServerRestored = {kNfsServerFormat, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.nfs.server.restored", "%s %s %s %s"), 0};

// --- NFS volume latency -------------------------------------------------------

// Each handler is registered only under its own ID, which is therefore the
// observation's whenever it runs.
constexpr char kCorrelateFail[] = "Failed to correlate %s: %d\n";
constexpr EventRow kNfsLatencyHigh = {"%p %lu %lu", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.glfs.nfs.volume.io.latency.high", "%s %lu %lu"), 0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kNfsLatencyImproved = {"%p %lu %lu", VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.glfs.nfs.volume.io.latency.improved", "%s %lu %lu"), 0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kNfsLatencyExceeded = {
    "%p %lu %lu %lu", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.glfs.nfs.volume.io.latency.exceed.threshold.period", "%s %lu %lu %lu"), 0,
    kCorrelateFail, FailWith::kIdAndStatus};

HandlerTable BuildTable() {
  return {
      {"kel.glfs.error.volume.is.locked", PostRow<kVolumeLocked, Text>},
      {"kel.glfs.extent.offline", ExtentOffline},
      {"kel.glfs.extent.online", PostRow<kExtentOnline, Text, Text>},
      {"kel.glfs.volume.mounted", PostRow<kVolumeMounted, Text, Text, Text>},
      {"kel.glfs.volume.umounted", PostRow<kVolumeUmounted, Text, Text>},
      {"kel.glfs.ats.support.lost", PostRow<kAtsSupportLost, Text>},
      {"kel.glfs.spanstate.incompatibility.detected", PostUuidRow<kSpanState, 1, 0>},
      {"kel.glfs.lockmode.inconsistency.detected", PostUuidRow<kLockMode, 1, 3>},
      {"kel.glfs.ats.incompatibility.detected", PostUuidRow<kAtsIncompatibility, 1, 0>},
      {"kel.glfs.spanned.lockmode.inconsistency.detected", PostUuidRow<kSpannedLockMode, 1, 3>},
      {"kel.glfs.lock.busy.filename", PostRow<kLockBusyFilename, Text>},
      {"kel.glfs.lock.busy.filedesc", PostRow<kLockBusyFiledesc, Text, Text, UInt, UInt, Text>},
      {"kel.glfs.nfs.volume.io.latency.high", PostRow<kNfsLatencyHigh, Text, ULong, ULong>},
      {"kel.glfs.nfs.volume.io.latency.improved", PostRow<kNfsLatencyImproved, Text, ULong, ULong>},
      {"kel.glfs.nfs.volume.io.latency.exceed.threshold.period",
       PostRow<kNfsLatencyExceeded, Text, ULong, ULong, ULong>},
      {"kel.glfs.heartbeat.timedout", PostUuidRow<kHeartbeatTimedout, 0, 1>},
      {"kel.glfs.heartbeat.recovered", PostUuidRow<kHeartbeatRecovered, 0, 1>},
      {"kel.glfs.journal.createfailed", PostUuidRow<kJournalCreatefailed, 0, 1>},
      {"kel.glfs.heartbeat.unrecoverable", PostUuidRow<kHeartbeatUnrecoverable, 0, 1>},
      {"kel.glfs.lock.corruptondisk.v2", PostUuidRow<kLockCorruptondiskV2, 0, 1>},
      {"kel.glfs.resource.corruptondisk", PostUuidRow<kResourceCorruptondisk, 0, 1>},
      {"kel.glfs.heartbeat.corruptondisk", PostUuidRow<kHeartbeatCorruptondisk, 0, 1>},
      {"kel.glfs.nfs.server.disconnect", PostUuidRow<kNfsServerDisconnect, 2, 1>},
      {"kel.glfs.nfs.server.restored", PostUuidRow<kNfsServerRestored, 2, 1>},
  };
}

}  // namespace

const CorrelatorDef &GlfsCorrelator_Def(void) {
  static const CorrelatorDef def = {"glfs", {"glfs"}, Unhandled_ReadId, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
