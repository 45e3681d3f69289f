// The SCSI correlator: what the host's SCSI layer observes about devices and
// paths. Stateless rows are posted from here; path state, path changes,
// power-on resets and the datastore lookups live in keldScsiPathState. Runs on
// the correlator's own thread; the state it touches needs no lock.
#include <string>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/scsi/keldScsiPathState.h"
#include "log/keldLog.h"
#include "platform/clock.h"

namespace {

// Read-failure lines shared by several rows.
const char kParamsFail[] = "Failed to get params for correlation %s: %d\n";
const char kCorrelateFail[] = "Failed to correlate %s: %d\n";
const char kDeviceNameFail[] = "Failed to get device name: %d\n";
const char kPathNameFail[] = "Failed to get path name: %d\n";

// A text for a log line, where a null text is shown as such.
const char *Shown(const char *text) { return text ? text : "(null)"; }

// --- Stateless device rows -------------------------------------------------

constexpr LoggedRow kInvalidXcopy = {
    {"%p %d %d %d %p %d %d %d %p", VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.scsi.device.invalid.xcopy.request",
                    "Invalid XCOPY request for device %s. Host %#x, Device %#x, Plugin %#x, %s sense, "
                    "sense.key = %#x, sense.asc = %#x, sense.ascq = %#x: %s"),
     0},
    kParamsFail, true};
constexpr LoggedRow kLatencyHigh = {
    {"%p %lu %lu", VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.scsi.device.io.latency.high",
                    "Device %s performance has deteriorated. I/O latency increased from average value "
                    "of %ld microseconds to %ld microseconds."),
     0},
    kCorrelateFail, true};
constexpr LoggedRow kLatencyImproved = {
    {"%p %lu %lu", VPROB_CLEAR,
     VPROB_TEMPLATE("nox.clear.scsi.device.io.latency.improved",
                    "Device %s performance has improved. I/O latency reduced from %ld microseconds to "
                    "%ld microseconds."),
     0},
    kCorrelateFail, true};
constexpr LoggedRow kApdAllocFailed = {
    {"", VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.scsi.apd.event.descriptor.alloc.failed",
                    "No memory to allocate APD (All Paths Down) event subsystem"),
     0},
    nullptr, true};  // nothing to read, so nothing to fail

// Device and plug-in rows.
#define SCSI_PLUGIN_ROW(name, suffix, message)                                          \
  constexpr LoggedRow name = {                                                          \
      {"%p %p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.scsi." suffix, message), 0}, \
      kCorrelateFail, true}
SCSI_PLUGIN_ROW(kBadPluginType, "device.io.bad.plugin.type", "Bad Plugin type for device %s, plugin %s");
SCSI_PLUGIN_ROW(kInquiryFailed, "device.io.inquiry.failed",
                "Failed to get standard inquiry for device %s from Plugin %s.");
SCSI_PLUGIN_ROW(kIsPseudoFailed, "device.is.pseudo.failed",
                "Failed to verify if the device %s from plugin %s is a pseudo device");
SCSI_PLUGIN_ROW(kIsSsdFailed, "device.is.ssd.failed",
                "Failed to verify if the device %s from plugin %s is a Solid State Disk device");
SCSI_PLUGIN_ROW(kIsLocalFailed, "device.is.local.failed",
                "Failed to verify if the device %s from plugin %s is a local - not shared - device");
SCSI_PLUGIN_ROW(kCloseFailed, "device.close.failed", "Failed to close the device %s properly, plugin %s");
#undef SCSI_PLUGIN_ROW

constexpr LoggedRow kQerrChangeConfig = {
    {"%d %p %d", VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.scsi.device.io.qerr.change.config",
                    "QErr set to 0x%x for device %s. This may cause unexpected behavior. The system is not "
                    "configured to change the Qerr setting of device. The Qerr value supported by system is "
                    "0x%x. Please check the SCSI ChangeQErrSetting configuration value for NOX."),
     0},
    kCorrelateFail, true};
