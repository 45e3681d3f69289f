// The host model: the simulated host described by R/etc/hostsim.conf, which
// answers the system-information calls, the kernel-control classes, the volume
// lookup, the audit log and the event-stamp call of the stand-in host.
//
// File format: one record per line; fields separated by blanks (spaces or
// tabs); a field with blanks between double quotes, inside which a backslash
// makes the next " or backslash literal; "#" outside quotes starts a comment.
// Records:
//
//   uuid UUID                          system UUID (text)
//   build match | build mismatch TEXT  outcome of the kernel build check
//   option GROUP NAME VALUE            integer configuration option
//   advoption GROUP NAME VALUE         advanced integer option; GROUP is the
//                                      group path joined with "/"
//   vmgroup GROUPID NAME               VM group display name
//   vm WORLDID NAME                    virtual machine (name query, kill)
//   portgroup NAME SWITCH              port group and its virtual switch
//   lun DEVICE FIGURE [PARTITION...]   LUN; with partitions it is a disk LUN
//   path PATH DEVICE                   path and the device it leads to
//   volume DEVICE:PARTITION VOLUME     volume lookup answer for a partition
//   filesystem NAME1 NAME2             mounted file system, two names
//   cpu VENDOR FIELD24 FIELD28         CPU 0 vendor, CPU information fields
//   cpuoffline on|off                  whether CPUs may be taken offline
//   pageretire threshold N             threshold on selected pages
//   pagestatus PAGE STATUS             status of one machine page (default 0)
//   swap ok | swap fail [MESSAGE]      outcome of swap reconfiguration
//   fail WHAT [KEY...]                 make one operation fail (below)
//
// Integers are decimal or 0x-prefixed hexadecimal. A later record for the same
// key replaces an earlier one; file systems keep their order. A line that does
// not parse is skipped; of one reading of the file the first five are logged
// in full and the rest counted in one line.
//
// `fail` records. Without a key, every call of that kind fails; with a key,
// only the call for that instance. Numeric keys are compared as numbers.
//
//   WHAT            KEY             what fails
//   uuid            -               read of the system UUID node
//   intopt          GROUP NAME      read and write of that integer option
//   vmgroup         GROUPID         read of the VM group information node
//   nicdown         NIC             taking that NIC down (link flapping node)
//   threshold       -               read of the page retirement threshold
//   pagestatus      PAGE            page status request
//   retire          PAGE            page retirement request
//   cpuinfo         -               read of the CPU information node
//   cpulist         CPU             read of one CPU's record
//   offlineenabled  -               read of the CPU-offline-allowed node
//   cpuoffline      CPU             taking that CPU offline
//   portgroup       NAME            port group lookup (throws)
//   lun             DEVICE          LUN lookup (throws)
//   path            PATH            path lookup (throws)
//   volume          DEVICE:PART     volume lookup (fails with EIO)
//   filesystems     -               listing the mounted file systems (throws)
//   filesystem      NAME1           both name getters of that file system
//   swap            -               swap reconfiguration (throws)
//   vm              WORLDID         virtual machine lookup (throws)
//   vmkill          WORLDID         kill request (throws)
//   advoption       GROUP NAME      reading that advanced option (throws)
//   audit           -               audit log write (returns EIO)
//   stamp           -               event-stamp call (returns -ENOSYS)
//
// Absent records give the platform's "nothing there" answer: HYK_NOT_FOUND
// from a system-information read, an empty pointer from a lookup that returns
// one, an exception from a call that must return an object or a value. Two
// defaults: a host without a "swap" record reconfigures swap successfully, and
// a page without a "pagestatus" record has status 0.
//
// Thread safety: HostModel_Current() may be called from any thread; the
// snapshots it returns are immutable.
//
// Cost: every lookup is a hash lookup, so a host with thousands of paths,
// LUNs, port groups and VMs answers as fast as a small one. The lookups of
// paths, LUNs, volumes, port groups and VM groups, made for nearly every
// storage and network observation, read flat tables built once per reading
// of the file (HostModelIndex), which stay fast when the host no longer fits
// in the processor's cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct HostModelLun {
  uint32_t pathFigure = 0;
  std::vector<uint32_t> partitions;  // listed: the LUN is a disk LUN
};

struct HostModelFileSystem {
  std::string name1;
  std::string name2;
};

struct HostModelCpu {
  std::string vendor;
  uint32_t field24 = 0;
  uint32_t field28 = 0;
};

// Hash of the two-part keys (option group and name, device and partition).
struct HostModelPairHash {
  template <typename A, typename B>
  size_t operator()(const std::pair<A, B> &key) const {
    size_t a = std::hash<A>()(key.first), b = std::hash<B>()(key.second);
    return a ^ (b + 0x9e3779b97f4a7c15ull + (a << 6) + (a >> 2));
  }
};

template <typename A, typename B, typename Value>
using HostModelPairMap = std::unordered_map<std::pair<A, B>, Value, HostModelPairHash>;

