// Path state of the SCSI correlator. State is owned by the correlator's
// thread (see the header); nothing here takes a lock.
#include "correlators/scsi/keldScsiPathState.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <unordered_set>
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
    counts_.clear();
    reset_.Set("", now);
    sweep_.Set("", now);
  }

  // Runs the windows due at `now`, applies `change` to the name's count and
  // returns the new count.
  uint32_t Note(const std::string &name, int64_t now, Change change) {
    if (reset_.Pass("", now)) counts_.clear();
    // The sweep runs before this note is counted, so that the count compared
    // with 10 holds only changes since the last sweep: nine changes, a quiet
    // minute and one more change do not make a storm.
    if (sweep_.Pass("", now)) {
      for (auto &entry : counts_) {
        if (entry.second < kReportAt) entry.second = 0;
      }
    }
    auto it = counts_.find(name);
    bool known = it != counts_.end();
    uint32_t &count = known ? it->second : counts_[name];
    if (change == Change::Removed || (change == Change::Added && !known)) {
      count = 0;
    } else if (count < UINT32_MAX) {
      count++;
    }
    return count;
  }

 private:
  std::unordered_map<std::string, uint32_t> counts_;  // hashed: a host may have thousands of paths
  // One window each, under the key "".
  TextThrottle reset_ = TextThrottle::After(600);
  TextThrottle sweep_ = TextThrottle::After(60);
};

struct PathState {
  // Path name + device name of every path whose loss was handled and whose
  // restoration is awaited.
  std::unordered_set<std::string> downReported;
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

// The datastore text of a storm event: empty when the device has no LUN,
// "Unknown" when it has no path figure or no datastores.
std::optional<std::string> StormDatastores(const std::string &device) {
  std::optional<uint32_t> figure = DevicePathFigure(device);
  if (!figure) return std::nullopt;
  return *figure == 0 ? std::string(kUnknown) : DatastoresOrUnknown(device);
}

}  // namespace

std::optional<std::string> DeviceForPath(const std::string &path) {
  std::unique_ptr<HostCtl::Storage::Path> found = Storage()->GetPath(path);
  if (!found) return std::nullopt;
  return found->GetDeviceName();
}

std::optional<uint32_t> DevicePathFigure(const std::string &device) {
  std::unique_ptr<HostCtl::Storage::Lun> lun = Storage()->GetLun(device, 1);
  if (!lun) return std::nullopt;
  return lun->GetPathFigure();
}

std::optional<std::string> DatastoresForDevice(const std::string &device) {
  Descriptor dir{GlfsVolume_OpenDirectory()};
  if (dir.fd < 0) return std::nullopt;
  std::unique_ptr<HostCtl::Storage::Lun> lun = Storage()->GetLun(device, 1);
  const auto *disk = dynamic_cast<const HostCtl::Storage::DiskLun *>(lun.get());
  if (disk == nullptr || disk->GetPartitions().empty()) return std::nullopt;

  std::vector<std::string> names;
  for (const auto &partition : disk->GetPartitions()) {
    int number = static_cast<int>(partition->GetPartitionNumber() & 0xff);
    if (number == 0) continue;
    char request[GLFS_VOLUME_REQUEST_SIZE] = {};
    snprintf(request, GLFS_VOLUME_KEY_SIZE, "%s:%d", device.c_str(), number);
    request[GLFS_VOLUME_KEY_SIZE - 1] = '\0';
    if (GlfsVolume_Ioctl(dir.fd, GLFS_IOCTL_VOLUME_NAME, request) != 0) {
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

std::string DatastoresOrUnknown(const std::string &device) {
  return DatastoresForDevice(device).value_or(kUnknown);
}

void ScsiPathState_Start(int64_t now) {
  PathState &state = State();
  state.downReported.clear();
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
  std::optional<uint32_t> figure = DevicePathFigure(*device);
  if (!figure || *figure == 0) return;
  std::string datastores = DatastoresOrUnknown(*device);
  const char *eventTemplate = *figure == 1   ? kConnectivityLost
                              : *figure == 2 ? kRedundancyLost
                              : *figure == 3 ? kRedundancyDegraded
                                             : nullptr;
  if (eventTemplate != nullptr) {
    VProb_Post(0, VPROB_PROBLEM, eventTemplate, device->c_str(), path.c_str(), datastores.c_str());
  }
  // Recorded for every figure, so that the path's return is paired with it
  // even when this figure had no event of its own.
  State().downReported.insert(path + *device);
}

void PathState_Up(const std::string &path, const char *previous) {
  PathChange_Note(path, false, false);
  if (!IsOneOf(previous, "off", "dead")) return;
  std::optional<std::string> device = DeviceForPath(path);
  if (!device) return;
  if (State().downReported.erase(path + *device) == 0) return;  // no loss was handled
  std::optional<uint32_t> figure = DevicePathFigure(*device);
  if (!figure || *figure == 0) return;
  // Figure 1 (and any figure above 3) has no restored event.
  const char *eventTemplate = *figure == 2   ? kConnectivityRestored
                              : *figure == 3 ? kRedundancyRestored
                                             : nullptr;
  if (eventTemplate == nullptr) return;
  std::string datastores = DatastoresOrUnknown(*device);
  VProb_Post(0, VPROB_CLEAR, eventTemplate, device->c_str(), datastores.c_str(), path.c_str());
}