constexpr LoggedRow kQerrChanged = {
    {"%d %p %d", VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.scsi.device.io.qerr.changed",
                    "QErr set to 0x%x for device %s. This may cause unexpected behavior. The device was "
                    "originally configured to the supported QErr setting of 0x%x, but this has been changed "
                    "and could not be reset."),
     0},
    kCorrelateFail, true};
constexpr LoggedRow kFilterAttachFailed = {
    {nullptr, VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.scsi.device.filter.attach.failed",
                    "Failed to attach filters to device '%s' during registration. Plugin load failed or "
                    "the filter rules are incorrect."),
     0},
    kParamsFail, true};
constexpr LoggedRow kDetachFailed = {
    {nullptr, VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.scsi.device.detach.failed",
                    "Detach failed for device :%s. Exceeded the number of devices that can be detached, "
                    "please cleanup stale detach entries."),
     0},
    kParamsFail, true};
constexpr LoggedRow kUnsupportedPlugin = {
    {nullptr, VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.scsi.unsupported.plugin.type",
                    "Scsi Device Allocation not supported for plugin type %x"),
     0},
    kCorrelateFail, true};

// Administrative and permanent-loss state rows: the device name only.
#define SCSI_STATE_ROW(name, kind, eventId, message) \
  constexpr LoggedRow name = {{nullptr, kind, VPROB_TEMPLATE(eventId, message), 0}, kDeviceNameFail, false}
SCSI_STATE_ROW(kStateOn, VPROB_CLEAR, "nox.clear.scsi.device.state.on",
               "Device: %s  has been turned on administratively");
SCSI_STATE_ROW(kStateOff, VPROB_PROBLEM, "nox.problem.scsi.device.state.off",
               "Device: %s  has been turned off administratively");
SCSI_STATE_ROW(kDeviceOnline, VPROB_CLEAR, "nox.clear.scsi.device.state.permanentloss.deviceonline",
               "Device: %s, that was permanently inaccessible, is now online. No data consistency "
               "guarantees.");
SCSI_STATE_ROW(kPluggedBack, VPROB_PROBLEM, "nox.problem.scsi.device.state.permanentloss.pluggedback",
               "Device: %s has been plugged back in after being marked permanently inaccessible. No data "
               "consistency guarantees.");
#undef SCSI_STATE_ROW

// --- Rows read argument by argument, each read with its own failure line ---

// A Problem filled with (argument 0, text 1).
struct PairRow {
  const char *eventTemplate;
  const char *firstFail;   // (status)
  const char *secondFail;  // (status)
};

template <const PairRow &Row, typename First>
void PostPair(Observation obs) {
  First first;
  Text second;
  uint32_t status = ReadArgAt(obs, 0, &first);
  if (status != 0) {
    LogMsg(Row.firstFail, static_cast<int32_t>(status));
    return;
  }
  status = ReadArgAt(obs, 1, &second);
  if (status != 0) {
    LogMsg(Row.secondFail, static_cast<int32_t>(status));
    return;
  }
  VProb_Post(0, VPROB_PROBLEM, Row.eventTemplate, first, second);
}

constexpr PairRow kMpxArtyOption = {
    VPROB_TEMPLATE("nox.problem.scsi.device.mpx.arty.option.failed",
                   "Invalid config parameter: \"%s\" provided in the mpx arty claimrule, this setting was "
                   "not applied while claiming the path %s"),
    "Failed to get MPX ARTY options: %d\n", kPathNameFail};
constexpr PairRow kDeviceLimit = {
    VPROB_TEMPLATE("nox.problem.scsi.device.limitreached",
                   "The maximum number of supported devices of %d has been reached. A device from plugin %s "
                   "could not be created."),
    "Failed to get device limit reached device count: %d\n",
    "Failed to get device limit reached plugin name: %d\n"};
