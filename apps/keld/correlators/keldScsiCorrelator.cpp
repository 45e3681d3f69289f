// The SCSI correlator: what the host's SCSI layer observes about devices and
// paths. Stateless rows are posted from here; path state, path changes,
// power-on resets and the datastore lookups live in keldScsiPathState. Runs on
// the correlator's own thread; the state it touches needs no lock.
#include <iterator>
#include <string>
#include <tuple>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/scsi/keldScsiPathState.h"
#include "log/keldLog.h"
#include "platform/clock.h"

namespace {

// Read-failure lines shared by several rows.
constexpr char kParamsFail[] = "Failed to get params for correlation %s: %d\n";
constexpr char kCorrelateFail[] = "Failed to correlate %s: %d\n";
constexpr char kDeviceNameFail[] = "Failed to get device name: %d\n";
constexpr char kPathNameFail[] = "Failed to get path name: %d\n";

// --- Stateless device rows -------------------------------------------------

constexpr EventRow kInvalidXcopy = {
    "%p %d %d %d %p %d %d %d %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.invalid.xcopy.request",
                   "Invalid XCOPY request for device %s. Host %#x, Device %#x, Plugin %#x, %s sense, "
                   "sense.key = %#x, sense.asc = %#x, sense.ascq = %#x: %s"),
    0, kParamsFail, FailWith::kIdAndStatus};
constexpr EventRow kLatencyHigh = {
    "%p %lu %lu", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.io.latency.high",
                   "Device %s performance has deteriorated. I/O latency increased from average value "
                   "of %ld microseconds to %ld microseconds."),
    0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kLatencyImproved = {
    "%p %lu %lu", VPROB_CLEAR,
    VPROB_TEMPLATE("nox.clear.scsi.device.io.latency.improved",
                   "Device %s performance has improved. I/O latency reduced from %ld microseconds to "
                   "%ld microseconds."),
    0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kApdAllocFailed = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.apd.event.descriptor.alloc.failed",
                   "No memory to allocate APD (All Paths Down) event subsystem"),
    0, nullptr, FailWith::kIdAndStatus};  // nothing to read, so nothing to fail

// Device and plug-in rows.
constexpr EventRow kBadPluginType = {"%p %p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.scsi.device.io.bad.plugin.type", "Bad Plugin type for device %s, plugin %s"), 0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kInquiryFailed = {"%p %p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.scsi.device.io.inquiry.failed", "Failed to get standard inquiry for device %s from Plugin %s."), 0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kIsPseudoFailed = {"%p %p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.scsi.device.is.pseudo.failed", "Failed to verify if the device %s from plugin %s is a pseudo device"), 0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kIsSsdFailed = {"%p %p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.scsi.device.is.ssd.failed", "Failed to verify if the device %s from plugin %s is a Solid State Disk device"), 0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kIsLocalFailed = {"%p %p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.scsi.device.is.local.failed", "Failed to verify if the device %s from plugin %s is a local - not shared - device"), 0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kCloseFailed = {"%p %p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.scsi.device.close.failed", "Failed to close the device %s properly, plugin %s"), 0, kCorrelateFail, FailWith::kIdAndStatus};

constexpr EventRow kQerrChangeConfig = {
    "%d %p %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.io.qerr.change.config",
                   "QErr set to 0x%x for device %s. This may cause unexpected behavior. The system is not "
                   "configured to change the Qerr setting of device. The Qerr value supported by system is "
                   "0x%x. Please check the SCSI ChangeQErrSetting configuration value for NOX."),
    0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kQerrChanged = {
    "%d %p %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.io.qerr.changed",
                   "QErr set to 0x%x for device %s. This may cause unexpected behavior. The device was "
                   "originally configured to the supported QErr setting of 0x%x, but this has been changed "
                   "and could not be reset."),
    0, kCorrelateFail, FailWith::kIdAndStatus};
