// Reading and caching the host model.
//
// Locking: gCacheLock guards gCache (the file identity last read, the snapshot
// parsed from it and whether a reading is under way) and gWatch (the change
// watch on the file, which lets a call skip the stat() of the path while
// nothing has happened to the file); gCacheReady is signalled
// when a reading ends. The file is read and parsed outside the lock by the one
// caller that noticed the change, so a changed file is read and its bad lines
// are logged once, and a large model never holds up the other callers: they
// keep the previous snapshot until the new one is swapped in. Callers use
// their immutable snapshot without any lock. gHeld (atomic) says that the
// snapshot in gCache is returned without looking at the file.
#include "hostModel.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string_view>

#include "fileWatch.h"
#include "platform/simRoot.h"
#include "platform/sysLog.h"

namespace {

const char kModelPath[] = "/etc/hostsim.conf";
// A large host (2,000 port groups, 20,000 paths, 10,000 VMs) is described in
// about 2 MB; the limit leaves room eight times over and still bounds a read.
constexpr off_t kMaxModelBytes = off_t{16} * 1024 * 1024;
// Bad lines reported in full for one reading of the file; the rest are counted.
const size_t kBadLinesShown = 5;

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *format, ...) {
  va_list args;
  va_start(args, format);
  SysLog_VLog(LOG_WARNING, format, args);
  va_end(args);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Characters that end an unquoted run of a field: blanks, '#' and '"'. A
// table, because a large host model is tens of thousands of lines.
struct RunEnds {
  bool at[256] = {};
  RunEnds() {
    for (int c = 0; c < 256; ++c) at[c] = IsBlank(static_cast<char>(c)) || c == '#' || c == '"';
  }
  bool operator()(char c) const { return at[static_cast<unsigned char>(c)]; }
};
const RunEnds kRunEnds;

// Canonical decimal text of a numeric key, so that "0x10" and "16" match.
bool CanonicalNumber(const std::string &text, std::string *out) {
  int64_t s;
  uint64_t u;
  if (!text.empty() && text[0] == '-') {
    if (!HostModel_ParseInt64(text, &s)) return false;
    *out = std::to_string(s);
  } else {
    if (!HostModel_ParseUint64(text, &u)) return false;
    *out = std::to_string(u);
  }
  return true;
}

// "DEVICE:PARTITION" split at the last colon.
bool SplitVolumeKey(const std::string &text, std::string *device, int64_t *partition) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *device = text.substr(0, colon);
  return HostModel_ParseInt64(text.substr(colon + 1), partition);
}

struct FailKind {
  const char *what;
  size_t keyFields;
  enum { kText, kNumber, kVolume } keyType;
};

const FailKind kFailKinds[] = {
    {"uuid", 0, FailKind::kText},          {"intopt", 2, FailKind::kText},
    {"vmgroup", 1, FailKind::kNumber},     {"nicdown", 1, FailKind::kText},
    {"threshold", 0, FailKind::kText},     {"pagestatus", 1, FailKind::kNumber},
    {"retire", 1, FailKind::kNumber},      {"cpuinfo", 0, FailKind::kText},
    {"cpulist", 1, FailKind::kNumber},     {"offlineenabled", 0, FailKind::kText},
    {"cpuoffline", 1, FailKind::kNumber},  {"portgroup", 1, FailKind::kText},
    {"lun", 1, FailKind::kText},           {"path", 1, FailKind::kText},
    {"volume", 1, FailKind::kVolume},      {"filesystems", 0, FailKind::kText},
    {"filesystem", 1, FailKind::kText},    {"swap", 0, FailKind::kText},
    {"vm", 1, FailKind::kNumber},          {"vmkill", 1, FailKind::kNumber},
    {"advoption", 2, FailKind::kText},     {"audit", 0, FailKind::kText},
    {"stamp", 0, FailKind::kText},
};

using Fields = std::vector<std::string>;

// One record kind: its parser reports why a line is bad through *why.
struct RecordKind {
  std::string_view name;  // a view, so that a mismatch is mostly a length compare
  size_t minFields;  // including the kind itself
  size_t maxFields;  // SIZE_MAX: no limit
  bool (*parse)(HostModel &model, const Fields &f, std::string *why);
};

