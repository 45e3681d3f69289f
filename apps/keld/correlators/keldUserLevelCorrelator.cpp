// User-level correlator: observations of the host's user-space services
// (console and shell access, logins, maintenance and lockdown mode, boot and
// power operations, image installation, core dump targets, scratch space, the
// log daemon, DHCP, NTP, drivers, I/O filters, storage I/O control) become
// problem, audit and clear events, almost all one to one. Two complaints that
// services repeat are throttled per key.
//
// State: the two throttles, created on first use and reset by the set-up;
// touched only on the correlator's thread, so no lock.
#include <cstring>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "platform/clock.h"
#include "platform/ombAudit.h"

namespace {

// The closing sentence of the console and command line tool events.
#define KELD_SEE_GUIDE \
  "Please consult NOX Embedded and Overseer Server Setup Guide or follow the Ask Ombrel link for more information."

// --- Observations without arguments -----------------------------------------

constexpr EventRow kDcuiFactoryNetworkRestored = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.dcui.network.factoryrestore",
                   "The host has been restored to factory network settings. " KELD_SEE_GUIDE),
    0};
constexpr EventRow kDcuiRestartingHostAgents = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.dcui.hostagents.restart",
                   "The management agents on the host are being restarted. " KELD_SEE_GUIDE),
    0};
constexpr EventRow kDcuiRestoreFactoryDefaults = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.dcui.defaults.factoryrestore",
                   "The host has been restored to default factory settings. " KELD_SEE_GUIDE),
    0};
constexpr EventRow kDcuiRebootHost = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.dcui.host.reboot",
                   "The host is being rebooted through Direct Console User Interface(DCUI). " KELD_SEE_GUIDE),
    0};
constexpr EventRow kDcuiShutdownHost = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.dcui.host.shutdown",
                   "The host is being shutdown through Direct Console User Interface(DCUI). " KELD_SEE_GUIDE),
    0};
constexpr EventRow kTest0 = {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.test.test0", "Test with no arguments."),
                             0};
constexpr EventRow kSyslogStorageFailure = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.hysyslogd.storage.failure",
                   "Logging to storage has failed.  Logs are no longer being stored locally on this host."),
    0};
constexpr EventRow kHostCoredump = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.host.coredump", "An unread host kernel core dump has been found."), 0};
constexpr EventRow kCoredumpUnconfigured = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.coredump.unconfigured",
                   "No hykcore disk partition is available and no network coredump server has been configured.  "
                   "Host core dumps cannot be saved."),
    0};
constexpr EventRow kCoredumpUnconfigured2 = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.coredump.unconfigured2",
                   "No coredump target has been configured. Host core dumps cannot be saved."),
    0};