constexpr EventRow kFilterAttachFailed = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.filter.attach.failed",
                   "Failed to attach filters to device '%s' during registration. Plugin load failed or "
                   "the filter rules are incorrect."),
    0, kParamsFail, FailWith::kIdAndStatus};
constexpr EventRow kDetachFailed = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.detach.failed",
                   "Detach failed for device :%s. Exceeded the number of devices that can be detached, "
                   "please cleanup stale detach entries."),
    0, kParamsFail, FailWith::kIdAndStatus};
constexpr EventRow kUnsupportedPlugin = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.unsupported.plugin.type",
                   "Scsi Device Allocation not supported for plugin type %x"),
    0, kCorrelateFail, FailWith::kIdAndStatus};

// Administrative and permanent-loss state rows: the device name only.
constexpr EventRow kStateOn = {ReadBy::Index(), VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.scsi.device.state.on", "Device: %s  has been turned on administratively"), 0, kDeviceNameFail};
constexpr EventRow kStateOff = {ReadBy::Index(), VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.scsi.device.state.off", "Device: %s  has been turned off administratively"), 0, kDeviceNameFail};
constexpr EventRow kDeviceOnline = {ReadBy::Index(), VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.scsi.device.state.permanentloss.deviceonline", "Device: %s, that was permanently inaccessible, is now online. No data consistency guarantees."), 0, kDeviceNameFail};
constexpr EventRow kPluggedBack = {ReadBy::Index(), VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.scsi.device.state.permanentloss.pluggedback", "Device: %s has been plugged back in after being marked permanently inaccessible. No data consistency guarantees."), 0, kDeviceNameFail};

// --- Rows read argument by argument, each read with its own failure line ---

// Reads Args... one by one by index; a failed read logs its own line of
// `Fails` (status) and nothing is posted.
template <const EventRow &Row, const auto &Fails, typename... Args>
void PostEachLogged(Observation obs) {
  static_assert(std::size(Fails) == sizeof...(Args), "one failure line per argument");
  static_assert(eventcheck::Values<Args...>::Fit(Row.kind, Row.eventTemplate), "values do not match the row's message");
  std::tuple<Args...> values{};
  uint32_t index = 0;
  bool ok = std::apply(
      [&](Args &...a) {
        auto one = [&](auto *out) {
          uint32_t status = ReadArgs(obs, ReadBy::Index(index), out).status;
          if (status != 0) LogMsg(Fails[index], static_cast<int32_t>(status));
          index++;
          return status == 0;
        };
        return (one(&a) && ...);
      },
      values);
  if (ok) std::apply([](Args... a) { VProb_Post(Row.deferred, Row.kind, Row.eventTemplate, a...); }, values);
}

constexpr EventRow kMpxArtyOption = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.mpx.arty.option.failed",
                   "Invalid config parameter: \"%s\" provided in the mpx arty claimrule, this setting was "
                   "not applied while claiming the path %s"),
    0};
constexpr const char *kMpxArtyOptionFails[] = {"Failed to get MPX ARTY options: %d\n", kPathNameFail};
constexpr EventRow kDeviceLimit = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.limitreached",
                   "The maximum number of supported devices of %d has been reached. A device from plugin %s "
                   "could not be created."),
    0};
constexpr const char *kDeviceLimitFails[] = {"Failed to get device limit reached device count: %d\n",
                                             "Failed to get device limit reached plugin name: %d\n"};
constexpr EventRow kPathLimit = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.scsipath.limitreached",
                   "The maximum number of supported paths of %d has been reached. Path %s could not be "
                   "added."),
    0};
constexpr const char *kPathLimitFails[] = {"Failed to get path limit reached path count: %d\n",
                                           "Failed to get path limit reached path name: %d\n"};

// --- Shared path handlers ----------------------------------------------------

constexpr char kUnsafePe[] = "kel.scsi.scsipath.badpath.unsafepe";
constexpr char kUnreachPe[] = "kel.scsi.scsipath.badpath.unreachpe";