bool Bad(std::string *why, const std::string &reason) {
  *why = reason;
  return false;
}

bool ParseOption(HostModelPairMap<std::string, std::string, int64_t> &into, const Fields &f,
                 std::string *why) {
  int64_t value;
  if (!HostModel_ParseInt64(f[3], &value)) return Bad(why, "bad value \"" + f[3] + "\"");
  into[{f[1], f[2]}] = value;
  return true;
}

bool ParseNamedId(std::unordered_map<int64_t, std::string> &into, const Fields &f, std::string *why) {
  int64_t id;
  if (!HostModel_ParseInt64(f[1], &id)) return Bad(why, "bad id \"" + f[1] + "\"");
  into[id] = f[2];
  return true;
}

bool ParseU32(const std::string &text, uint32_t *value) {
  uint64_t v;
  if (!HostModel_ParseUint64(text, &v) || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

const RecordKind kRecordKinds[] = {
    {"uuid", 2, 2,
     [](HostModel &m, const Fields &f, std::string *) {
       m.uuid = f[1];
       return true;
     }},
    {"build", 2, 3,
     [](HostModel &m, const Fields &f, std::string *why) {
       if (f[1] == "match" && f.size() == 2) {
         m.kernelBuild.reset();
         return true;
       }
       if (f[1] == "mismatch" && f.size() == 3) {
         m.kernelBuild = f[2];
         return true;
       }
       return Bad(why, "expected \"build match\" or \"build mismatch TEXT\"");
     }},
    {"option", 4, 4, [](HostModel &m, const Fields &f, std::string *why) {
       return ParseOption(m.options, f, why);
     }},
    {"advoption", 4, 4, [](HostModel &m, const Fields &f, std::string *why) {
       return ParseOption(m.advOptions, f, why);
     }},
    {"vmgroup", 3, 3, [](HostModel &m, const Fields &f, std::string *why) {
       return ParseNamedId(m.vmGroups, f, why);
     }},
    {"vm", 3, 3, [](HostModel &m, const Fields &f, std::string *why) {
       return ParseNamedId(m.vms, f, why);
     }},
    {"portgroup", 3, 3,
     [](HostModel &m, const Fields &f, std::string *) {
       m.portGroups[f[1]] = f[2];
       return true;
     }},
    {"lun", 3, SIZE_MAX,
     [](HostModel &m, const Fields &f, std::string *why) {
       HostModelLun lun;
       if (!ParseU32(f[2], &lun.pathFigure)) return Bad(why, "bad path figure \"" + f[2] + "\"");
       for (size_t i = 3; i < f.size(); ++i) {
         uint32_t number;
         if (!ParseU32(f[i], &number)) return Bad(why, "bad partition \"" + f[i] + "\"");
         lun.partitions.push_back(number);
       }
       m.luns[f[1]] = std::move(lun);
       return true;
     }},
    {"path", 3, 3,
     [](HostModel &m, const Fields &f, std::string *) {
       m.paths[f[1]] = f[2];
       return true;
     }},
    {"volume", 3, 3,
     [](HostModel &m, const Fields &f, std::string *why) {
       std::string device;
       int64_t partition;
       if (!SplitVolumeKey(f[1], &device, &partition)) {
         return Bad(why, "expected DEVICE:PARTITION, got \"" + f[1] + "\"");
       }
       m.volumes[{device, partition}] = f[2];
       return true;
     }},
    {"filesystem", 3, 3,
     [](HostModel &m, const Fields &f, std::string *) {
       m.fileSystems.push_back({f[1], f[2]});
       return true;
     }},
    {"cpu", 4, 4,
     [](HostModel &m, const Fields &f, std::string *why) {
       HostModelCpu cpu;
       cpu.vendor = f[1];
       if (!ParseU32(f[2], &cpu.field24) || !ParseU32(f[3], &cpu.field28)) {
         return Bad(why, "bad CPU field");
       }
       m.cpu = cpu;
       return true;
     }},
    {"cpuoffline", 2, 2,
     [](HostModel &m, const Fields &f, std::string *why) {
       if (f[1] != "on" && f[1] != "off") return Bad(why, "expected on or off");
       m.cpuOfflineEnabled = f[1] == "on";
       return true;
     }},
    {"pageretire", 3, 3,
     [](HostModel &m, const Fields &f, std::string *why) {
       uint64_t n;
       if (f[1] != "threshold") return Bad(why, "expected \"pageretire threshold N\"");
       if (!HostModel_ParseUint64(f[2], &n)) return Bad(why, "bad threshold \"" + f[2] + "\"");
       m.pageRetireThreshold = n;
       return true;
     }},
    {"pagestatus", 3, 3,
     [](HostModel &m, const Fields &f, std::string *why) {
       uint64_t page;
       uint32_t status;
       if (!HostModel_ParseUint64(f[1], &page) || !ParseU32(f[2], &status)) {
         return Bad(why, "bad page or status");
       }
       m.pageStatus[page] = status;
       return true;
     }},
    {"swap", 2, 3,
     [](HostModel &m, const Fields &f, std::string *why) {
       if (f[1] == "ok" && f.size() == 2) {
         m.swapFailure.reset();
       } else if (f[1] == "fail") {
         m.swapFailure = f.size() == 3 ? f[2] : "system swap reconfiguration failed";
       } else {
         return Bad(why, "expected \"swap ok\" or \"swap fail MESSAGE\"");
       }
       return true;
     }},
    {"fail", 2, SIZE_MAX,
     [](HostModel &m, const Fields &f, std::string *why) {
       for (const FailKind &kind : kFailKinds) {
         if (f[1] != kind.what) continue;
         Fields entry(f.begin() + 1, f.end());
         size_t keys = entry.size() - 1;
         if (keys != 0 && keys != kind.keyFields) {
           return Bad(why, "fail " + f[1] + " takes " + std::to_string(kind.keyFields) +
                               " key field(s) or none");
         }
         if (keys == 1 && kind.keyType == FailKind::kNumber &&
             !CanonicalNumber(entry[1], &entry[1])) {
           return Bad(why, "bad numeric key \"" + entry[1] + "\"");
         }
         if (keys == 1 && kind.keyType == FailKind::kVolume) {
           std::string device;
           int64_t partition;
           if (!SplitVolumeKey(entry[1], &device, &partition)) {
             return Bad(why, "expected DEVICE:PARTITION, got \"" + entry[1] + "\"");
           }
           entry[1] = device + ":" + std::to_string(partition);
         }
         m.failures.insert(std::move(entry));
         return true;
       }
       return Bad(why, "unknown operation \"" + f[1] + "\"");
     }},
};

bool ParseRecord(HostModel &model, const Fields &f, std::string *why) {
  for (const RecordKind &kind : kRecordKinds) {
    if (f[0] != kind.name) continue;
    if (f.size() < kind.minFields || f.size() > kind.maxFields) {
      return Bad(why, "wrong number of fields for \"" + f[0] + "\"");
    }
    return kind.parse(model, f, why);
  }
  return Bad(why, "unknown record \"" + f[0] + "\"");
}

// What identifies one version of the file.
struct FileIdentity {
  std::string path;
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  struct timespec mtime {};

  bool operator==(const FileIdentity &o) const {
    return path == o.path && exists == o.exists && dev == o.dev && ino == o.ino &&
           size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
  }
};

struct Cache {
  FileIdentity identity;
  std::shared_ptr<const HostModel> model;
  bool loading = false;  // a caller is reading a new version outside the lock
  // gWatch's change count noted before the stat() that found `identity`:
  // while the count is still this, the file is as it was then.
  uint64_t watchMark = 0;
};

std::mutex gCacheLock;
std::condition_variable gCacheReady;
Cache gCache;
// Whatever can make the file at the model path another version: its
// contents, its metadata, or another file taking its name.
FileWatch gWatch;
constexpr uint32_t kModelFileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF;
constexpr uint32_t kModelNameEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE;

// Set while the model is held (HostModel_Hold): gCache.model is returned
// as it is and the file is not looked at.
std::atomic<bool> gHeld{false};

// The model file's path under the current root. Each thread keeps the path
// it joined last with the root it was joined for, so that a lookup costs no
// allocation while the root stays the same.
const std::string &ModelPath() {
  thread_local std::string root, path;
  const char *now = getenv("KELD_ROOT");
  if (now == nullptr) now = "";
  if (path.empty() || root != now) {
    path = SimRoot_Path(kModelPath);
    root = now;
  }
  return path;
}

FileIdentity Identify(const std::string &path) {
  FileIdentity id;
  id.path = path;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) {
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.size = st.st_size;
    id.mtime = st.st_mtim;
  }
  return id;
}

// Reads the whole model file, which must be a regular file of at most
// kMaxModelBytes: a FIFO, a device or a growing file is never read without
// bound or waited on. False with the reason in *why.
bool ReadModelFile(const std::string &path, std::string *text, std::string *why) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *why = std::string("cannot be opened: ") + strerror(errno);
    return false;
  }
  struct stat st;
  bool ok = fstat(fd, &st) == 0;
  if (!ok) {
    *why = std::string("cannot be read: ") + strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    *why = "is not a regular file";
    ok = false;
  } else if (st.st_size > kMaxModelBytes) {
    *why = "is larger than " + std::to_string(kMaxModelBytes) + " bytes";
    ok = false;
  }
  text->clear();
  char chunk[16384];
  while (ok) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *why = std::string("cannot be read: ") + strerror(errno);
      ok = false;
    } else if (n == 0) {
      break;
    } else if (text->size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxModelBytes)) {
      *why = "is larger than " + std::to_string(kMaxModelBytes) + " bytes";
      ok = false;
    } else {
      text->append(chunk, static_cast<size_t>(n));
    }
  }
  close(fd);
  return ok;
}

