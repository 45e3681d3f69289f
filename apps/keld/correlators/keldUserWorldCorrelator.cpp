// Application crash correlator: crashes of user-space processes are counted
// per application for the life of the daemon and reported at most once per
// ten hours per application, with the running count. Crashes of hubd and of
// tarx get events of their own, queued for the next retry pass rather than
// sent at once: a crashed hubd cannot take them yet. Also reports changes of
// the enforcement level of security domains.
//
// State: the two crash tables, created on first use and reset by the set-up;
// touched only on the correlator's thread, so no lock.
#include <cstring>
#include <map>
#include <string>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "platform/clock.h"

namespace {

constexpr int64_t kReportGapSeconds = 36000;  // ten hours
// The status that reading a key identifier gives when the core is not
// encrypted (the observation has no argument 3).
constexpr uint32_t kNoKeyStatus = 75;
constexpr Int kEnforcingLevel = 1;

// Crash counts and report times, by application name.
struct CrashTable {
  std::map<std::string, uint32_t> counts;
  TextThrottle reports = TextThrottle::AtLeast(kReportGapSeconds);
};

// Plain and encrypted core dumps.
CrashTable &CoreDumpCrashTable() {
  static CrashTable table;
  return table;
}

CrashTable &DumpFailedCrashTable() {
  static CrashTable table;
  return table;
}

// Counts one crash of `name` (a null name counts as "(null)"). True when it
// is to be reported, with the running count in *count: the first crash, and
// then a crash at least ten hours after the last report.
bool CountCrash(CrashTable &table, Text name, uint32_t *count) {
  std::string key = TextOrNull(name);
  uint32_t counted = ++table.counts[key];
  if (!table.reports.PassFirstOrDue(key, Clock_NowSeconds())) return false;
  *count = counted;
  return true;
}

#define KELD_AGENT_PLAIN                                                                                 \
  "%s crashed (%d time(s) so far) and a core file may have been created at %s. This may have caused " \
  "connections to the host to be dropped."
#define KELD_AGENT_ENCRYPTED                                                                               \
  "%s crashed (%d time(s) so far) and an encrypted core file using keyId %s may have been created at %s. " \
  "This may have caused connections to the host to be dropped."

// The two events of one kind of application: [0] plain, filled with (name,
// count, path), and [1] encrypted, filled with (name, count, key, path).
constexpr EventRow kHubdCrash[] = {
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hubd.core.dumped", KELD_AGENT_PLAIN), 1},
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.hubd.core.dumped.encrypted", KELD_AGENT_ENCRYPTED), 1}};
constexpr EventRow kTarxCrash[] = {
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.tarx.core.dumped", KELD_AGENT_PLAIN), 1},
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.tarx.core.dumped.encrypted", KELD_AGENT_ENCRYPTED), 1}};
constexpr EventRow kApplicationCrash[] = {
    {"", VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.application.core.dumped",
                    "An application (%s) running on NOX host has crashed (%d time(s) so far). A core file may "
                    "have been created at %s."),
     0},
    {"", VPROB_PROBLEM,
     VPROB_TEMPLATE("nox.problem.application.core.dumped.encrypted",
                    "An application (%s) running on NOX host has crashed (%d time(s) so far). An encrypted core "
                    "file using keyId %s may have been created at %s."),
     0}};

#undef KELD_AGENT_PLAIN
#undef KELD_AGENT_ENCRYPTED

constexpr char kDumpFailed[] = VPROB_TEMPLATE(
    "nox.problem.application.core.dumpFailed",
    "An application (%s) running on NOX host has crashed (%d time(s) so far), but core dump creation failed.");
constexpr char kDomainLevelChanged[] = VPROB_TEMPLATE(
    "nox.audit.uw.secpolicy.domain.level.changed",
    "The enforcement level for security domain %s has been changed to %s. The enforcement level must always be "
    "set to enforcing.");
constexpr char kAllDomainsLevelChanged[] = VPROB_TEMPLATE(
    "nox.audit.uw.secpolicy.alldomains.level.changed",
    "The enforcement level for all security domains has been changed to %s. The enforcement level must always be "
    "set to enforcing.");

// Posts the plain or the encrypted event of one kind of application.
template <const EventRow (&Events)[2]>
void PostCrash(Text name, Int count, bool encrypted, Text key, Text path) {
  if (encrypted) {
    VPROB_POST(Events[1].deferred, Events[1].kind, Events[1].eventTemplate, name, count, key, path);
  } else {
    VPROB_POST(Events[0].deferred, Events[0].kind, Events[0].eventTemplate, name, count, path);
  }
}

// Both core dump observations: plain or encrypted is decided by argument 3
// alone. An unexpected status reading it drops the crash uncounted. The name
// is matched anywhere, hubd before tarx.
void CoreDumped(Observation obs) {
  Text name, path;
  Int unused;
  if (!ReadArgs(obs, "%p %d %p", &name, &unused, &path)) return;
  Text key;
  uint32_t keyStatus = ReadArgs(obs, ReadBy::Index(3), &key).status;
  if (keyStatus != 0 && keyStatus != kNoKeyStatus) return;
  uint32_t count;
  if (!CountCrash(CoreDumpCrashTable(), name, &count)) return;
  auto post = name != nullptr && strstr(name, "hubd") != nullptr   ? PostCrash<kHubdCrash>
              : name != nullptr && strstr(name, "tarx") != nullptr ? PostCrash<kTarxCrash>
                                                                   : PostCrash<kApplicationCrash>;
  post(name, static_cast<Int>(count), keyStatus == 0, key, path);
}

// Counted apart from the core dumps, and the same event whatever the name.
void DumpFailed(Observation obs) {
  Text name, path;
  Int unused;
  if (!ReadArgs(obs, "%p %d %p", &name, &unused, &path)) return;
  uint32_t count;
  if (!CountCrash(DumpFailedCrashTable(), name, &count)) return;
  VPROB_POST(0, VPROB_PROBLEM, kDumpFailed, name, static_cast<Int>(count));
}

// Only a change away from enforcing is reported; the domain comes first in
// the message although it is argument 2.
void DomainLevelChanged(Observation obs) {
  Text level, domain;
  Int code;
  UInt unused;
  if (!ReadArgs(obs, "%p %d %p %u", &level, &code, &domain, &unused) || code == kEnforcingLevel) return;
  VPROB_POST(0, VPROB_AUDIT, kDomainLevelChanged, domain, level);
}

void AllDomainsLevelChanged(Observation obs) {
  Text level;
  Int code;
  if (!ReadArgs(obs, "%p %d", &level, &code) || code == kEnforcingLevel) return;
  VPROB_POST(0, VPROB_AUDIT, kAllDomainsLevelChanged, level);
}

HandlerTable BuildTable() {
  return {
      {"kel.uw.core.dumped", CoreDumped},
      {"kel.uw.core.dumped.encrypted", CoreDumped},
      {"kel.uw.core.dumpFailed", DumpFailed},
      {"kel.uw.secpolicy.domain.level.changed", DomainLevelChanged},
      {"kel.uw.secpolicy.alldomains.level.changed", AllDomainsLevelChanged},
  };
}

// Counts start afresh with the correlator.
bool Setup() {
  CoreDumpCrashTable() = CrashTable{};
  DumpFailedCrashTable() = CrashTable{};
  return true;
}

}  // namespace

const CorrelatorDef &UserWorldCorrelator_Def(void) {
  static const CorrelatorDef def = {"UserWorld", {"uw"}, Unhandled_Ignore, BuildTable, Setup, nullptr, nullptr};
  return def;
}