// The two protocol-endpoint sanity failures: the path, and for an
// unreachable endpoint the adapter as well.
void BadPath(Observation obs) {
  const char *id = RequireId(obs);
  if (id == nullptr) return;
  Text path;
  uint32_t status = ReadArgs(obs, ReadBy::Index(), &path).status;
  if (status != 0) {
    LogMsg(kPathNameFail, static_cast<int32_t>(status));
    return;
  }
  if (Kel_IsID(id, kUnsafePe)) {
    VPROB_POST(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.scsi.scsipath.badpath.unsafepe",
                              "Sanity check failed for path %s. Could not safely determine if the path is "
                              "to a TVol PE. Path dropped."),
               path);
  } else if (Kel_IsID(id, kUnreachPe)) {
    Text adapter;
    status = ReadArgs(obs, ReadBy::Index(1), &adapter).status;
    if (status != 0) {
      LogMsg("Failed to get PE-incapable adapter name for path %s : %d\n", TextOrNull(path),
             static_cast<int32_t>(status));
      return;
    }
    VPROB_POST(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.scsi.scsipath.badpath.unreachpe",
                              "Sanity check failed for path %s. The path is to a TVol PE, but it goes out "
                              "of adapter %s which is not PE capable. Path dropped."),
               path, adapter);
  } else {
    LogMsg("Unknown KEL ID: %s\n", id);
  }
}

// A path added or removed: counted as a path change.
template <bool Added>
void PathAddRemove(Observation obs) {
  if (RequireId(obs) == nullptr) return;
  Text path;
  uint32_t status = ReadArgs(obs, ReadBy::Index(), &path).status;
  if (status != 0) {
    LogMsg("Failed to get path add remove path name: %d\n", static_cast<int32_t>(status));
    return;
  }
  if (path == nullptr) return;  // a null name names no path to count
  PathChange_Note(path, Added, !Added);
}

// A path state change (path, previous state) handed to PathState_Down or
// PathState_Up. A failed read, or a null path, ends it silently.
template <void (*Transition)(const std::string &, const char *)>
void PathStateChange(Observation obs) {
  Text path, previous;
  if (!ReadArgs(obs, "%p %p", &path, &previous) || path == nullptr) return;
  Transition(path, previous);
}

void PowerOnReset(Observation obs) {
  Text name;
  if (!ReadArgs(obs, "%p", &name) || name == nullptr) return;
  PowerOnReset_Note(name);
}

// --- Device rows that name the device's datastores ---------------------------

// Reads the device (by index 0) and posts (device, its datastores or
// "Unknown").
template <const EventRow &Row>
void PostWithDatastores(Observation obs) {
  Text device;
  if (!ReadRow<Row>(obs, &device)) return;
  std::string datastores = device ? DatastoresOrUnknown(device) : "Unknown";
  VPROB_POST(Row.deferred, Row.kind, Row.eventTemplate, device, datastores.c_str());
}

constexpr EventRow kPermanentLoss = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.state.permanentloss",
                   "Device: %s has been removed or is permanently inaccessible. Affected datastores (if "
                   "any): %s."),
    0, kDeviceNameFail};
constexpr EventRow kNoOpens = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.state.permanentloss.noopens",
                   "Permanently inaccessible device: %s has no more opens. It is now safe to unmount "
                   "datastores (if any): %s and delete the device"),
    0, kDeviceNameFail};
constexpr EventRow kWithReservation = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.state.permanentloss.withreservationheld",
                   "Device: %s has been removed or is permanently inaccessible while holding a "
                   "reservation. Affected datastores (if any): %s."),
    0, kDeviceNameFail};
constexpr EventRow kAtQuota = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scsi.device.thinprov.atquota",
                   "Space utilization on thin-provisioned device %s exceeded configured threshold. "
                   "Affected datastores (if any): %s."),
    0, "Failed to get thin provisioned device name: %d\n"};