// The model of the file `id`; `last` is the model in use, kept when the file
// is there but cannot serve as a model.
std::shared_ptr<const HostModel> Load(const FileIdentity &id, const std::shared_ptr<const HostModel> &last) {
  if (!id.exists) {
    Log("hostsim: %s: no such file; using an empty host model", id.path.c_str());
    return std::make_shared<const HostModel>();
  }
  std::string text, why;
  if (!ReadModelFile(id.path, &text, &why)) {
    Log("hostsim: %s %s; %s", id.path.c_str(), why.c_str(),
        last ? "the last host model read stays in use" : "using an empty host model");
    return last ? last : std::make_shared<const HostModel>();
  }
  std::vector<std::string> errors;
  size_t badLines = 0;
  auto model = std::make_shared<const HostModel>(HostModel_Parse(text, &errors, &badLines, kBadLinesShown));
  for (const std::string &error : errors) {
    Log("hostsim: %s: %s; line skipped", id.path.c_str(), error.c_str());
  }
  if (badLines > errors.size()) {
    Log("hostsim: %s: %zu more bad lines skipped", id.path.c_str(), badLines - errors.size());
  }
  return model;
}

}  // namespace

uint32_t HostModelIndex::Hash(std::string_view key) {
  uint64_t full = std::hash<std::string_view>()(key);
  uint32_t hash = static_cast<uint32_t>(full ^ (full >> 32));
  return hash == 0 ? 1 : hash;
}