constexpr PairRow kPathLimit = {
    VPROB_TEMPLATE("nox.problem.scsi.scsipath.limitreached",
                   "The maximum number of supported paths of %d has been reached. Path %s could not be "
                   "added."),
    "Failed to get path limit reached path count: %d\n", "Failed to get path limit reached path name: %d\n"};

// --- Shared path handlers ----------------------------------------------------

const char kUnsafePe[] = "kel.scsi.scsipath.badpath.unsafepe";
const char kUnreachPe[] = "kel.scsi.scsipath.badpath.unreachpe";

// The two protocol-endpoint sanity failures: the path, and for an
// unreachable endpoint the adapter as well.
void BadPath(Observation obs) {
  const char *id = RequireId(obs);
  if (id == nullptr) return;
  Text path;
  uint32_t status = ReadArgAt(obs, 0, &path);
  if (status != 0) {
    LogMsg(kPathNameFail, static_cast<int32_t>(status));
    return;
  }
  if (Kel_IsID(id, kUnsafePe)) {
    VProb_Post(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.scsi.scsipath.badpath.unsafepe",
                              "Sanity check failed for path %s. Could not safely determine if the path is "
                              "to a TVol PE. Path dropped."),
               path);
  } else if (Kel_IsID(id, kUnreachPe)) {
    Text adapter;
    status = ReadArgAt(obs, 1, &adapter);
    if (status != 0) {
      LogMsg("Failed to get PE-incapable adapter name for path %s : %d\n", Shown(path),
             static_cast<int32_t>(status));
      return;
    }
    VProb_Post(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.scsi.scsipath.badpath.unreachpe",
                              "Sanity check failed for path %s. The path is to a TVol PE, but it goes out "
                              "of adapter %s which is not PE capable. Path dropped."),
               path, adapter);
  } else {
    LogMsg("Unknown KEL ID: %s\n", id);
  }
}

