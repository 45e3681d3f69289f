// The CPU correlator: processor configuration problems, and two actions taken
// on the machine check log: taking a logical CPU offline when its core group
// keeps logging low-level cache or TLB errors, and asking the kernel to retire
// a memory page that keeps producing corrected errors.
//
// Locking: gPageLock guards gPageSettings and gPageErrorCounts. The settings
// refresh and count reset timer callbacks (timer thread) and the machine check
// handler (correlator thread) take it; nothing else is called while it is
// held. gPageRetireRequests and gCpuErrorHistory belong to the correlator's
// thread alone. The timer ids are written by the set-up before either timer is
// armed and only read afterwards.
#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <tuple>

#include "agents/keldTimer.h"
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "log/keldLog.h"
#include "platform/clock.h"
#include "platform/hostCtl.h"
#include "platform/hsi.h"

namespace {

// --- Settings, counts and their timers --------------------------------------

constexpr uint32_t kSettingsRefreshSeconds = 60;

struct PageSettings {
  uint8_t threshold = 2;  // corrected errors tolerated per page and period
  uint32_t period = 30;   // seconds of one counting period
};

std::mutex gPageLock;
PageSettings gPageSettings;                     // gPageLock
std::map<uint64_t, uint8_t> gPageErrorCounts;  // gPageLock; page -> errors this period

// Page -> reasons not to ask again for its retirement (0: may still ask).
std::map<uint64_t, uint32_t> gPageRetireRequests;

int32_t gRefreshTimer = -1;
int32_t gResetTimer = -1;

// Timer callback (and once at set-up): follows the two page options. A failed
// read keeps the setting; a changed period restarts the count reset timer.
void RefreshSettings(void) {
  uint64_t thresholdOption = 0, periodOption = 0;
  bool haveThreshold = ReadIntegerOption("PageRetire", "PageErrorCorrThreshold", &thresholdOption);
  bool havePeriod = ReadIntegerOption("PageRetire", "PageErrorCorrPeriod", &periodOption);
  uint32_t threshold = static_cast<uint32_t>(thresholdOption);  // the low 32 bits
  uint32_t period = static_cast<uint32_t>(periodOption);
  bool periodChanged = false;
  {
    std::lock_guard<std::mutex> hold(gPageLock);
    if (haveThreshold) gPageSettings.threshold = static_cast<uint8_t>(threshold);
    if (havePeriod && period != gPageSettings.period) {
      gPageSettings.period = period;
      periodChanged = true;
    }
  }
  // A period of 0 disarms the reset: counts then live until the period changes.
  if (periodChanged && gResetTimer >= 0) Timer_Arm(gResetTimer, 1, period, nullptr);
}

// Timer callback: the end of a counting period.
void ResetPageCounts(void) {
  std::lock_guard<std::mutex> hold(gPageLock);
  gPageErrorCounts.clear();
}

// --- Machine check ----------------------------------------------------------

constexpr uint64_t kStatusAddrValid = 1ULL << 58;  // ADDRV: the address is valid
constexpr uint64_t kStatusOverflow = 1ULL << 62;   // OVER: errors were lost

constexpr uint32_t kHistorySlots = 64;
constexpr int64_t kOfflineWindowSeconds = 86399;  // within 24 hours
constexpr unsigned kMaxPageCount = 255;

struct CoreGroupHistory {
  RecentTimes<kHistorySlots> errors;  // monotonic seconds
  bool offlined = false;
};

std::map<uint64_t, CoreGroupHistory> gCpuErrorHistory;  // core group -> history

uint32_t Field32(const unsigned char *record, size_t offset) {
  uint32_t value = 0;
  memcpy(&value, record + offset, sizeof value);
  return value;
}

// Whether CPU 0 reports the one vendor whose error codes the classification
// below understands. A record that cannot be read names no vendor.
bool Cpu0IsGenuineIntel() {
  unsigned char record[HSI_CPULIST_RECORD_SIZE] = {};
  try {
    HykCtl::Util::Sysinfo node(HSI_NODE_hardware_cpu_cpuList);
    node.SetInstance(int64_t{0});
    node.Get(record, sizeof record);
  } catch (const HostCtl::Lib::HostCtlException &) {
    return false;
  }
  const char *vendor = reinterpret_cast<const char *>(record + 28);
  return std::string(vendor, strnlen(vendor, sizeof record - 28)) == "GenuineIntel";
}

// The number of logical CPUs per core group, or 0 when the CPU information
// cannot be read or gives no usable ratio (then no core groups are known).
uint32_t CpusPerCoreGroup() {
  unsigned char info[HSI_CPUINFO_RECORD_SIZE] = {};
  if (HSI_Get(HSI_NODE_hardware_cpu_cpuInfo, nullptr, info, sizeof info) != HYK_OK) return 0;
  uint32_t divisor = Field32(info, 24);
  return divisor == 0 ? 0 : Field32(info, 28) / divisor;
}

bool CpuOfflineAllowed() {
  unsigned char enabled = 0;
  return HSI_Get(HSI_NODE_sched_offline_enabled, nullptr, &enabled, 1) == HYK_OK && enabled != 0;
}

// Whether the error code of a bank status word is a level 0 or 1 cache
// hierarchy, generic cache hierarchy or TLB error (bit 12 ignored).
bool IsLowLevelCacheError(uint64_t status) {
  uint32_t code = static_cast<uint32_t>(status & 0xFFFF) & ~0x1000u;
  bool cache = (code & 0x100) != 0 && (code & 0xEE00) == 0;
  bool genericCache = (code & 0xC) == 0xC && (code & 0xEFF0) == 0;
  bool tlb = (code & 0x10) != 0 && (code & 0xEFE0) == 0;
  return (cache || genericCache || tlb) && (code & 0x3) <= 1;
}

// Records a qualifying error of `cpu`'s core group and takes `cpu` offline
// once the group has logged "CPUOfflineThreshold" of them within 24 hours.
void CheckCpuOffline(uint64_t status, uint64_t cpu) {
  if (!CpuOfflineAllowed() || !Cpu0IsGenuineIntel()) return;
  uint32_t groupSize = CpusPerCoreGroup();
  if (groupSize == 0) return;
  CoreGroupHistory &group = gCpuErrorHistory[cpu / groupSize];
  if (!IsLowLevelCacheError(status) || group.offlined) return;
  const int64_t now = Clock_MonotonicSeconds();

  uint64_t option = 0;
  if (!ReadIntegerOption("Cpu", "CPUOfflineThreshold", &option)) return;
  uint32_t threshold = static_cast<uint32_t>(option);  // the low 32 bits
  if (threshold == 0) return;
  // The history holds 64 errors, so a larger threshold means all 64 of them.
  threshold = std::min(threshold, kHistorySlots);

  // An error that overflowed the bank stands for two.
  group.errors.Add(now);
  if ((status & kStatusOverflow) != 0) group.errors.Add(now);
  int64_t nthNewest = group.errors.NthNewest(threshold);
  if (nthNewest == 0 || now - nthNewest > kOfflineWindowSeconds) return;
  try {
    HykCtl::Util::Sysinfo node(HSI_NODE_sched_pcpus_offline);
    node.SetInstance(cpu);
    node.Set();
    group.offlined = true;
  } catch (const HostCtl::Lib::HostCtlException &) {
    // the CPU stays online; its group may try again at its next error
  }
}

// Whether the kernel's status of `page` allows asking for its retirement.
bool PageStatusAllowsRetire(uint64_t page) {
  uint32_t status = 0;  // nothing known until the kernel answers
  try {
    HykCtl::Util::Sysinfo node(HSI_NODE_system_pageRetire_MPNStatus);
    node.AddInput(page);
    node.Set(&status, sizeof status);
  } catch (const HostCtl::Lib::HostCtlException &) {
    return false;
  }
  return (status & 0xFFFF) == 0;
}

void RequestPageRetire(uint64_t page) {
  try {
    HykCtl::Util::Sysinfo node(HSI_NODE_system_pageRetire_retireMPNs);
    node.AddInput(page);
    node.AddInput(int64_t{1});
    node.AddInput(std::string("NiceRetire"));
    node.Set();
  } catch (const HostCtl::Lib::HostCtlException &) {
    // asked again at the page's next error over the threshold
  }
}

// Counts a corrected error at `address` and asks for the page's retirement
// when its count in this period went over the threshold. A page that is not
// asked for (page 0, or one the kernel or an earlier answer ruled out) only
// has its reasons counted; no event is posted for it.
void CheckPageRetire(uint64_t status, uint64_t address) {
  if ((status & kStatusAddrValid) == 0) return;
  const uint64_t page = address >> 12;
  const unsigned increment = (status & kStatusOverflow) ? 2 : 1;
  {
    std::lock_guard<std::mutex> hold(gPageLock);
    uint8_t &count = gPageErrorCounts[page];
    if (count + increment <= kMaxPageCount) count = static_cast<uint8_t>(count + increment);
    if (count <= gPageSettings.threshold) return;
  }
  uint32_t &requests = gPageRetireRequests[page];
  if (page == 0 || requests != 0 || !PageStatusAllowsRetire(page)) {
    if (requests != UINT32_MAX) requests++;
    return;
  }
  RequestPageRetire(page);
}

// Arguments: 1 the bank status word, 4 the logical CPU, 5 the machine address.
void HandleMachineCheck(Observation obs) {
  ULong arg[7];
  if (!ReadArgs(obs, "%lu %lu %lu %lu %lu %lu %lu", &arg[0], &arg[1], &arg[2], &arg[3], &arg[4],
                &arg[5], &arg[6])) {
    return;
  }
  CheckCpuOffline(arg[1], arg[4]);
  CheckPageRetire(arg[1], arg[5]);
}

// --- The other rows ---------------------------------------------------------

// Reads the arguments and does nothing further: these observations are only
// logged.
template <const char *Format, typename... T>
void ReadOnly(Observation obs) {
  std::tuple<T...> values{};
  std::apply([&](T &...v) { ReadArgs(obs, Format, &v...); }, values);
}
constexpr char kSaveBtFormat[] = "%lx %lx %lx %x %x %u";
constexpr char kUnknownCsFormat[] = "%lx %lx %x %x %u";
constexpr char kHykCsFormat[] = "%lx %lx %lx %x %u";

constexpr EventRow kMceInvalid = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.cpu.mce.invalid",
              "MCE monitoring will be disabled as an unsupported CPU was detected. Please consult "
              "the NOX HCL for information on supported hardware."),
    0};