void HostModelIndex::Reserve(size_t count, size_t bytes) {
  size_t size = 16;
  while (size < 2 * count) size *= 2;
  slots_.assign(size, Slot{});
  block_.clear();
  block_.reserve(count * kHeader + bytes);
}

void HostModelIndex::Add(std::string_view key, std::string_view text, uint32_t number) {
  // The file is at most 16 MiB, so every offset and length fits 32 bits.
  Slot slot{Hash(key), static_cast<uint32_t>(block_.size())};
  uint32_t header[3] = {static_cast<uint32_t>(key.size()), static_cast<uint32_t>(text.size()), number};
  block_.append(reinterpret_cast<const char *>(header), sizeof header).append(key).append(text);
  size_t mask = slots_.size() - 1;
  size_t i = slot.hash & mask;
  while (slots_[i].hash != 0) i = (i + 1) & mask;
  slots_[i] = slot;
}

std::optional<HostModelIndex::Answer> HostModelIndex::Find(std::string_view key) const {
  if (slots_.empty()) return std::nullopt;
  uint32_t hash = Hash(key);
  size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot &slot = slots_[i];
    if (slot.hash == 0) return std::nullopt;
    if (slot.hash != hash) continue;
    uint32_t header[3];
    memcpy(header, block_.data() + slot.offset, sizeof header);
    std::string_view entry = std::string_view(block_).substr(slot.offset + kHeader, size_t{header[0]} + header[1]);
    if (header[0] == key.size() && entry.substr(0, header[0]) == key) {
      return Answer{entry.substr(header[0]), header[2]};
    }
  }
}