// Reported as a problem although it announces health: that is the event the
// management side knows.
constexpr EventRow kMetadatastoreHealthy = {
    "", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.metadatastore.healthy", "The metadata store is healthy."), 0};
constexpr EventRow kShellEnabled = {
    "", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.shell.enabled", "The NOX command line shell has been enabled."), 0};
constexpr EventRow kShellDisabled = {
    "", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.shell.disabled", "The NOX command line shell has been disabled."), 0};
constexpr EventRow kSshEnabled = {"", VPROB_AUDIT,
                                  VPROB_TEMPLATE("nox.audit.ssh.enabled", "SSH access has been enabled."), 0};
constexpr EventRow kSshDisabled = {"", VPROB_AUDIT,
                                   VPROB_TEMPLATE("nox.audit.ssh.disabled", "SSH access has been disabled."), 0};
constexpr EventRow kDcuiEnabled = {"", VPROB_AUDIT,
                                   VPROB_TEMPLATE("nox.audit.dcui.enabled", "The DCUI has been enabled."), 0};
constexpr EventRow kDcuiDisabled = {"", VPROB_AUDIT,
                                    VPROB_TEMPLATE("nox.audit.dcui.disabled", "The DCUI has been disabled."), 0};
// Lockdown mode enabled means administrator access disabled, and the reverse.
constexpr EventRow kLockdownEnabled = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.lockdownmode.enabled", "Administrator access to the host has been disabled."), 0};
constexpr EventRow kLockdownDisabled = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.lockdownmode.disabled", "Administrator access to the host has been enabled."), 0};
constexpr EventRow kMaintenanceEntering = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.maintenancemode.entering", "The host has begun entering maintenance mode."), 0};
constexpr EventRow kMaintenanceCanceled = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.maintenancemode.canceled", "The host has canceled entering maintenance mode."), 0};
constexpr EventRow kMaintenanceEntered = {
    "", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.maintenancemode.entered", "The host has entered maintenance mode."),
    0};
constexpr EventRow kMaintenanceExited = {
    "", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.maintenancemode.exited", "The host has exited maintenance mode."), 0};
constexpr EventRow kMaintenanceFailed = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.maintenancemode.failed", "The host has failed entering maintenance mode."), 0};
constexpr EventRow kImageInstallNoValidation = {
    "", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noximage.install.novalidation",
                   "Attempting to install an image profile with validation disabled.  This may result in an image "
                   "with unsatisfied dependencies, file or package conflicts, and potential security violations."),
    0};
constexpr EventRow kHostBoot = {"", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.host.boot", "Host has booted."), 0};
constexpr EventRow kHostStopReboot = {"", VPROB_AUDIT,
                                      VPROB_TEMPLATE("nox.audit.host.stop.reboot", "Host is rebooting."), 0};
constexpr EventRow kHostStopShutdown = {
    "", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.host.stop.shutdown", "Host is shutting down."), 0};
constexpr EventRow kCoredumpConfigured = {
    "", VPROB_CLEAR,
    VPROB_TEMPLATE("nox.clear.coredump.configured",
                   "A hykcore disk partition is available and/or a network coredump server has been configured.  "
                   "Host core dumps will be saved."),
    0};
constexpr EventRow kCoredumpConfigured2 = {
    "", VPROB_CLEAR,
    VPROB_TEMPLATE("nox.clear.coredump.configured2",
                   "At least one coredump target has been configured. Host core dumps will be saved."),
    0};

// --- Observations whose arguments fill the message in order -------------------
// A "%s" is read as a text ("%p"), "%d" as the low 32 bits and "%lu" as the
// whole 64-bit value of an integer argument.

constexpr EventRow kIormNonZqWorkload = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.iorm.nonzqworkload",
                   "An external IO activity is detected on datastore %s, this is an unsupported configuration. "
                   "Please consult IO Resource Management Documentation or follow the Ask Ombrel link for more "
                   "information."),
    0};
constexpr EventRow kDcuiPasswdChanged = {
    "%p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.dcui.login.passwd.changed",
                   "Login password for user %s has been changed. " KELD_SEE_GUIDE),
    0};
constexpr EventRow kDcuiLoginFailed = {
    "%p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.dcui.login.failed", "Authentication of user %s has failed. " KELD_SEE_GUIDE), 0};
constexpr EventRow kDcuiNetworkRestart = {
    "%p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.dcui.network.restart",
                   "A management interface %s has been restarted. " KELD_SEE_GUIDE),
    0};
constexpr EventRow kTest2 = {"%d %p", VPROB_PROBLEM,
                             VPROB_TEMPLATE("nox.problem.test.test2", "Test with both %d and %s."), 0};
constexpr EventRow kSyslogRemoteFailure = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.hysyslogd.remote.failure",
                   "The host \"%s\" has become unreachable.  Remote logging to this host has stopped."),
    0};
constexpr EventRow kSyslogUnexpected = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.hysyslogd.unexpected", "Log daemon has failed for an unexpected reason: %s"), 0};
constexpr EventRow kImageInvalidHardware = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.noximage.install.invalidhardware",
                   "Host doesn't meet image profile '%s' hardware requirements:\n%s"),
    0};
constexpr EventRow kImageStageError = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.noximage.install.stage.error", "Could not stage image profile '%s': %s"), 0};
constexpr EventRow kImageInstallError = {
    "%p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.noximage.install.error", "Could not install image profile: %s"),
    0};
