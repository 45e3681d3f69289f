// Path state of the SCSI correlator. State is owned by the correlator's
// thread (see the header); nothing here takes a lock.
#include "correlators/scsi/keldScsiPathState.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "events/keldVprob.h"
#include "platform/clock.h"
#include "platform/glfsVolume.h"
#include "platform/hostCtl.h"

namespace {

constexpr char kUnknown[] = "Unknown";

constexpr char kConnectivityLost[] =
    VPROB_TEMPLATE("nox.problem.storage.connectivity.lost",
                   "Lost connectivity to storage device %s. Path %s is down. Affected datastores: %s.");
constexpr char kRedundancyLost[] =
    VPROB_TEMPLATE("nox.problem.storage.redundancy.lost",
                   "Lost path redundancy to storage device %s. Path %s is down. Affected datastores: %s.");
constexpr char kRedundancyDegraded[] =
    VPROB_TEMPLATE("nox.problem.storage.redundancy.degraded",
                   "Path redundancy to storage device %s degraded. Path %s is down. Affected datastores: %s.");
constexpr char kConnectivityRestored[] =
    VPROB_TEMPLATE("nox.clear.storage.connectivity.restored",
                   "Connectivity to storage device %s (Datastores: %s) restored. Path %s is active again.");
constexpr char kRedundancyRestored[] =
    VPROB_TEMPLATE("nox.clear.storage.redundancy.restored",
                   "Path redundancy to storage device %s (Datastores: %s) restored. Path %s is active again.");
// Lost: (device, path, datastores); restored: (device, datastores, path).
static_assert(eventcheck::Values<Text, Text, Text>::Fit(VPROB_PROBLEM, kConnectivityLost) &&
              eventcheck::Values<Text, Text, Text>::Fit(VPROB_PROBLEM, kRedundancyLost) &&
              eventcheck::Values<Text, Text, Text>::Fit(VPROB_PROBLEM, kRedundancyDegraded) &&
              eventcheck::Values<Text, Text, Text>::Fit(VPROB_CLEAR, kConnectivityRestored) &&
              eventcheck::Values<Text, Text, Text>::Fit(VPROB_CLEAR, kRedundancyRestored));
constexpr char kPathStateChanges[] =
    VPROB_TEMPLATE("nox.problem.storage.connectivity.pathstatechanges",
                   "Frequent path state changes are occurring for path %s. This may indicate a storage "
                   "problem. Affected device: %s. Affected datastores: %s.");
constexpr char kPathPor[] =
    VPROB_TEMPLATE("nox.problem.storage.connectivity.pathpor",
                   "Frequent PowerOn Reset Unit Attentions are occurring on path %s. This may indicate a "
                   "storage problem. Affected device: %s. Affected datastores: %s.");
constexpr char kDevicePor[] =
    VPROB_TEMPLATE("nox.problem.storage.connectivity.devicepor",
                   "Frequent PowerOn Reset Unit Attentions are occurring on device %s. This may indicate a "
                   "storage problem. Affected datastores: %s.");

// Counts by name in one open-addressed table: a slot of kSlotBytes (one or
// two cache lines) holds the name's hash, its count and the name itself, so
// that finding a path's count touches one slot however many paths the host
// has. A name too long for a slot is kept in `longNames_`, an ordinary map.
// Linear probing; the table doubles before it is half full, and Erase moves
// later entries of a probe run back, so there are no tombstones.
template <size_t kSlotBytes>
class NameCounts {
 public:
  // A count that exists from now on (starting at 0); *found says whether the
  // name had one. The reference stays valid until the next Find, Erase or
  // Clear.
  uint32_t &Find(std::string_view name, bool *found) {
    if (name.size() > kInlineName) {
      auto [it, added] = longNames_.try_emplace(std::string(name), 0);
      *found = !added;
      return it->second;
    }
    if (2 * (used_ + 1) > slots_.size()) Grow();
    uint64_t hash = Hash(name);
    size_t i = Probe(hash, name);
    Slot &slot = slots_[i];
    *found = slot.hash != 0;
    if (!*found) {
      slot.hash = hash;
      slot.count = 0;
      slot.length = static_cast<uint32_t>(name.size());
      if (!name.empty()) memcpy(slot.text, name.data(), name.size());
      ++used_;
    }
    return slot.count;
  }