HandlerTable BuildTable() {
  return {
      {"kel.scsi.device.invalid.xcopy.request",
       PostRow<kInvalidXcopy, Text, Int, Int, Int, Text, Int, Int, Int, Text>},
      {"kel.scsi.device.io.latency.high", PostRow<kLatencyHigh, Text, ULong, ULong>},
      {"kel.scsi.device.io.latency.improved", PostRow<kLatencyImproved, Text, ULong, ULong>},
      {"kel.scsi.apd.event.descriptor.alloc.failed", PostRow<kApdAllocFailed>},
      {"kel.scsi.device.io.bad.plugin.type", PostRow<kBadPluginType, Text, Text>},
      {"kel.scsi.device.io.inquiry.failed", PostRow<kInquiryFailed, Text, Text>},
      {"kel.scsi.device.is.pseudo.failed", PostRow<kIsPseudoFailed, Text, Text>},
      {"kel.scsi.device.is.ssd.failed", PostRow<kIsSsdFailed, Text, Text>},
      {"kel.scsi.device.is.local.failed", PostRow<kIsLocalFailed, Text, Text>},
      {"kel.scsi.device.close.failed", PostRow<kCloseFailed, Text, Text>},
      {"kel.scsi.device.io.qerr.change.config", PostRow<kQerrChangeConfig, Int, Text, Int>},
      {"kel.scsi.device.io.qerr.changed", PostRow<kQerrChanged, Int, Text, Int>},
      {"kel.scsi.device.mpx.arty.option.failed", PostEachLogged<kMpxArtyOption, kMpxArtyOptionFails, Text, Text>},
      {"kel.scsi.device.filter.attach.failed", PostRow<kFilterAttachFailed, Text>},
      {"kel.scsi.device.detach.failed", PostRow<kDetachFailed, Text>},
      {"kel.scsi.device.state.on", PostRow<kStateOn, Text>},
      {"kel.scsi.device.state.off", PostRow<kStateOff, Text>},
      {"kel.scsi.device.state.permanentloss.deviceonline", PostRow<kDeviceOnline, Text>},
      {"kel.scsi.device.state.permanentloss.pluggedback", PostRow<kPluggedBack, Text>},
      {"kel.scsi.unsupported.plugin.type", PostRow<kUnsupportedPlugin, Int>},
      {"kel.scsi.device.limitreached", PostEachLogged<kDeviceLimit, kDeviceLimitFails, Int, Text>},
      {"kel.scsi.scsipath.limitreached", PostEachLogged<kPathLimit, kPathLimitFails, Int, Text>},
      {kUnsafePe, BadPath},
      {kUnreachPe, BadPath},
      {"kel.scsi.scsipath.pathstate.dead", PathStateChange<PathState_Down>},
      {"kel.scsi.scsipath.pathstate.off", PathStateChange<PathState_Down>},
      {"kel.scsi.scsipath.pathstate.on", PathStateChange<PathState_Up>},
      {"kel.scsi.scsipath.pathstate.standby", PathStateChange<PathState_Up>},
      {"kel.scsi.scsipath.add", PathAddRemove<true>},
      {"kel.scsi.scsipath.remove", PathAddRemove<false>},
      {"kel.scsi.scsipath.por", PowerOnReset},
      {"kel.scsi.device.state.permanentloss", PostWithDatastores<kPermanentLoss>},
      {"kel.scsi.device.state.permanentloss.noopens", PostWithDatastores<kNoOpens>},
      {"kel.scsi.device.state.permanentloss.withreservationheld", PostWithDatastores<kWithReservation>},
      {"kel.scsi.device.thinprov.atquota", PostWithDatastores<kAtQuota>},
  };
}

// The windows of the path change and power-on reset counts start now.
bool Setup() {
  ScsiPathState_Start(Clock_NowSeconds());
  return true;
}

}  // namespace

const CorrelatorDef &ScsiCorrelator_Def(void) {
  static const CorrelatorDef def = {"scsi", {"scsi"}, Unhandled_Report, BuildTable, Setup, nullptr, nullptr};
  return def;
}