constexpr EventRow kLeaseNone = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.dhclient.lease.none", "Unable to obtain a DHCP lease on interface %s."), 0};
constexpr EventRow kNtpCorrectionError = {
    "%d %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.ntpd.clock.correction.error",
                   "NTP daemon stopped.  Time correction %d > %d seconds.   Manually set the time and restart ntpd."),
    0};
constexpr EventRow kCoredumpNoSpace = {
    "%lu", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.coredump.extraction.failed.nospace",
                   "No coredump has been extracted. The target partition has insufficient amount of free space. At "
                   "least %lu MIB is required."),
    0};
constexpr EventRow kCoredumpCapacity = {
    "%lu", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.coredump.capacity.insufficient",
                   "The storage capacity of the coredump targets is insufficient to capture a complete coredump. "
                   "Recommended coredump capacity is %lu MiB."),
    0};
constexpr EventRow kCoredumpCopySpace = {
    "%d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.coredump.copyspace",
                   "Insufficient amount of free space to copy coredump files. It is recommended to have at least %d "
                   "MB of free space, in order to copy coredumps."),
    0};
constexpr EventRow kScratchSmall = {
    "%p %lu", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scratch.partition.size.small",
                   "Size of scratch partition %s is too small. Recommended scratch partition size is %lu MiB."),
    0};
constexpr EventRow kScratchUnconfigured = {
    "%lu", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.scratch.partition.unconfigured",
                   "No scratch partition has been configured. Recommended scratch partition size is %lu MiB."),
    0};
constexpr EventRow kIoFilterDisabled = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.iofilter.disabled",
                   "IOFilter %s has stopped functioning due to an unrecoverable error. Reason: %s"),
    0};
constexpr EventRow kDriverAbnormal = {
    "%p %p %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.driver.abnormal", "Driver for device %s is %s. Please refer to KB article: %d."), 0};
constexpr EventRow kMetadatastoreDegraded = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.metadatastore.degraded", "The metadata store has degraded on host %s."), 0};
constexpr EventRow kModuleMaxVfs = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.module.maxvfs.set",
                   "Setting the max_vfs option for module %s may not work asexpected. It may be overridden by "
                   "per-device SRIOV configuration."),
    0};
constexpr EventRow kTest1s = {"%p", VPROB_AUDIT,
                              VPROB_TEMPLATE("nox.audit.test.test1s", "Test with one string argument, %s."), 0};
constexpr EventRow kTest1d = {"%d", VPROB_AUDIT,
                              VPROB_TEMPLATE("nox.audit.test.test1d", "Test with one integer argument, %d."), 0};
constexpr EventRow kLoginFailures = {
    "%p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.account.loginfailures",
                   "Multiple remote login failures detected for NOX local user account '%s'."),
    0};
constexpr EventRow kSshSessionFailed = {
    "%p %p", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.ssh.session.failed", "SSH login has failed for '%s@%s'."), 0};
constexpr EventRow kSshSessionOpened = {
    "%p %p", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.ssh.session.opened", "SSH session was opened for '%s@%s'."), 0};
constexpr EventRow kSshSessionClosed = {
    "%p %p", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.ssh.session.closed", "SSH session was closed for '%s@%s'."), 0};
constexpr EventRow kHostAcceptanceChanged = {
    "%p %p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noximage.hostacceptance.changed", "Host acceptance level changed from %s to %s"), 0};
constexpr EventRow kImageSecurityAlert = {
    "%p %p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noximage.install.securityalert",
                   "SECURITY ALERT: Installing image profile '%s' with %s."),
    0};
constexpr EventRow kQpkInstalled = {
    "%d %d", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noximage.qpk.install.successful", "Successfully installed %d QPK(s), removed %d QPK(s)"),
    0};
constexpr EventRow kQpkRemoved = {
    "%d", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noximage.qpk.remove.successful", "Successfully removed %d QPK(s)"), 0};
constexpr EventRow kProfileInstalled = {
    "%p %d %d", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noximage.profile.install.successful",
                   "Successfully installed image profile '%s'. Installed %d QPK(s), removed %d QPK(s)"),
    0};
constexpr EventRow kProfileUpdated = {
    "%p %d %d", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noximage.profile.update.successful",
                   "Successfully updated host to image profile '%s'. Installed %d QPK(s), removed %d QPK(s)"),
    0};