  // Drops the name's count; false when it had none.
  bool Erase(std::string_view name) {
    if (name.size() > kInlineName) return longNames_.erase(std::string(name)) != 0;
    if (slots_.empty()) return false;
    size_t mask = slots_.size() - 1;
    size_t hole = Probe(Hash(name), name);
    if (slots_[hole].hash == 0) return false;
    // Every later entry of the run that may not stay behind the hole moves
    // into it, so that each entry stays reachable from its home slot.
    for (size_t j = (hole + 1) & mask; slots_[j].hash != 0; j = (j + 1) & mask) {
      size_t home = slots_[j].hash & mask;
      if (((j - home) & mask) >= ((j - hole) & mask)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole].hash = 0;
    --used_;
    return true;
  }

  template <typename F>
  void ForEachCount(F f) {
    for (Slot &slot : slots_) {
      if (slot.hash != 0) f(slot.count);
    }
    for (auto &entry : longNames_) f(entry.second);
  }

  // Drops every name; the table keeps its size, as a host keeps its paths.
  void Clear() {
    for (Slot &slot : slots_) slot.hash = 0;
    longNames_.clear();
    used_ = 0;
  }

 private:
  static constexpr size_t kInlineName = kSlotBytes - 16;
  struct alignas(64) Slot {
    uint64_t hash = 0;  // 0: empty
    uint32_t count = 0;
    uint32_t length = 0;
    char text[kInlineName] = {};
  };
  static_assert(sizeof(Slot) == kSlotBytes, "slots of whole cache lines");

  static uint64_t Hash(std::string_view name) {
    uint64_t hash = std::hash<std::string_view>()(name);
    return hash == 0 ? 1 : hash;
  }

  // The slot holding `name`, or the empty slot that ends its probe run.
  size_t Probe(uint64_t hash, std::string_view name) const {
    size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot &slot = slots_[i];
      if (slot.hash == 0 ||
          (slot.hash == hash && std::string_view(slot.text, slot.length) == name)) {
        return i;
      }
    }
  }

  void Grow() {
    std::vector<Slot> old(slots_.empty() ? 64 : 2 * slots_.size());
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot &slot : old) {
      if (slot.hash == 0) continue;
      size_t i = slot.hash & mask;
      while (slots_[i].hash != 0) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
  std::unordered_map<std::string, uint32_t> longNames_;
};

// Per-name counts of recent changes with two lazy windows, run by the next
// note that finds them due: more than 600 seconds after the last reset every
// count is dropped; more than 60 seconds after the last sweep every count of
// 9 or less goes back to 0. A name is reported when its count is exactly 10,
// so a storm is reported once and then not again until the next reset.
class StormCounter {
 public:
  enum class Change { Increment, Added, Removed };
  static constexpr uint32_t kReportAt = 10;

  void Start(int64_t now) {
    counts_.Clear();
    reset_.Set("", now);
    sweep_.Set("", now);
  }

  // Runs the windows due at `now`, applies `change` to the name's count and
  // returns the new count.
  uint32_t Note(std::string_view name, int64_t now, Change change) {
    if (reset_.Pass("", now)) counts_.Clear();
    // The sweep runs before this note is counted, so that the count compared
    // with 10 holds only changes since the last sweep: nine changes, a quiet
    // minute and one more change do not make a storm.
    if (sweep_.Pass("", now)) {
      counts_.ForEachCount([](uint32_t &count) {
        if (count < kReportAt) count = 0;
      });
    }
    bool known;
    uint32_t &count = counts_.Find(name, &known);
    if (change == Change::Removed || (change == Change::Added && !known)) {
      count = 0;
    } else if (count < UINT32_MAX) {
      count++;
    }
    return count;
  }

