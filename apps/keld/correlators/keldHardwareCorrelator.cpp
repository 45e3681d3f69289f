// The hardware correlator: a stateless table of persistent memory module
// (NVDIMM) health, interrupt routing, I/O interrupt controller, management
// controller and trusted platform module observations, each posted as one
// event with the observation's arguments in order.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"

namespace {

// One row per observation: the message doubles as the reading format, so
// Kel_GetArgs skips its text and reads one argument per conversion ("%#x",
// "%d" and "%u" take the low 32 bits of an integer, "%s" a text), from
// argument 0 on. NVDIMM messages start with the module handle and its
// identification text.
constexpr EventRow kEsLifetimeError = {"NVDIMM (handle %#x, idString %s): Energy Source Lifetime (%u) Error tripped.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.alarms.es.lifetime.error", "NVDIMM (handle %#x, idString %s): Energy Source Lifetime (%u) Error tripped."), 0};
constexpr EventRow kEsLifetimeWarning = {"NVDIMM (handle %#x, idString %s): Energy Source Lifetime (%u) Warning tripped.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.alarms.es.lifetime.warning", "NVDIMM (handle %#x, idString %s): Energy Source Lifetime (%u) Warning tripped."), 0};
constexpr EventRow kEsTemperatureError = {"NVDIMM (handle %#x, idString %s): Energy Source Temperature (%d C) Error tripped.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.alarms.es.temperature.error", "NVDIMM (handle %#x, idString %s): Energy Source Temperature (%d C) Error tripped."), 0};
constexpr EventRow kEsTemperatureWarning = {"NVDIMM (handle %#x, idString %s): Energy Source Temperature (%d C) Warning tripped.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.alarms.es.temperature.warning", "NVDIMM (handle %#x, idString %s): Energy Source Temperature (%d C) Warning tripped."), 0};
constexpr EventRow kLifetimeError = {"NVDIMM (handle %#x, idString %s): Lifetime (%u) Error tripped.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.alarms.lifetime.error", "NVDIMM (handle %#x, idString %s): Lifetime (%u) Error tripped."), 0};
constexpr EventRow kLifetimeWarning = {"NVDIMM (handle %#x, idString %s): Lifetime (%u) Warning tripped.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.alarms.lifetime.warning", "NVDIMM (handle %#x, idString %s): Lifetime (%u) Warning tripped."), 0};
constexpr EventRow kSpareBlocks = {"NVDIMM (handle %#x, idString %s): SpareBlocksPct (%u) has reached the pre-programmed threshold limit.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.alarms.spareblocks", "NVDIMM (handle %#x, idString %s): SpareBlocksPct (%u) has reached the pre-programmed threshold limit."), 0};
constexpr EventRow kTemperature = {"NVDIMM (handle %#x, idString %s): Temperature (%d C) has reached the pre-programmed threshold limit.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.alarms.temperature", "NVDIMM (handle %#x, idString %s): Temperature (%d C) has reached the pre-programmed threshold limit."), 0};
constexpr EventRow kLastShutdownStatus = {"NVDIMM (handle %#x, idString %s): Last Shutdown Status (%u) Not a clean Shutdown, there was either a platform or memory device-related failure while saving data targeted for this memory device.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.lastshutdownstatus", "NVDIMM (handle %#x, idString %s): Last Shutdown Status (%u) Not a clean Shutdown, there was either a platform or memory device-related failure while saving data targeted for this memory device."), 0};
constexpr EventRow kLifePctUsed = {"NVDIMM (handle %#x, idString %s): Life Percentage Used (%u) has reached the threshold limit (%u).", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.life.pctused", "NVDIMM (handle %#x, idString %s): Life Percentage Used (%u) has reached the threshold limit (%u)."), 0};
constexpr EventRow kModuleCe = {"NVDIMM (handle %#x, idString %s): Count of DRAM correctable ECC errors above threshold.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.module.ce", "NVDIMM (handle %#x, idString %s): Count of DRAM correctable ECC errors above threshold."), 0};
constexpr EventRow kConfigError = {"NVDIMM (handle %#x, idString %s): Configuration error detected.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.config.error", "NVDIMM (handle %#x, idString %s): Configuration error detected."), 0};
constexpr EventRow kCtlrFail = {"NVDIMM (handle %#x, idString %s): Controller failure detected. Access to the device and its capabilities are lost.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.ctlr.fail", "NVDIMM (handle %#x, idString %s): Controller failure detected. Access to the device and its capabilities are lost."), 0};
constexpr EventRow kCtlrFwError = {"NVDIMM (handle %#x, idString %s): Controller firmware error detected.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.ctlr.fw.error", "NVDIMM (handle %#x, idString %s): Controller firmware error detected."), 0};
constexpr EventRow kEsCharged = {"NVDIMM (handle %#x, idString %s): Energy Source is sufficiently charged.", VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.hardware.nvd.health.module.es.charged", "NVDIMM (handle %#x, idString %s): Energy Source is sufficiently charged."), 0};
constexpr EventRow kEsCharging = {"NVDIMM (handle %#x, idString %s): Energy Source still charging but does not have sufficient charge to support\ta backup. Persistency is temporarily lost for the device.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.es.charging", "NVDIMM (handle %#x, idString %s): Energy Source still charging but does not have sufficient charge to support\ta backup. Persistency is temporarily lost for the device."), 0};
constexpr EventRow kEsFail = {"NVDIMM (handle %#x, idString %s): Energy Source failure detected. Persistency is lost for the device.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.es.fail", "NVDIMM (handle %#x, idString %s): Energy Source failure detected. Persistency is lost for the device."), 0};
constexpr EventRow kArmFail = {"NVDIMM (handle %#x, idString %s): Previous ARM operation failed.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.ops.arm.fail", "NVDIMM (handle %#x, idString %s): Previous ARM operation failed."), 0};
constexpr EventRow kEraseFail = {"NVDIMM (handle %#x, idString %s): Previous ERASE operation failed.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.ops.erase.fail", "NVDIMM (handle %#x, idString %s): Previous ERASE operation failed."), 0};
constexpr EventRow kFlushFail = {"NVDIMM (handle %#x, idString %s): The Platform flush failed. The restored data may be inconsistent.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.ops.flush.fail", "NVDIMM (handle %#x, idString %s): The Platform flush failed. The restored data may be inconsistent."), 0};
constexpr EventRow kRestoreFail = {"NVDIMM (handle %#x, idString %s): Last RESTORE operation failed.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.ops.restore.fail", "NVDIMM (handle %#x, idString %s): Last RESTORE operation failed."), 0};
constexpr EventRow kSaveFail = {"NVDIMM (handle %#x, idString %s): Previous SAVE operation failed.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.ops.save.fail", "NVDIMM (handle %#x, idString %s): Previous SAVE operation failed."), 0};
constexpr EventRow kModuleUce = {"NVDIMM (handle %#x, idString %s): Count of DRAM uncorrectable ECC errors above threshold.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.uce", "NVDIMM (handle %#x, idString %s): Count of DRAM uncorrectable ECC errors above threshold."), 0};
constexpr EventRow kVendorError = {"NVDIMM (handle %#x, idString %s): Vendor specific error.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.module.vendor.error", "NVDIMM (handle %#x, idString %s): Vendor specific error."), 0};
constexpr EventRow kOmbEsLifetimeError = {"NVDIMM (handle %#x, idString %s): Energy Source Lifetime Error tripped.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.alarms.es.lifetime.error", "NVDIMM (handle %#x, idString %s): Energy Source Lifetime Error tripped."), 0};
constexpr EventRow kOmbEsLifetimeWarning = {"NVDIMM (handle %#x, idString %s): Energy Source Lifetime Warning tripped.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.omb.alarms.es.lifetime.warning", "NVDIMM (handle %#x, idString %s): Energy Source Lifetime Warning tripped."), 0};
constexpr EventRow kOmbEsTemperatureError = {"NVDIMM (handle %#x, idString %s): Energy Source Temperature Error tripped.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.alarms.es.temperature.error", "NVDIMM (handle %#x, idString %s): Energy Source Temperature Error tripped."), 0};
constexpr EventRow kOmbEsTemperatureWarning = {"NVDIMM (handle %#x, idString %s): Energy Source Temperature Warning tripped.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.omb.alarms.es.temperature.warning", "NVDIMM (handle %#x, idString %s): Energy Source Temperature Warning tripped."), 0};
constexpr EventRow kOmbModuleLifetimeError = {"NVDIMM (handle %#x, idString %s): Module Lifetime Error tripped.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.alarms.module.lifetime.error", "NVDIMM (handle %#x, idString %s): Module Lifetime Error tripped."), 0};
constexpr EventRow kOmbModuleLifetimeWarning = {"NVDIMM (handle %#x, idString %s): Module Lifetime Warning tripped.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.omb.alarms.module.lifetime.warning", "NVDIMM (handle %#x, idString %s): Module Lifetime Warning tripped."), 0};
constexpr EventRow kOmbModuleTemperatureError = {"NVDIMM (handle %#x, idString %s): Module Temperature Error tripped.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.alarms.module.temperature.error", "NVDIMM (handle %#x, idString %s): Module Temperature Error tripped."), 0};
constexpr EventRow kOmbModuleTemperatureWarning = {"NVDIMM (handle %#x, idString %s): Module Temperature Warning tripped.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.omb.alarms.module.temperature.warning", "NVDIMM (handle %#x, idString %s): Module Temperature Warning tripped."), 0};
constexpr EventRow kAllDataLossInPowerLoss = {"NVDIMM (handle %#x, idString %s): All data may be lost in the event of power loss.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.statusflags.allDataLossInPowerLoss", "NVDIMM (handle %#x, idString %s): All data may be lost in the event of power loss."), 0};
constexpr EventRow kAllDataLossInShutdown = {"NVDIMM (handle %#x, idString %s): All data may be lost in the event of shutdown.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.statusflags.allDataLossInShutdown", "NVDIMM (handle %#x, idString %s): All data may be lost in the event of shutdown."), 0};
constexpr EventRow kAllDataLossNow = {"NVDIMM (handle %#x, idString %s): Subsequent reads may fail or return invalid data and subsequent writes may not persist.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.statusflags.allDataLossNow", "NVDIMM (handle %#x, idString %s): Subsequent reads may fail or return invalid data and subsequent writes may not persist."), 0};
constexpr EventRow kMaintNeeded = {"NVDIMM (handle %#x, idString %s): Maintenance needed.", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hardware.nvd.health.omb.statusflags.maintNeeded", "NVDIMM (handle %#x, idString %s): Maintenance needed."), 0};
constexpr EventRow kPerfDegraded = {"NVDIMM (handle %#x, idString %s): Performance degraded.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.statusflags.perfDegraded", "NVDIMM (handle %#x, idString %s): Performance degraded."), 0};
constexpr EventRow kWpLossInPowerLoss = {"NVDIMM (handle %#x, idString %s): Write persistency loss may happen in event of power loss.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.statusflags.wpLossInPowerLoss", "NVDIMM (handle %#x, idString %s): Write persistency loss may happen in event of power loss."), 0};
constexpr EventRow kWpLossInShutdown = {"NVDIMM (handle %#x, idString %s): Write persistency loss may happen in event of shutdown.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.statusflags.wpLossInShutdown", "NVDIMM (handle %#x, idString %s): Write persistency loss may happen in event of shutdown."), 0};
constexpr EventRow kWpLossNow = {"NVDIMM (handle %#x, idString %s): Subsequent writes may not persist.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.nvd.health.omb.statusflags.wpLossNow", "NVDIMM (handle %#x, idString %s): Subsequent writes may not persist."), 0};
constexpr EventRow kRoutingDeviceInvalid = {"Skipping interrupt routing entry with bad device number: %u. This is a BIOS bug.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.acpi.interrupt.routing.device.invalid", "Skipping interrupt routing entry with bad device number: %u. This is a BIOS bug."), 0};
constexpr EventRow kRoutingPinInvalid = {"Skipping interrupt routing entry with bad device pin: %u. This is a BIOS bug.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.acpi.interrupt.routing.pin.invalid", "Skipping interrupt routing entry with bad device pin: %u. This is a BIOS bug."), 0};
constexpr EventRow kIoapicMissing = {"IOAPIC Num %d is missing. Please check BIOS settings to enable this IOAPIC.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.ioapic.missing", "IOAPIC Num %d is missing. Please check BIOS settings to enable this IOAPIC."), 0};
constexpr EventRow kBmcBad = {"Failed to communicate with the BMC. IPMI functionality will be unavailable on this system.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.ipmi.bmc.bad", "Failed to communicate with the BMC. IPMI functionality will be unavailable on this system."), 0};
constexpr EventRow kTpmNoSha256 = {"TPM 2 SHA-256 PCR bank not found to be active. Please activate it in the BIOS.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.tpm2.nosha256", "TPM 2 SHA-256 PCR bank not found to be active. Please activate it in the BIOS."), 0};
constexpr EventRow kTpmNoTis = {"TPM 2 TIS interface is not active. Please reboot and activate it in the BIOS.", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hardware.tpm2.notis", "TPM 2 TIS interface is not active. Please reboot and activate it in the BIOS."), 0};

HandlerTable BuildTable() {
  return {
      {"kel.hardware.nvd.health.alarms.es.lifetime.error", PostRow<kEsLifetimeError, UInt, Text , UInt>},
      {"kel.hardware.nvd.health.alarms.es.lifetime.warning", PostRow<kEsLifetimeWarning, UInt, Text , UInt>},
      {"kel.hardware.nvd.health.alarms.es.temperature.error", PostRow<kEsTemperatureError, UInt, Text , Int>},
      {"kel.hardware.nvd.health.alarms.es.temperature.warning", PostRow<kEsTemperatureWarning, UInt, Text , Int>},
      {"kel.hardware.nvd.health.alarms.lifetime.error", PostRow<kLifetimeError, UInt, Text , UInt>},
      {"kel.hardware.nvd.health.alarms.lifetime.warning", PostRow<kLifetimeWarning, UInt, Text , UInt>},
      {"kel.hardware.nvd.health.alarms.spareblocks", PostRow<kSpareBlocks, UInt, Text , UInt>},
      {"kel.hardware.nvd.health.alarms.temperature", PostRow<kTemperature, UInt, Text , Int>},
      {"kel.hardware.nvd.health.lastshutdownstatus", PostRow<kLastShutdownStatus, UInt, Text , UInt>},
      {"kel.hardware.nvd.health.life.pctused", PostRow<kLifePctUsed, UInt, Text , UInt, UInt>},
      {"kel.hardware.nvd.health.module.ce", PostRow<kModuleCe, UInt, Text>},
      {"kel.hardware.nvd.health.module.config.error", PostRow<kConfigError, UInt, Text>},
      {"kel.hardware.nvd.health.module.ctlr.fail", PostRow<kCtlrFail, UInt, Text>},
      {"kel.hardware.nvd.health.module.ctlr.fw.error", PostRow<kCtlrFwError, UInt, Text>},
      {"kel.hardware.nvd.health.module.es.charged", PostRow<kEsCharged, UInt, Text>},
      {"kel.hardware.nvd.health.module.es.charging", PostRow<kEsCharging, UInt, Text>},
      {"kel.hardware.nvd.health.module.es.fail", PostRow<kEsFail, UInt, Text>},
      {"kel.hardware.nvd.health.module.ops.arm.fail", PostRow<kArmFail, UInt, Text>},
      {"kel.hardware.nvd.health.module.ops.erase.fail", PostRow<kEraseFail, UInt, Text>},
      {"kel.hardware.nvd.health.module.ops.flush.fail", PostRow<kFlushFail, UInt, Text>},
      {"kel.hardware.nvd.health.module.ops.restore.fail", PostRow<kRestoreFail, UInt, Text>},
      {"kel.hardware.nvd.health.module.ops.save.fail", PostRow<kSaveFail, UInt, Text>},
      {"kel.hardware.nvd.health.module.uce", PostRow<kModuleUce, UInt, Text>},
      {"kel.hardware.nvd.health.module.vendor.error", PostRow<kVendorError, UInt, Text>},
      {"kel.hardware.nvd.health.omb.alarms.es.lifetime.error", PostRow<kOmbEsLifetimeError, UInt, Text>},
      {"kel.hardware.nvd.health.omb.alarms.es.lifetime.warning", PostRow<kOmbEsLifetimeWarning, UInt, Text>},
      {"kel.hardware.nvd.health.omb.alarms.es.temperature.error", PostRow<kOmbEsTemperatureError, UInt, Text>},
      {"kel.hardware.nvd.health.omb.alarms.es.temperature.warning", PostRow<kOmbEsTemperatureWarning, UInt, Text>},
      {"kel.hardware.nvd.health.omb.alarms.module.lifetime.error", PostRow<kOmbModuleLifetimeError, UInt, Text>},
      {"kel.hardware.nvd.health.omb.alarms.module.lifetime.warning", PostRow<kOmbModuleLifetimeWarning, UInt, Text>},
      {"kel.hardware.nvd.health.omb.alarms.module.temperature.error", PostRow<kOmbModuleTemperatureError, UInt, Text>},
      {"kel.hardware.nvd.health.omb.alarms.module.temperature.warning", PostRow<kOmbModuleTemperatureWarning, UInt, Text>},
      {"kel.hardware.nvd.health.omb.statusflags.allDataLossInPowerLoss", PostRow<kAllDataLossInPowerLoss, UInt, Text>},
      {"kel.hardware.nvd.health.omb.statusflags.allDataLossInShutdown", PostRow<kAllDataLossInShutdown, UInt, Text>},
      {"kel.hardware.nvd.health.omb.statusflags.allDataLossNow", PostRow<kAllDataLossNow, UInt, Text>},
      {"kel.hardware.nvd.health.omb.statusflags.maintNeeded", PostRow<kMaintNeeded, UInt, Text>},
      {"kel.hardware.nvd.health.omb.statusflags.perfDegraded", PostRow<kPerfDegraded, UInt, Text>},
      {"kel.hardware.nvd.health.omb.statusflags.wpLossInPowerLoss", PostRow<kWpLossInPowerLoss, UInt, Text>},
      {"kel.hardware.nvd.health.omb.statusflags.wpLossInShutdown", PostRow<kWpLossInShutdown, UInt, Text>},
      {"kel.hardware.nvd.health.omb.statusflags.wpLossNow", PostRow<kWpLossNow, UInt, Text>},
      {"kel.hardware.acpi.interrupt.routing.device.invalid", PostRow<kRoutingDeviceInvalid, UInt>},
      {"kel.hardware.acpi.interrupt.routing.pin.invalid", PostRow<kRoutingPinInvalid, UInt>},
      {"kel.hardware.ioapic.missing", PostRow<kIoapicMissing, Int>},
      {"kel.hardware.ipmi.bmc.bad", PostRow<kBmcBad>},
      {"kel.hardware.tpm2.nosha256", PostRow<kTpmNoSha256>},
      {"kel.hardware.tpm2.notis", PostRow<kTpmNoTis>},
  };
}

}  // namespace

const CorrelatorDef &HardwareCorrelator_Def(void) {
  static const CorrelatorDef def = {"Hardware", {"hardware"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