constexpr EventRow kSoftwareApplied = {
    "%d %d", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noximage.software.apply.succeeded",
                   "Successfully installed %d component(s) and removed %d component(s) on host."),
    0};

// --- Observations with their own handling --------------------------------------

constexpr const char kIormBadVersion[] = VPROB_TEMPLATE(
    "nox.problem.iorm.badversion",
    "Host %s cannot participate in Storage I/O Control(SIOC) on datastore %s because the version number %d of the "
    "SIOC agent on this host is incompatible with the version number %d of its counterparts on other hosts "
    "connected to this datastore.");
constexpr const char kAccountLocked[] = VPROB_TEMPLATE(
    "nox.audit.account.locked",
    "Remote access for NOX local user account '%s' has been locked for %d seconds after %d failed login attempts.");
constexpr EventRow kToolPowerOff = {
    ReadBy::Index(), VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noxcli.host.poweroff",
                   "The host is being powered off through noxcli.Reason for power off: %s." KELD_SEE_GUIDE),
    0};
constexpr EventRow kToolReboot = {
    ReadBy::Index(), VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.noxcli.host.reboot",
                   "The host is being rebooted through noxcli.Reason for reboot: %s." KELD_SEE_GUIDE),
    0};
constexpr const char kLeaseNoExpiry[] =
    VPROB_TEMPLATE("nox.problem.dhclient.lease.offered.noexpiry", "No expiry time on offered DHCP lease from %s.");
constexpr const char kLogDirInvalid[] = VPROB_TEMPLATE(
    "nox.problem.hysyslogd.storage.logdir.invalid",
    "The configured log directory %s cannot be used.  The default directory %s will be used instead.");

#undef KELD_SEE_GUIDE

// Lease offers without expiry, per DHCP server: at most one event per 20
// minutes (more than 1200 s since the last one).
TextThrottle &LeaseExpiryThrottle() {
  static TextThrottle throttle = TextThrottle::After(1200);
  return throttle;
}

// Unusable log directories, per (configured, default) pair: at most one event
// per 90 s (more than 90 s since the last one).
TextPairThrottle &LogDirThrottle() {
  static TextPairThrottle throttle = TextPairThrottle::After(90);
  return throttle;
}

// Only a negative status counts as a failed read for this observation: on any
// other status the values read so far are posted, the rest as null texts and
// zeros.
void IormBadVersion(Observation obs) {
  Text host = nullptr, datastore = nullptr;
  Int ourVersion = 0, theirVersion = 0;
  uint32_t status = ReadArgs(obs, "%p %p %d %d", &host, &datastore, &ourVersion, &theirVersion).status;
  if (static_cast<int32_t>(status) < 0) return;
  VPROB_POST(0, VPROB_PROBLEM, kIormBadVersion, host, datastore, ourVersion, theirVersion);
}

// Posts the lock and records it in the platform audit log, whatever the post
// did. Nothing at all when an argument is missing.
void AccountLocked(Observation obs) {
  Text user;
  Int seconds, attempts;
  if (!ReadArgs(obs, "%p %d %d", &user, &seconds, &attempts)) return;
  VPROB_POST(0, VPROB_AUDIT, kAccountLocked, user, seconds, attempts);
  OmbAudit_Log("account.locked", user, "", 1);
}

// The command line tool passes "<origin>:<reason>": the reason is what follows
// the first colon (possibly empty). Null, posted as such, when argument 0
// cannot be read or holds no colon.
template <const EventRow &Row>
void ToolPowerOperation(Observation obs) {
  Text text = nullptr;
  Text reason = nullptr;
  if (ReadRow<Row>(obs, &text) && text != nullptr) {
    const char *colon = strchr(text, ':');
    if (colon != nullptr) reason = colon + 1;
  }
  VPROB_POST(Row.deferred, Row.kind, Row.eventTemplate, reason);
}