 private:
  NameCounts<64> counts_;  // a host may have thousands of paths
  // One window each, under the key "".
  TextThrottle reset_ = TextThrottle::After(600);
  TextThrottle sweep_ = TextThrottle::After(60);
};

struct PathState {
  // Path name + device name of every path whose loss was handled and whose
  // restoration is awaited (the counts are not used). Two cache lines a slot,
  // so that the usual path and device names fit.
  NameCounts<128> downReported;
  std::string key;  // path name + device name, built in place
  StormCounter pathChanges;
  StormCounter powerOnResets;
};

PathState &State() {
  static PathState state;
  return state;
}

std::unique_ptr<HostCtl::Storage::StorageInfo> Storage() {
  return HostCtl::HostFactory::GetHost()->GetStorageInfo();
}

// A descriptor closed on every way out.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

bool IsOneOf(const char *text, const char *a, const char *b) {
  return text != nullptr && (strcmp(text, a) == 0 || strcmp(text, b) == 0);
}

std::unique_ptr<HostCtl::Storage::Lun> FindLun(const std::string &device) {
  return Storage()->GetLun(device, 1);
}

// DatastoresForDevice once the volume directory `dirFd` is open and the
// device's LUN (null: none) has been looked up.
std::optional<std::string> VolumeNames(int dirFd, const std::string &device, const HostCtl::Storage::Lun *lun) {
  const auto *disk = dynamic_cast<const HostCtl::Storage::DiskLun *>(lun);
  if (disk == nullptr || disk->GetPartitions().empty()) return std::nullopt;

  std::vector<std::string> names;
  for (const auto &partition : disk->GetPartitions()) {
    int number = static_cast<int>(partition->GetPartitionNumber() & 0xff);
    if (number == 0) continue;
    char request[GLFS_VOLUME_REQUEST_SIZE] = {};
    snprintf(request, GLFS_VOLUME_KEY_SIZE, "%s:%d", device.c_str(), number);
    request[GLFS_VOLUME_KEY_SIZE - 1] = '\0';
    if (GlfsVolume_Ioctl(dirFd, GLFS_IOCTL_VOLUME_NAME, request) != 0) {
      if (errno == ENOENT) continue;  // the partition holds no volume
      return std::nullopt;
    }
    request[sizeof request - 1] = '\0';  // the driver's answer is not trusted to end
    std::string name(request + GLFS_VOLUME_NAME_OFFSET);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  if (names.empty()) return std::nullopt;
  return QuoteJoin(names);
}

// DatastoresOrUnknown for a LUN already looked up: the handlers that need the
// path figure too look the LUN up once.
std::string LunDatastoresOrUnknown(const std::string &device, const HostCtl::Storage::Lun *lun) {
  Descriptor dir{GlfsVolume_OpenDirectory()};
  if (dir.fd < 0) return kUnknown;
  return VolumeNames(dir.fd, device, lun).value_or(kUnknown);
}

// The datastore text of a storm event: empty when the device has no LUN,
// "Unknown" when it has no path figure or no datastores.
std::optional<std::string> StormDatastores(const std::string &device) {
  std::unique_ptr<HostCtl::Storage::Lun> lun = FindLun(device);
  if (!lun) return std::nullopt;
  return lun->GetPathFigure() == 0 ? std::string(kUnknown) : LunDatastoresOrUnknown(device, lun.get());
}

}  // namespace

std::optional<std::string> DeviceForPath(const std::string &path) {
  std::unique_ptr<HostCtl::Storage::Path> found = Storage()->GetPath(path);
  if (!found) return std::nullopt;
  return found->GetDeviceName();
}

std::optional<uint32_t> DevicePathFigure(const std::string &device) {
  std::unique_ptr<HostCtl::Storage::Lun> lun = FindLun(device);
  if (!lun) return std::nullopt;
  return lun->GetPathFigure();
}

std::optional<std::string> DatastoresForDevice(const std::string &device) {
  Descriptor dir{GlfsVolume_OpenDirectory()};
  if (dir.fd < 0) return std::nullopt;
  return VolumeNames(dir.fd, device, FindLun(device).get());
}

std::string DatastoresOrUnknown(const std::string &device) {
  return DatastoresForDevice(device).value_or(kUnknown);
}

void ScsiPathState_Start(int64_t now) {
  PathState &state = State();
  state.downReported.Clear();
  state.pathChanges.Start(now);
  state.powerOnResets.Start(now);
}

void PathChange_Note(const std::string &path, bool added, bool removed) {
  using Change = StormCounter::Change;
  Change change = removed ? Change::Removed : added ? Change::Added : Change::Increment;
  if (State().pathChanges.Note(path, Clock_NowSeconds(), change) != StormCounter::kReportAt) return;
  std::optional<std::string> device = DeviceForPath(path);
  if (!device) return;
  std::optional<std::string> datastores = StormDatastores(*device);
  if (!datastores) return;
  VPROB_POST(0, VPROB_PROBLEM, kPathStateChanges, path.c_str(), device->c_str(), datastores->c_str());
}

void PowerOnReset_Note(const std::string &name) {
  using Change = StormCounter::Change;
  if (State().powerOnResets.Note(name, Clock_NowSeconds(), Change::Increment) != StormCounter::kReportAt) {
    return;
  }
  // A name that is not a path is taken as a device.
  std::optional<std::string> pathDevice = DeviceForPath(name);
  const std::string &device = pathDevice ? *pathDevice : name;
  std::optional<std::string> datastores = StormDatastores(device);
  if (!datastores) return;
  if (pathDevice) {
    VPROB_POST(0, VPROB_PROBLEM, kPathPor, name.c_str(), device.c_str(), datastores->c_str());
  } else {
    VPROB_POST(0, VPROB_PROBLEM, kDevicePor, device.c_str(), datastores->c_str());
  }
}

void PathState_Down(const std::string &path, const char *previous) {
  PathChange_Note(path, false, false);
  if (!IsOneOf(previous, "on", "standby")) return;
  std::optional<std::string> device = DeviceForPath(path);
  if (!device) return;
  std::unique_ptr<HostCtl::Storage::Lun> lun = FindLun(*device);
  if (!lun || lun->GetPathFigure() == 0) return;
  uint32_t figure = lun->GetPathFigure();
  std::string datastores = LunDatastoresOrUnknown(*device, lun.get());
  const char *eventTemplate = figure == 1   ? kConnectivityLost
                              : figure == 2 ? kRedundancyLost
                              : figure == 3 ? kRedundancyDegraded
                                            : nullptr;
  if (eventTemplate != nullptr) {
    VProb_Post(0, VPROB_PROBLEM, eventTemplate, device->c_str(), path.c_str(), datastores.c_str());
  }
  // Recorded for every figure, so that the path's return is paired with it
  // even when this figure had no event of its own.
  PathState &state = State();
  bool known;
  state.downReported.Find(state.key.assign(path).append(*device), &known);
}

void PathState_Up(const std::string &path, const char *previous) {
  PathChange_Note(path, false, false);
  if (!IsOneOf(previous, "off", "dead")) return;
  std::optional<std::string> device = DeviceForPath(path);
  if (!device) return;
  PathState &state = State();
  if (!state.downReported.Erase(state.key.assign(path).append(*device))) return;  // no loss was handled
  std::unique_ptr<HostCtl::Storage::Lun> lun = FindLun(*device);
  if (!lun || lun->GetPathFigure() == 0) return;
  // Figure 1 (and any figure above 3) has no restored event.
  const char *eventTemplate = lun->GetPathFigure() == 2   ? kConnectivityRestored
                              : lun->GetPathFigure() == 3 ? kRedundancyRestored
                                                          : nullptr;
  if (eventTemplate == nullptr) return;
  std::string datastores = LunDatastoresOrUnknown(*device, lun.get());
  VProb_Post(0, VPROB_CLEAR, eventTemplate, device->c_str(), datastores.c_str(), path.c_str());
}