constexpr EventRow kDramDisabled = {
    "", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.cpu.amd.mce.dram.disabled", "DRAM ECC not enabled. Please enable it in BIOS."), 0};
constexpr EventRow kIoapicListing = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.cpu.intel.ioapic.listing.error",
              "Not all IO-APICs are listed in the DMAR. Not enabling interrupt remapping on this platform. "),
    0};
constexpr EventRow kNumPcpusMax = {
    "%u %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.cpu.smp.ht.numpcpus.max", "Found %d PCPUs, but only using %d of them due to specified limit."), 0};
constexpr EventRow kHtPartnerMissing = {
    "%u %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.cpu.smp.ht.partner.missing",
              "Disabling HyperThreading due to invalid configuration: HT partner %d is missing from PCPU %d."),
    0};
constexpr EventRow kHtInvalid = {
    "%u %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.cpu.smp.ht.invalid",
              "Disabling HyperThreading due to invalid configuration: Number of threads: %d, Number of "
              "PCPUs: %d."),
    0};

HandlerTable BuildTable() {
  return {
      {"kel.cpu.mce.log3", HandleMachineCheck},
      {"kel.cpu.nmi.ipi.savebt", ReadOnly<kSaveBtFormat, ULong, ULong, ULong, UInt, UInt, UInt>},
      {"kel.cpu.nmi.ipi.unknowncs", ReadOnly<kUnknownCsFormat, ULong, ULong, UInt, UInt, UInt>},
      {"kel.cpu.nmi.ipi.hykcs", ReadOnly<kHykCsFormat, ULong, ULong, ULong, UInt, UInt>},
      {"kel.cpu.mce.invalid", PostRow<kMceInvalid>},
      {"kel.cpu.amd.mce.dram.disabled", PostRow<kDramDisabled>},
      {"kel.cpu.intel.ioapic.listing.error", PostRow<kIoapicListing>},
      {"kel.cpu.smp.ht.numpcpus.max", PostRow<kNumPcpusMax, Int, Int>},
      {"kel.cpu.smp.ht.partner.missing", PostRow<kHtPartnerMissing, Int, Int>},
      {"kel.cpu.smp.ht.invalid", PostRow<kHtInvalid, Int, Int>},
  };
}

// Agent start: fresh state, the two timers, then the settings as they are now.
bool Setup(void) {
  {
    std::lock_guard<std::mutex> hold(gPageLock);
    gPageSettings = PageSettings{};
    gPageErrorCounts.clear();
  }
  gPageRetireRequests.clear();
  gCpuErrorHistory.clear();
  gRefreshTimer = Timer_Register(RefreshSettings);
  gResetTimer = Timer_Register(ResetPageCounts);
  if (gRefreshTimer >= 0) Timer_Arm(gRefreshTimer, 1, kSettingsRefreshSeconds, nullptr);
  if (gResetTimer >= 0) Timer_Arm(gResetTimer, 1, PageSettings{}.period, nullptr);
  RefreshSettings();
  return true;
}

}  // namespace

const CorrelatorDef &CpuCorrelator_Def(void) {
  static const CorrelatorDef def = {"cpu", {"cpu"}, Unhandled_ReadId, BuildTable, Setup, nullptr, nullptr};
  return def;
}
