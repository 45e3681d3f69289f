// The hardware correlator: a stateless table of persistent memory module
// (NVDIMM) health, interrupt routing, I/O interrupt controller, management
// controller and trusted platform module observations, each posted as one
// event with the observation's arguments in order.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"

namespace {

// A row list calls X(name, KIND, suffix, message, extraTypes) once per row.
// KIND is PROBLEM, AUDIT or CLEAR. extraTypes is the parenthesised list of the
// argument types after the ones every row of the list has, each preceded by a
// comma: () for none, (, UInt) for one.
//
// The message doubles as the reading format: Kel_GetArgs skips its text and
// reads one argument per conversion, so "%#x", "%d" and "%u" take the low 32
// bits of an integer and "%s" a text, from argument 0 on.

// NVDIMM health: every message starts with the module handle and its
// identification text.
#define NVD_ROWS(X)                                                                                    \
  X(EsLifetimeError, PROBLEM, "alarms.es.lifetime.error", "Energy Source Lifetime (%u) Error tripped.", \
    (, UInt))                                                                                          \
  X(EsLifetimeWarning, AUDIT, "alarms.es.lifetime.warning",                                            \
    "Energy Source Lifetime (%u) Warning tripped.", (, UInt))                                          \
  X(EsTemperatureError, PROBLEM, "alarms.es.temperature.error",                                        \
    "Energy Source Temperature (%d C) Error tripped.", (, Int))                                        \
  X(EsTemperatureWarning, AUDIT, "alarms.es.temperature.warning",                                      \
    "Energy Source Temperature (%d C) Warning tripped.", (, Int))                                      \
  X(LifetimeError, PROBLEM, "alarms.lifetime.error", "Lifetime (%u) Error tripped.", (, UInt))         \
  X(LifetimeWarning, AUDIT, "alarms.lifetime.warning", "Lifetime (%u) Warning tripped.", (, UInt))     \
  X(SpareBlocks, AUDIT, "alarms.spareblocks",                                                          \
    "SpareBlocksPct (%u) has reached the pre-programmed threshold limit.", (, UInt))                   \
  X(Temperature, AUDIT, "alarms.temperature",                                                          \
    "Temperature (%d C) has reached the pre-programmed threshold limit.", (, Int))                     \
  X(LastShutdownStatus, PROBLEM, "lastshutdownstatus",                                                 \
    "Last Shutdown Status (%u) Not a clean Shutdown, there was either a platform or memory "           \
    "device-related failure while saving data targeted for this memory device.",                       \
    (, UInt))                                                                                          \
  X(LifePctUsed, AUDIT, "life.pctused",                                                                \
    "Life Percentage Used (%u) has reached the threshold limit (%u).", (, UInt, UInt))                 \
  X(ModuleCe, AUDIT, "module.ce", "Count of DRAM correctable ECC errors above threshold.", ())          \
  X(ConfigError, PROBLEM, "module.config.error", "Configuration error detected.", ())                  \
  X(CtlrFail, PROBLEM, "module.ctlr.fail",                                                             \
    "Controller failure detected. Access to the device and its capabilities are lost.", ())            \
  X(CtlrFwError, PROBLEM, "module.ctlr.fw.error", "Controller firmware error detected.", ())           \
  X(EsCharged, CLEAR, "module.es.charged", "Energy Source is sufficiently charged.", ())                \
  X(EsCharging, PROBLEM, "module.es.charging",                                                         \
    "Energy Source still charging but does not have sufficient charge to support\t"                    \
    "a backup. Persistency is temporarily lost for the device.",                                       \
    ())                                                                                                \
  X(EsFail, PROBLEM, "module.es.fail",                                                                 \
    "Energy Source failure detected. Persistency is lost for the device.", ())                         \
  X(ArmFail, PROBLEM, "module.ops.arm.fail", "Previous ARM operation failed.", ())                     \
  X(EraseFail, PROBLEM, "module.ops.erase.fail", "Previous ERASE operation failed.", ())               \
  X(FlushFail, PROBLEM, "module.ops.flush.fail",                                                       \
    "The Platform flush failed. The restored data may be inconsistent.", ())                           \
  X(RestoreFail, PROBLEM, "module.ops.restore.fail", "Last RESTORE operation failed.", ())             \
  X(SaveFail, PROBLEM, "module.ops.save.fail", "Previous SAVE operation failed.", ())                  \
  X(ModuleUce, PROBLEM, "module.uce", "Count of DRAM uncorrectable ECC errors above threshold.", ())    \
  X(VendorError, PROBLEM, "module.vendor.error", "Vendor specific error.", ())                          \
  X(OmbEsLifetimeError, PROBLEM, "omb.alarms.es.lifetime.error",                                       \
    "Energy Source Lifetime Error tripped.", ())                                                       \
  X(OmbEsLifetimeWarning, AUDIT, "omb.alarms.es.lifetime.warning",                                     \
    "Energy Source Lifetime Warning tripped.", ())                                                     \
  X(OmbEsTemperatureError, PROBLEM, "omb.alarms.es.temperature.error",                                 \
    "Energy Source Temperature Error tripped.", ())                                                    \
  X(OmbEsTemperatureWarning, AUDIT, "omb.alarms.es.temperature.warning",                               \
    "Energy Source Temperature Warning tripped.", ())                                                  \
  X(OmbModuleLifetimeError, PROBLEM, "omb.alarms.module.lifetime.error",                               \
    "Module Lifetime Error tripped.", ())                                                              \
  X(OmbModuleLifetimeWarning, AUDIT, "omb.alarms.module.lifetime.warning",                             \
    "Module Lifetime Warning tripped.", ())                                                            \
  X(OmbModuleTemperatureError, PROBLEM, "omb.alarms.module.temperature.error",                         \
    "Module Temperature Error tripped.", ())                                                           \
  X(OmbModuleTemperatureWarning, AUDIT, "omb.alarms.module.temperature.warning",                       \
    "Module Temperature Warning tripped.", ())                                                         \
  X(AllDataLossInPowerLoss, PROBLEM, "omb.statusflags.allDataLossInPowerLoss",                         \
    "All data may be lost in the event of power loss.", ())                                            \
  X(AllDataLossInShutdown, PROBLEM, "omb.statusflags.allDataLossInShutdown",                           \
    "All data may be lost in the event of shutdown.", ())                                              \
  X(AllDataLossNow, PROBLEM, "omb.statusflags.allDataLossNow",                                         \
    "Subsequent reads may fail or return invalid data and subsequent writes may not persist.", ())    \
  X(MaintNeeded, AUDIT, "omb.statusflags.maintNeeded", "Maintenance needed.", ())                      \
  X(PerfDegraded, PROBLEM, "omb.statusflags.perfDegraded", "Performance degraded.", ())                \
  X(WpLossInPowerLoss, PROBLEM, "omb.statusflags.wpLossInPowerLoss",                                   \
    "Write persistency loss may happen in event of power loss.", ())                                   \
  X(WpLossInShutdown, PROBLEM, "omb.statusflags.wpLossInShutdown",                                     \
    "Write persistency loss may happen in event of shutdown.", ())                                     \
  X(WpLossNow, PROBLEM, "omb.statusflags.wpLossNow", "Subsequent writes may not persist.", ())

// Interrupt routing, I/O interrupt controller, BMC and TPM.
#define OTHER_ROWS(X)                                                                                  \
  X(RoutingDeviceInvalid, PROBLEM, "acpi.interrupt.routing.device.invalid",                            \
    "Skipping interrupt routing entry with bad device number: %u. This is a BIOS bug.", (, UInt))      \
  X(RoutingPinInvalid, PROBLEM, "acpi.interrupt.routing.pin.invalid",                                  \
    "Skipping interrupt routing entry with bad device pin: %u. This is a BIOS bug.", (, UInt))         \
  X(IoapicMissing, PROBLEM, "ioapic.missing",                                                          \
    "IOAPIC Num %d is missing. Please check BIOS settings to enable this IOAPIC.", (, Int))            \
  X(BmcBad, PROBLEM, "ipmi.bmc.bad",                                                                   \
    "Failed to communicate with the BMC. IPMI functionality will be unavailable on this system.", ()) \
  X(TpmNoSha256, PROBLEM, "tpm2.nosha256",                                                             \
    "TPM 2 SHA-256 PCR bank not found to be active. Please activate it in the BIOS.", ())              \
  X(TpmNoTis, PROBLEM, "tpm2.notis",                                                                   \
    "TPM 2 TIS interface is not active. Please reboot and activate it in the BIOS.", ())

#define KIND_WORD_PROBLEM "problem"
#define KIND_WORD_AUDIT "audit"
#define KIND_WORD_CLEAR "clear"
#define EXTRA_TYPES(...) __VA_ARGS__

#define NVD_STEM "nvd.health."
#define NVD_BEGINNING "NVDIMM (handle %#x, idString %s): "

#define DEFINE_ROW(name, kind, stem, beginning, suffix, message)                              \
  constexpr EventRow k##name = {beginning message, VPROB_##kind,                              \
                                VPROB_TEMPLATE("nox." KIND_WORD_##kind ".hardware." stem suffix, \
                                               beginning message),                            \
                                0};
#define DEFINE_NVD_ROW(name, kind, suffix, message, extra) \
  DEFINE_ROW(name, kind, NVD_STEM, NVD_BEGINNING, suffix, message)
#define DEFINE_OTHER_ROW(name, kind, suffix, message, extra) DEFINE_ROW(name, kind, "", "", suffix, message)

NVD_ROWS(DEFINE_NVD_ROW)
OTHER_ROWS(DEFINE_OTHER_ROW)

#define NVD_ENTRY(name, kind, suffix, message, extra) \
  {"kel.hardware." NVD_STEM suffix, PostRow<k##name, UInt, Text EXTRA_TYPES extra>},
#define OTHER_ENTRY(name, kind, suffix, message, extra) \
  {"kel.hardware." suffix, PostRow<k##name EXTRA_TYPES extra>},

HandlerTable BuildTable() {
  // The rows pass empty macro arguments, which the static checker cannot parse.
  // cppcheck-suppress syntaxError
  return HandlerTable{NVD_ROWS(NVD_ENTRY) OTHER_ROWS(OTHER_ENTRY)};
}

}  // namespace

const CorrelatorDef &HardwareCorrelator_Def(void) {
  static const CorrelatorDef def = {"Hardware", {"hardware"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