// A read-only lookup table from a key text to an answer (a text and a
// number), filled once while the model is built. Every entry lies in one
// block of bytes, its lengths and number followed by its key and its answer
// text, and a slot of the open-addressed table holds 32 bits of the key's
// hash and where the entry is: a lookup reads one slot and one short stretch
// of the block, however many entries there are, where a node-based map reads
// a bucket, a node and the key's and the answer's own heap blocks. Reserve
// and Add run on the thread building the model; after that, any thread may
// call Find.
class HostModelIndex {
 public:
  struct Answer {
    std::string_view text;  // valid while the index lives
    uint32_t number = 0;
  };

  // Sizes the table for `count` entries whose keys and texts take `bytes`
  // together; Add must not go beyond either.
  void Reserve(size_t count, size_t bytes);
  // Adds a key that is not in the table yet.
  void Add(std::string_view key, std::string_view text, uint32_t number = 0);
  // The answer for `key`; empty when there is none.
  std::optional<Answer> Find(std::string_view key) const;

 private:
  // An entry in block_: key length, text length and number (32 bits each),
  // then the key and the text.
  static constexpr size_t kHeader = 3 * sizeof(uint32_t);
  struct Slot {
    uint32_t hash = 0;    // 0: empty
    uint32_t offset = 0;  // of the entry in block_
  };
  static uint32_t Hash(std::string_view key);

  std::vector<Slot> slots_;  // a power of two, at most half full
  std::string block_;
};

struct HostModel {
  std::optional<std::string> uuid;
  std::optional<std::string> kernelBuild;  // set: "build mismatch TEXT"
  HostModelPairMap<std::string, std::string, int64_t> options;     // (group, name)
  HostModelPairMap<std::string, std::string, int64_t> advOptions;  // (group path, name)
  std::unordered_map<int64_t, std::string> vmGroups;
  std::unordered_map<int64_t, std::string> vms;
  std::unordered_map<std::string, std::string> portGroups;  // port group -> switch
  std::unordered_map<std::string, HostModelLun> luns;
  std::unordered_map<std::string, std::string> paths;  // path -> device
  HostModelPairMap<std::string, int64_t, std::string> volumes;  // (device, partition)
  std::vector<HostModelFileSystem> fileSystems;
  std::optional<HostModelCpu> cpu;
  std::optional<bool> cpuOfflineEnabled;
  std::optional<uint64_t> pageRetireThreshold;
  std::unordered_map<uint64_t, uint32_t> pageStatus;
  std::optional<std::string> swapFailure;  // set: "swap fail MESSAGE"
  std::set<std::vector<std::string>> failures;  // {WHAT, KEY...}

  // The lookups on the correlators' hot path, answered from flat tables built
  // from the maps above by BuildIndexes (which HostModel_Parse calls):
  //   pathIndex       path -> device
  //   lunIndex        device -> partition numbers (uint32_t each, in the
  //                   text's bytes; none: not a disk LUN), number: path figure
  //   volumeIndex     "DEVICE:PARTITION" (partition in decimal) -> volume
  //   portGroupIndex  port group -> switch
  //   vmGroupIndex    group ID in decimal -> display name
  HostModelIndex pathIndex, lunIndex, volumeIndex, portGroupIndex, vmGroupIndex;
  void BuildIndexes();

  // True when a `fail` record covers operation `what` on instance `key`
  // (key fields as the table above lists them; numbers in decimal).
  bool Fails(const std::string &what, const std::vector<std::string> &key = {}) const;
};

// The model as R/etc/hostsim.conf describes it now. The file is read on first
// use and again whenever its modification time (nanoseconds), size, inode or
// path (a new $KELD_ROOT) changes; a missing file is an empty model. The file
// must be a regular file of at most 16 MiB: anything else (a FIFO, a device,
// a larger file) is one log line and the last model read stays in use (an
// empty one when there is none). Bad lines are logged, the first five in full
// and then one count. Never null.
//
// A new version is read and parsed by the one caller that notices it, outside
// the cache lock, and then swapped in: callers arriving meanwhile get the
// previous snapshot of the same file at once rather than waiting for the
// parse (a first reading, or one of a new $KELD_ROOT, makes them wait).
std::shared_ptr<const HostModel> HostModel_Current(void);

// HostModel_Hold(true) reads the model now (as HostModel_Current does) and
// keeps it: until HostModel_Hold(false), every HostModel_Current returns
// that snapshot without looking at the file, so a change of the file or of
// $KELD_ROOT is not seen. Only for a process whose host cannot change while
// it runs (the replay tool, on its private copy of the model); the daemon
// never holds the model. Any thread may call it.
void HostModel_Hold(bool hold);

// Parses the text of a host model file. Every skipped line adds one message
// ("line N: reason") to *errors when it is not null, up to `keep` messages,
// and counts in *badLines when that is not null.
HostModel HostModel_Parse(const std::string &text, std::vector<std::string> *errors,
                          size_t *badLines = nullptr, size_t keep = SIZE_MAX);

// Splits one line into fields by the rules above. False (fields unspecified)
// when a double quote is not closed.
bool HostModel_SplitFields(const std::string &line, std::vector<std::string> *fields);

// Parses a decimal or 0x-hexadecimal integer filling the whole text.
bool HostModel_ParseInt64(const std::string &text, int64_t *value);
bool HostModel_ParseUint64(const std::string &text, uint64_t *value);
