// Kernel-control library: an object layer over the kernel's state.
//
// Conventions of the whole library:
// - Every failure is thrown as HostCtl::Lib::HostCtlException; nothing else is
//   thrown apart from std::bad_alloc.
// - Objects are returned as owning std::unique_ptr; the caller destroys them.
//   A returned object holds its own copy of what it describes and stays valid
//   whatever happens to the host afterwards (or to the object it came from).
// - "Empty when absent": lookups documented so return an empty pointer when
//   the host has no such thing; lookups that must yield an object throw.
// - Every class may be used from any thread; one object is not meant to be
//   shared between threads without the caller's own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/hsi.h"

namespace HostCtl {

namespace Lib {

// The failure type of every call of the library.
class HostCtlException : public std::exception {
 public:
  explicit HostCtlException(std::string detailedMessage);
  const char *what() const noexcept override;
  // A one-line description of the failure, for the log.
  const std::string &GetDetailedMessage() const noexcept;

 private:
  std::string message_;
};

}  // namespace Lib

namespace Storage {

// A logical unit (device) of the host's storage.
class Lun {
 public:
  Lun(std::string name, uint32_t pathFigure);
  virtual ~Lun();
  const std::string &GetName() const;
  // The library's path figure: 0 no figure; 1, 2, 3 how many paths remain.
  uint32_t GetPathFigure() const;

 private:
  std::string name_;
  uint32_t pathFigure_;
};

// One partition of a disk LUN.
class DiskLunPartition {
 public:
  explicit DiskLunPartition(uint32_t number);
  uint32_t GetPartitionNumber() const;

 private:
  uint32_t number_;
};

// A LUN that is a disk with a partition table (reached by dynamic_cast from
// Lun). The partitions are owned by the DiskLun and live as long as it does.
class DiskLun : public Lun {
 public:
  DiskLun(std::string name, uint32_t pathFigure, const std::vector<uint32_t> &partitionNumbers);
  const std::vector<std::unique_ptr<DiskLunPartition>> &GetPartitions() const;

 private:
  std::vector<std::unique_ptr<DiskLunPartition>> partitions_;
};

// A storage path (one route from an adapter to a device) and that device.
class Path {
 public:
  Path(std::string name, std::string deviceName);
  const std::string &GetName() const;
  const std::string &GetDeviceName() const;

 private:
  std::string name_;
  std::string deviceName_;
};

class StorageInfo {
 public:
  // LUN by device name. `flags` is 1 for the daemon's lookups (the only value
  // in use). Empty pointer when the host has no such device; a DiskLun when
  // the device has a partition table.
  std::unique_ptr<Lun> GetLun(const std::string &deviceName, int flags);
  // Path by name; empty pointer when there is none.
  std::unique_ptr<Path> GetPath(const std::string &pathName);
};

}  // namespace Storage

class Host {
 public:
  // The host's storage information; never empty.
  std::unique_ptr<Storage::StorageInfo> GetStorageInfo();
};

class HostFactory {
 public:
  // The local host; never empty.
  static std::unique_ptr<Host> GetHost();
};

namespace Network {

class PortGroup {
 public:
  PortGroup(std::string name, std::string virtualSwitchName);
  const std::string &GetName() const;
  // Name of the virtual switch that the port group belongs to.
  const std::string &GetVirtualSwitchName() const;

 private:
  std::string name_;
  std::string virtualSwitchName_;
};

class NetworkFactory {
 public:
  // Port group by name; empty pointer when there is none.
  static std::unique_ptr<PortGroup> GetPortGroupByName(std::string name);
};

}  // namespace Network

}  // namespace HostCtl

namespace HykCtl {

namespace Util {

// One system-information node, addressed by an instance (components given by
// SetInstance / AddInstancePath, in order) and inputs (AddInput, in order).
// Integer arguments must be typed values (int64_t{1}, uint64_t{page}): a bare
// literal is ambiguous between the two overloads. Throws HostCtlException
// when the node cannot be read or written.
class Sysinfo {
 public:
  explicit Sysinfo(HSI_NodeId node);
  // Replaces the instance with one integer component.
  void SetInstance(int64_t instance);
  void SetInstance(uint64_t instance);
  // Appends a text component to the instance.
  void AddInstancePath(std::string component);
  void AddInput(uint64_t value);
  void AddInput(int64_t value);
  void AddInput(std::string value);
  // Reads the node's record into buf[0..size) (zero-filled first).
  void Get(void *buf, size_t size);
  // Writes the node with the inputs.
  void Set();
  // Writes the node with the inputs; the node's answer (if any) goes into
  // buf[0..size) (a write-read, e.g. the status of one machine page).
  void Set(void *buf, size_t size);

 private:
  using Param = std::variant<std::string, int64_t>;
  void Write(void *buf, size_t size);

  HSI_NodeId node_;
  std::vector<Param> instance_;
  std::vector<Param> inputs_;
};

}  // namespace Util

namespace Storage {

// A mounted file system, known under two identifying names (a volume is
// reachable as "/glfs/volumes/" + either of them).
class FileSystem {
 public:
  // `failing`: the file system cannot name itself, so both getters throw.
  FileSystem(std::string volumeName, std::string volumeUuid, bool failing);
  // The first identifying name (the volume label).
  std::string GetVolumeName() const;
  // The second identifying name (the volume identifier).
  std::string GetVolumeUuid() const;

 private:
  std::string volumeName_;
  std::string volumeUuid_;
  bool failing_;
};

class StorageInfoImpl {
 public:
  // The mounted file systems, in the host's order.
  std::vector<std::unique_ptr<FileSystem>> GetFileSystems();
};

}  // namespace Storage

namespace System {

class SwapInfoImpl {
 public:
  // Reconfigures system swap. Returns when that was done; throws otherwise
  // (GetDetailedMessage says why). The daemon passes (false, false).
  void ReconfigureSysSwap(bool first, bool second);
};

}  // namespace System

namespace Resource {

class VirtualMachine {
 public:
  VirtualMachine(int64_t worldId, std::string name);
  int64_t GetWorldId() const;
  // The machine's display name.
  std::string GetName() const;
  // Asks the kernel to kill the machine; `mode` 0 is the ordinary kill.
  void Kill(int32_t mode);

 private:
  int64_t worldId_;
  std::string name_;
};

class ResourceInfoImpl {
 public:
  // The virtual machine running as world `worldId`; never empty: throws when
  // there is no such machine.
  std::unique_ptr<VirtualMachine> GetVirtualMachineByWorldId(int64_t worldId);
};

}  // namespace Resource

namespace Adv {

// An advanced integer option, e.g. ({"Net"}, "LinkFlappingThreshold").
// Construction never throws; GetValue throws when the option does not exist.
class AdvancedIntegerOptionImpl {
 public:
  AdvancedIntegerOptionImpl(std::vector<std::string> groupPath, std::string name);
  int64_t GetValue() const;

 private:
  std::vector<std::string> groupPath_;
  std::string name_;
};

}  // namespace Adv

}  // namespace HykCtl