void HostModel::BuildIndexes() {
  size_t bytes = 0;
  for (const auto &[path, device] : paths) bytes += path.size() + device.size();
  pathIndex.Reserve(paths.size(), bytes);
  for (const auto &[path, device] : paths) pathIndex.Add(path, device);

  bytes = 0;
  for (const auto &[device, lun] : luns) bytes += device.size() + lun.partitions.size() * sizeof(uint32_t);
  lunIndex.Reserve(luns.size(), bytes);
  for (const auto &[device, lun] : luns) {
    std::string_view numbers;
    if (!lun.partitions.empty()) {
      numbers = std::string_view(reinterpret_cast<const char *>(lun.partitions.data()),
                                 lun.partitions.size() * sizeof(uint32_t));
    }
    lunIndex.Add(device, numbers, lun.pathFigure);
  }

  // "DEVICE:" and at most 20 characters of partition number.
  bytes = 0;
  for (const auto &[key, volume] : volumes) bytes += key.first.size() + 21 + volume.size();
  volumeIndex.Reserve(volumes.size(), bytes);
  std::string text;
  for (const auto &[key, volume] : volumes) {
    text.assign(key.first).append(":").append(std::to_string(key.second));
    volumeIndex.Add(text, volume);
  }

  bytes = 0;
  for (const auto &[name, vswitch] : portGroups) bytes += name.size() + vswitch.size();
  portGroupIndex.Reserve(portGroups.size(), bytes);
  for (const auto &[name, vswitch] : portGroups) portGroupIndex.Add(name, vswitch);

  bytes = 0;
  for (const auto &[id, name] : vmGroups) bytes += 20 + name.size();
  vmGroupIndex.Reserve(vmGroups.size(), bytes);
  for (const auto &[id, name] : vmGroups) vmGroupIndex.Add(std::to_string(id), name);
}

bool HostModel::Fails(const std::string &what, const std::vector<std::string> &key) const {
  if (failures.empty()) return false;
  Fields entry{what};
  if (failures.count(entry)) return true;
  entry.insert(entry.end(), key.begin(), key.end());
  return !key.empty() && failures.count(entry) != 0;
}

bool HostModel_ParseUint64(const std::string &text, uint64_t *value) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char *digits = text.c_str() + (hex ? 2 : 0);
  if (*digits == '\0' || !isxdigit(static_cast<unsigned char>(*digits))) return false;
  errno = 0;
  char *end = nullptr;
  unsigned long long v = strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || end != text.c_str() + text.size()) return false;
  *value = v;
  return true;
}

bool HostModel_ParseInt64(const std::string &text, int64_t *value) {
  bool negative = !text.empty() && text[0] == '-';
  uint64_t magnitude;
  // (A conditional expression here would copy `text` on every call.)
  bool parsed = negative ? HostModel_ParseUint64(text.substr(1), &magnitude) : HostModel_ParseUint64(text, &magnitude);
  if (!parsed) return false;
  if (negative) {
    if (magnitude > static_cast<uint64_t>(INT64_MAX) + 1) return false;
    *value = static_cast<int64_t>(0 - magnitude);
  } else {
    if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    *value = static_cast<int64_t>(magnitude);
  }
  return true;
}