// A path added or removed: counted as a path change.
void PathAddRemove(Observation obs) {
  const char *id = RequireId(obs);
  if (id == nullptr) return;
  Text path;
  uint32_t status = ReadArgAt(obs, 0, &path);
  if (status != 0) {
    LogMsg("Failed to get path add remove path name: %d\n", static_cast<int32_t>(status));
    return;
  }
  bool added = Kel_IsID(id, "kel.scsi.scsipath.add");
  if (!added && !Kel_IsID(id, "kel.scsi.scsipath.remove")) {
    LogMsg("Unknown KEL ID: %s\n", id);
    return;
  }
  if (path == nullptr) return;  // a null name names no path to count
  PathChange_Note(path, added, !added);
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

// A Problem filled with (device, datastores or "Unknown").
struct DatastoreRow {
  const char *eventTemplate;
  const char *failLog;  // (status)
};

template <const DatastoreRow &Row>
void PostWithDatastores(Observation obs) {
  Text device;
  uint32_t status = ReadArgAt(obs, 0, &device);
  if (status != 0) {
    LogMsg(Row.failLog, static_cast<int32_t>(status));
    return;
  }
  std::string datastores = device ? DatastoresOrUnknown(device) : "Unknown";
  VProb_Post(0, VPROB_PROBLEM, Row.eventTemplate, device, datastores.c_str());
}

constexpr DatastoreRow kPermanentLoss = {
    VPROB_TEMPLATE("nox.problem.scsi.device.state.permanentloss",
                   "Device: %s has been removed or is permanently inaccessible. Affected datastores (if "
                   "any): %s."),
    kDeviceNameFail};
constexpr DatastoreRow kNoOpens = {
    VPROB_TEMPLATE("nox.problem.scsi.device.state.permanentloss.noopens",
                   "Permanently inaccessible device: %s has no more opens. It is now safe to unmount "
                   "datastores (if any): %s and delete the device"),
    kDeviceNameFail};
constexpr DatastoreRow kWithReservation = {
    VPROB_TEMPLATE("nox.problem.scsi.device.state.permanentloss.withreservationheld",
                   "Device: %s has been removed or is permanently inaccessible while holding a "
                   "reservation. Affected datastores (if any): %s."),
    kDeviceNameFail};
constexpr DatastoreRow kAtQuota = {
    VPROB_TEMPLATE("nox.problem.scsi.device.thinprov.atquota",
                   "Space utilization on thin-provisioned device %s exceeded configured threshold. "
                   "Affected datastores (if any): %s."),
    "Failed to get thin provisioned device name: %d\n"};

HandlerTable BuildTable() {
  const std::string p = "kel.scsi.";
  return {
      {p + "device.invalid.xcopy.request",
       PostLoggedRow<kInvalidXcopy, Text, Int, Int, Int, Text, Int, Int, Int, Text>},
      {p + "device.io.latency.high", PostLoggedRow<kLatencyHigh, Text, ULong, ULong>},
      {p + "device.io.latency.improved", PostLoggedRow<kLatencyImproved, Text, ULong, ULong>},
      {p + "apd.event.descriptor.alloc.failed", PostLoggedRow<kApdAllocFailed>},
      {p + "device.io.bad.plugin.type", PostLoggedRow<kBadPluginType, Text, Text>},
      {p + "device.io.inquiry.failed", PostLoggedRow<kInquiryFailed, Text, Text>},
      {p + "device.is.pseudo.failed", PostLoggedRow<kIsPseudoFailed, Text, Text>},
      {p + "device.is.ssd.failed", PostLoggedRow<kIsSsdFailed, Text, Text>},
      {p + "device.is.local.failed", PostLoggedRow<kIsLocalFailed, Text, Text>},
      {p + "device.close.failed", PostLoggedRow<kCloseFailed, Text, Text>},
      {p + "device.io.qerr.change.config", PostLoggedRow<kQerrChangeConfig, Int, Text, Int>},
      {p + "device.io.qerr.changed", PostLoggedRow<kQerrChanged, Int, Text, Int>},
      {p + "device.mpx.arty.option.failed", PostPair<kMpxArtyOption, Text>},
      {p + "device.filter.attach.failed", PostLoggedRow<kFilterAttachFailed, Text>},
      {p + "device.detach.failed", PostLoggedRow<kDetachFailed, Text>},
      {p + "device.state.on", PostLoggedRow<kStateOn, Text>},
      {p + "device.state.off", PostLoggedRow<kStateOff, Text>},
      {p + "device.state.permanentloss.deviceonline", PostLoggedRow<kDeviceOnline, Text>},
      {p + "device.state.permanentloss.pluggedback", PostLoggedRow<kPluggedBack, Text>},
      {p + "unsupported.plugin.type", PostLoggedRow<kUnsupportedPlugin, Int>},
      {p + "device.limitreached", PostPair<kDeviceLimit, Int>},
      {p + "scsipath.limitreached", PostPair<kPathLimit, Int>},
      {kUnsafePe, BadPath},
      {kUnreachPe, BadPath},
      {p + "scsipath.pathstate.dead", PathStateChange<PathState_Down>},
      {p + "scsipath.pathstate.off", PathStateChange<PathState_Down>},
      {p + "scsipath.pathstate.on", PathStateChange<PathState_Up>},
      {p + "scsipath.pathstate.standby", PathStateChange<PathState_Up>},
      {p + "scsipath.add", PathAddRemove},
      {p + "scsipath.remove", PathAddRemove},
      {p + "scsipath.por", PowerOnReset},
      {p + "device.state.permanentloss", PostWithDatastores<kPermanentLoss>},
      {p + "device.state.permanentloss.noopens", PostWithDatastores<kNoOpens>},
      {p + "device.state.permanentloss.withreservationheld", PostWithDatastores<kWithReservation>},
      {p + "device.thinprov.atquota", PostWithDatastores<kAtQuota>},
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