// The throttles keep their time when the event is let through, so a
// suppressed observation does not extend the window. A null text is keyed as
// "(null)" and posted as null.
void LeaseOfferedNoExpiry(Observation obs) {
  Text server;
  if (!ReadArgs(obs, "%p", &server)) return;
  if (!LeaseExpiryThrottle().Pass(TextOrNull(server), Clock_NowSeconds())) return;
  VPROB_POST(0, VPROB_PROBLEM, kLeaseNoExpiry, server);
}

void LogDirInvalid(Observation obs) {
  Text configured, fallback;
  if (!ReadArgs(obs, "%p %p", &configured, &fallback)) return;
  if (!LogDirThrottle().Pass({TextOrNull(configured), TextOrNull(fallback)}, Clock_NowSeconds())) return;
  VPROB_POST(0, VPROB_PROBLEM, kLogDirInvalid, configured, fallback);
}

HandlerTable BuildTable() {
  return {
      {"kel.user.dcui.factory.network.restored", PostRow<kDcuiFactoryNetworkRestored>},
      {"kel.user.dcui.restarting.hostagents", PostRow<kDcuiRestartingHostAgents>},
      {"kel.user.dcui.restore.factory.defaults", PostRow<kDcuiRestoreFactoryDefaults>},
      {"kel.user.dcui.reboot.host", PostRow<kDcuiRebootHost>},
      {"kel.user.dcui.shutdown.host", PostRow<kDcuiShutdownHost>},
      {"kel.user.test.test0", PostRow<kTest0>},
      {"kel.user.hysyslogd.storage.failure", PostRow<kSyslogStorageFailure>},
      {"kel.user.host.coredump", PostRow<kHostCoredump>},
      {"kel.user.coredump.unconfigured", PostRow<kCoredumpUnconfigured>},
      {"kel.user.coredump.unconfigured2", PostRow<kCoredumpUnconfigured2>},
      {"kel.user.metadatastore.healthy", PostRow<kMetadatastoreHealthy>},
      {"kel.user.shell.enabled", PostRow<kShellEnabled>},
      {"kel.user.shell.disabled", PostRow<kShellDisabled>},
      {"kel.user.ssh.enabled", PostRow<kSshEnabled>},
      {"kel.user.ssh.disabled", PostRow<kSshDisabled>},
      {"kel.user.dcui.enabled", PostRow<kDcuiEnabled>},
      {"kel.user.dcui.disabled", PostRow<kDcuiDisabled>},
      {"kel.user.lockdownmode.enabled", PostRow<kLockdownEnabled>},
      {"kel.user.lockdownmode.disabled", PostRow<kLockdownDisabled>},
      {"kel.user.maintenancemode.entering", PostRow<kMaintenanceEntering>},
      {"kel.user.maintenancemode.canceled", PostRow<kMaintenanceCanceled>},
      {"kel.user.maintenancemode.entered", PostRow<kMaintenanceEntered>},
      {"kel.user.maintenancemode.exited", PostRow<kMaintenanceExited>},
      {"kel.user.maintenancemode.failed", PostRow<kMaintenanceFailed>},
      {"kel.user.noximage.install.novalidation", PostRow<kImageInstallNoValidation>},
      {"kel.user.host.boot", PostRow<kHostBoot>},
      {"kel.user.host.stop.reboot", PostRow<kHostStopReboot>},
      {"kel.user.host.stop.shutdown", PostRow<kHostStopShutdown>},
      {"kel.user.coredump.configured", PostRow<kCoredumpConfigured>},
      {"kel.user.coredump.configured2", PostRow<kCoredumpConfigured2>},

      {"kel.user.iorm.nonzqworkload", PostRow<kIormNonZqWorkload, Text>},
      {"kel.user.dcui.login.passwd.changed", PostRow<kDcuiPasswdChanged, Text>},
      {"kel.user.dcui.login.failed", PostRow<kDcuiLoginFailed, Text>},
      {"kel.user.dcui.network.restart", PostRow<kDcuiNetworkRestart, Text>},
      {"kel.user.test.test2", PostRow<kTest2, Int, Text>},
      {"kel.user.hysyslogd.remote.failure", PostRow<kSyslogRemoteFailure, Text>},
      {"kel.user.hysyslogd.unexpected", PostRow<kSyslogUnexpected, Text>},
      {"kel.user.noximage.install.invalidhardware", PostRow<kImageInvalidHardware, Text, Text>},
      {"kel.user.noximage.install.stage.error", PostRow<kImageStageError, Text, Text>},
      {"kel.user.noximage.install.error", PostRow<kImageInstallError, Text>},
      {"kel.user.dhclient.lease.none", PostRow<kLeaseNone, Text>},
      {"kel.user.ntpd.clock.correction.error", PostRow<kNtpCorrectionError, Int, Int>},
      {"kel.user.coredump.extraction.failed.nospace", PostRow<kCoredumpNoSpace, ULong>},
      {"kel.user.coredump.capacity.insufficient", PostRow<kCoredumpCapacity, ULong>},
      {"kel.user.coredump.copyspace", PostRow<kCoredumpCopySpace, Int>},
      {"kel.user.scratch.partition.size.small", PostRow<kScratchSmall, Text, ULong>},
      {"kel.user.scratch.partition.unconfigured", PostRow<kScratchUnconfigured, ULong>},
      {"kel.user.iofilter.disabled", PostRow<kIoFilterDisabled, Text, Text>},
      {"kel.user.driver.abnormal", PostRow<kDriverAbnormal, Text, Text, Int>},
      {"kel.user.metadatastore.degraded", PostRow<kMetadatastoreDegraded, Text>},
      {"kel.user.module.maxvfs.set", PostRow<kModuleMaxVfs, Text>},
      {"kel.user.test.test1s", PostRow<kTest1s, Text>},
      {"kel.user.test.test1d", PostRow<kTest1d, Int>},
      {"kel.user.account.loginfailures", PostRow<kLoginFailures, Text>},
      {"kel.user.ssh.session.failed", PostRow<kSshSessionFailed, Text, Text>},
      {"kel.user.ssh.session.opened", PostRow<kSshSessionOpened, Text, Text>},
      {"kel.user.ssh.session.closed", PostRow<kSshSessionClosed, Text, Text>},
      {"kel.user.noximage.hostacceptance.changed", PostRow<kHostAcceptanceChanged, Text, Text>},
      {"kel.user.noximage.install.securityalert", PostRow<kImageSecurityAlert, Text, Text>},
      {"kel.user.noximage.qpk.install.successful", PostRow<kQpkInstalled, Int, Int>},
      {"kel.user.noximage.qpk.remove.successful", PostRow<kQpkRemoved, Int>},
      {"kel.user.noximage.profile.install.successful", PostRow<kProfileInstalled, Text, Int, Int>},
      {"kel.user.noximage.profile.update.successful", PostRow<kProfileUpdated, Text, Int, Int>},
      {"kel.user.noximage.software.apply.succeeded", PostRow<kSoftwareApplied, Int, Int>},

      {"kel.user.iorm.badversion", IormBadVersion},
      {"kel.user.account.locked", AccountLocked},
      {"kel.user.noxcli.host.poweroff", ToolPowerOperation<kToolPowerOff>},
      {"kel.user.noxcli.host.reboot", ToolPowerOperation<kToolReboot>},
      {"kel.user.dhclient.lease.offered.noexpiry", LeaseOfferedNoExpiry},
      {"kel.user.hysyslogd.storage.logdir.invalid", LogDirInvalid},
  };
}

// The throttles start empty with the correlator.
bool Setup() {
  LeaseExpiryThrottle().Clear();
  LogDirThrottle().Clear();
  return true;
}

}  // namespace

const CorrelatorDef &UserLevelCorrelator_Def(void) {
  static const CorrelatorDef def = {"UserLevel", {"user"}, Unhandled_Ignore, BuildTable, Setup, nullptr, nullptr};
  return def;
}