bool HostModel_SplitFields(const std::string &line, std::vector<std::string> *fields) {
  // The strings already in *fields are reused, so that splitting line after
  // line allocates nothing once the longest fields have been seen.
  size_t count = 0;
  auto finish = [&] {
    fields->resize(count);
    return true;
  };
  size_t i = 0, n = line.size();
  while (true) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i == n || line[i] == '#') return finish();
    if (count == fields->size()) fields->emplace_back();
    std::string &field = (*fields)[count++];
    field.clear();
    while (i < n && !IsBlank(line[i]) && line[i] != '#') {
      if (line[i] != '"') {
        size_t start = i;
        while (i < n && !kRunEnds(line[i])) ++i;
        field.append(line, start, i - start);
        continue;
      }
      for (++i;;) {
        size_t start = i;
        while (i < n && line[i] != '"' && line[i] != '\\') ++i;
        field.append(line, start, i - start);
        if (i == n) {
          fields->resize(count);
          return false;
        }
        if (line[i] == '"') break;
        // A backslash makes a following " or backslash literal; any other
        // backslash stays.
        if (i + 1 < n && (line[i + 1] == '"' || line[i + 1] == '\\')) ++i;
        field += line[i++];
      }
      ++i;  // closing quote
    }
  }
}

HostModel HostModel_Parse(const std::string &text, std::vector<std::string> *errors, size_t *badLines,
                          size_t keep) {
  HostModel model;
  std::istringstream in(text);
  std::string line;
  Fields fields;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string why;
    if (!HostModel_SplitFields(line, &fields)) {
      why = "unterminated double quote";
    } else if (fields.empty() || ParseRecord(model, fields, &why)) {
      continue;
    }
    if (badLines) ++*badLines;
    if (errors && errors->size() < keep) errors->push_back("line " + std::to_string(number) + ": " + why);
  }
  model.BuildIndexes();
  return model;
}

std::shared_ptr<const HostModel> HostModel_Current(void) {
  if (gHeld.load(std::memory_order_acquire)) {
    std::lock_guard<std::mutex> hold(gCacheLock);
    if (gCache.model) return gCache.model;
  }
  const std::string &path = ModelPath();
  uint64_t mark;
  {
    std::lock_guard<std::mutex> hold(gCacheLock);
    // Nothing happened to the file since the stat() that found the cached
    // version: no need to look at it.
    if (!gCache.loading && gCache.model && gCache.identity.path == path && gWatch.Active() &&
        gWatch.Changes() == gCache.watchMark) {
      return gCache.model;
    }
    // Watched before the stat(), so that a change after it is counted.
    gWatch.Watch(path, kModelFileEvents, kModelNameEvents);
    mark = gWatch.Changes();
  }
  FileIdentity id = Identify(path);
  std::shared_ptr<const HostModel> last;
  {
    std::unique_lock<std::mutex> hold(gCacheLock);
    // While a new version is read, the previous one of the same file is
    // offered; a first reading, or one for another root, is waited for.
    gCacheReady.wait(hold, [&] { return !gCache.loading || (gCache.model && gCache.identity.path == id.path); });
    if (gCache.model && !gCache.loading && gCache.identity == id) gCache.watchMark = mark;
    if (gCache.loading || (gCache.model && gCache.identity == id)) return gCache.model;
    gCache.loading = true;
    // A file that cannot be used keeps the last model of the same file.
    if (gCache.model && gCache.identity.path == id.path) last = gCache.model;
  }
  std::shared_ptr<const HostModel> model;
  try {
    model = Load(id, last);
  } catch (...) {  // no memory for the new version: the next call tries again
    std::lock_guard<std::mutex> hold(gCacheLock);
    gCache.loading = false;
    gCacheReady.notify_all();
    throw;
  }
  std::shared_ptr<const HostModel> previous;  // freed after the lock is released
  {
    std::lock_guard<std::mutex> hold(gCacheLock);
    previous = std::move(gCache.model);
    gCache.model = model;
    gCache.identity = id;
    gCache.watchMark = mark;
    gCache.loading = false;
  }
  gCacheReady.notify_all();
  return model;
}

void HostModel_Hold(bool hold) {
  if (hold) HostModel_Current();
  gHeld.store(hold, std::memory_order_release);
}
