// The kernel-control classes of the stand-in host. Lookups answer from the
// current host model snapshot; changes go to the actions journal; the
// system-information wrapper goes through the HSI_* calls. No shared state.
#include "platform/hostCtl.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "actionsJournal.h"
#include "hostModel.h"

namespace {

using HostCtl::Lib::HostCtlException;

[[noreturn]] void Throw(const std::string &message) { throw HostCtlException(message); }

std::shared_ptr<const HostModel> Model() { return HostModel_Current(); }

// Throws when a `fail WHAT KEY` record covers the call. The key and the
// description are built only on a host that has `fail` records: lookups are
// on the correlators' hot path.
template <typename Key, typename Describe>
void CheckFail(const HostModel &m, const char *what, Key key, Describe describe) {
  if (!m.failures.empty() && m.Fails(what, key())) Throw(describe() + ": operation failed on this host");
}

using FailKey = std::vector<std::string>;

struct ParamListDeleter {
  void operator()(HSI_ParamList *list) const { HSI_ParamListDestroy(list); }
};
using ParamListPtr = std::unique_ptr<HSI_ParamList, ParamListDeleter>;

// A parameter list holding `params`; null when there are none.
template <typename Param>
ParamListPtr MakeParamList(int isInstance, const std::vector<Param> &params, HSI_NodeId node) {
  if (params.empty()) return nullptr;
  ParamListPtr list(HSI_ParamListCreate(isInstance, static_cast<int>(params.size())));
  if (!list) Throw("system information node " + std::to_string(node) + ": no memory");
  for (const Param &p : params) {
    uint32_t status = std::holds_alternative<std::string>(p)
                          ? HSI_ParamListAddString(list.get(), std::get<std::string>(p).c_str())
                          : HSI_ParamListAddInt(list.get(), std::get<int64_t>(p));
    if (status != HYK_OK) Throw("system information node " + std::to_string(node) + ": bad parameter");
  }
  return list;
}

void CheckStatus(uint32_t status, HSI_NodeId node, const char *access) {
  if (status == HYK_OK) return;
  char text[128];
  snprintf(text, sizeof text, "system information node %u: %s failed with status %#" PRIx32,
           static_cast<unsigned>(node), access, status);
  Throw(text);
}

uint32_t CheckedSize(size_t size, HSI_NodeId node) {
  if (size > std::numeric_limits<uint32_t>::max()) {
    Throw("system information node " + std::to_string(node) + ": buffer too large");
  }
  return static_cast<uint32_t>(size);
}

}  // namespace

namespace HostCtl {

namespace Lib {

HostCtlException::HostCtlException(std::string detailedMessage) : message_(std::move(detailedMessage)) {}
const char *HostCtlException::what() const noexcept { return message_.c_str(); }
const std::string &HostCtlException::GetDetailedMessage() const noexcept { return message_; }

}  // namespace Lib

namespace Storage {

Lun::Lun(std::string name, uint32_t pathFigure) : name_(std::move(name)), pathFigure_(pathFigure) {}
Lun::~Lun() = default;
const std::string &Lun::GetName() const { return name_; }
uint32_t Lun::GetPathFigure() const { return pathFigure_; }

DiskLunPartition::DiskLunPartition(uint32_t number) : number_(number) {}
uint32_t DiskLunPartition::GetPartitionNumber() const { return number_; }

DiskLun::DiskLun(std::string name, uint32_t pathFigure, const std::vector<uint32_t> &partitionNumbers)
    : Lun(std::move(name), pathFigure) {
  for (uint32_t number : partitionNumbers) {
    partitions_.push_back(std::make_unique<DiskLunPartition>(number));
  }
}
const std::vector<std::unique_ptr<DiskLunPartition>> &DiskLun::GetPartitions() const {
  return partitions_;
}

Path::Path(std::string name, std::string deviceName)
    : name_(std::move(name)), deviceName_(std::move(deviceName)) {}
const std::string &Path::GetName() const { return name_; }
const std::string &Path::GetDeviceName() const { return deviceName_; }

std::unique_ptr<Lun> StorageInfo::GetLun(const std::string &deviceName, int) {
  auto m = Model();
  CheckFail(*m, "lun", [&] { return FailKey{deviceName}; }, [&] { return "LUN " + deviceName; });
  std::optional<HostModelIndex::Answer> lun = m->lunIndex.Find(deviceName);
  if (!lun) return nullptr;
  if (lun->text.empty()) return std::make_unique<Lun>(deviceName, lun->number);
  std::vector<uint32_t> partitions(lun->text.size() / sizeof(uint32_t));
  memcpy(partitions.data(), lun->text.data(), partitions.size() * sizeof(uint32_t));
  return std::make_unique<DiskLun>(deviceName, lun->number, partitions);
}

std::unique_ptr<Path> StorageInfo::GetPath(const std::string &pathName) {
  auto m = Model();
  CheckFail(*m, "path", [&] { return FailKey{pathName}; }, [&] { return "path " + pathName; });
  std::optional<HostModelIndex::Answer> device = m->pathIndex.Find(pathName);
  if (!device) return nullptr;
  return std::make_unique<Path>(pathName, std::string(device->text));
}

}  // namespace Storage

std::unique_ptr<Storage::StorageInfo> Host::GetStorageInfo() {
  return std::make_unique<Storage::StorageInfo>();
}

std::unique_ptr<Host> HostFactory::GetHost() { return std::make_unique<Host>(); }

namespace Network {

PortGroup::PortGroup(std::string name, std::string virtualSwitchName)
    : name_(std::move(name)), virtualSwitchName_(std::move(virtualSwitchName)) {}
const std::string &PortGroup::GetName() const { return name_; }
const std::string &PortGroup::GetVirtualSwitchName() const { return virtualSwitchName_; }

std::unique_ptr<PortGroup> NetworkFactory::GetPortGroupByName(std::string name) {
  auto m = Model();
  CheckFail(*m, "portgroup", [&] { return FailKey{name}; }, [&] { return "port group " + name; });
  std::optional<HostModelIndex::Answer> vswitch = m->portGroupIndex.Find(name);
  if (!vswitch) return nullptr;
  return std::make_unique<PortGroup>(std::move(name), std::string(vswitch->text));
}

}  // namespace Network

}  // namespace HostCtl

namespace HykCtl {

namespace Util {

Sysinfo::Sysinfo(HSI_NodeId node) : node_(node) {}

void Sysinfo::SetInstance(int64_t instance) { instance_.assign(1, instance); }
void Sysinfo::SetInstance(uint64_t instance) { SetInstance(static_cast<int64_t>(instance)); }
void Sysinfo::AddInstancePath(std::string component) { instance_.emplace_back(std::move(component)); }
void Sysinfo::AddInput(uint64_t value) { inputs_.emplace_back(static_cast<int64_t>(value)); }
void Sysinfo::AddInput(int64_t value) { inputs_.emplace_back(value); }
void Sysinfo::AddInput(std::string value) { inputs_.emplace_back(std::move(value)); }

void Sysinfo::Get(void *buf, size_t size) {
  uint32_t size32 = CheckedSize(size, node_);
  ParamListPtr instance = MakeParamList(1, instance_, node_);
  CheckStatus(HSI_Get(node_, instance.get(), buf, size32), node_, "read");
}

void Sysinfo::Set() { Write(nullptr, 0); }
void Sysinfo::Set(void *buf, size_t size) { Write(buf, size); }

void Sysinfo::Write(void *buf, size_t size) {
  uint32_t size32 = CheckedSize(size, node_);
  ParamListPtr instance = MakeParamList(1, instance_, node_);
  ParamListPtr values = MakeParamList(0, inputs_, node_);
  CheckStatus(HSI_Set(node_, instance.get(), values.get(), buf, size32), node_, "write");
}

}  // namespace Util

namespace Storage {

FileSystem::FileSystem(std::string volumeName, std::string volumeUuid, bool failing)
    : volumeName_(std::move(volumeName)), volumeUuid_(std::move(volumeUuid)), failing_(failing) {}

std::string FileSystem::GetVolumeName() const {
  if (failing_) Throw("file system " + volumeName_ + ": name unavailable");
  return volumeName_;
}

std::string FileSystem::GetVolumeUuid() const {
  if (failing_) Throw("file system " + volumeName_ + ": identifier unavailable");
  return volumeUuid_;
}

std::vector<std::unique_ptr<FileSystem>> StorageInfoImpl::GetFileSystems() {
  auto m = Model();
  CheckFail(*m, "filesystems", [] { return FailKey{}; }, [] { return std::string("mounted file systems"); });
  std::vector<std::unique_ptr<FileSystem>> list;
  for (const HostModelFileSystem &fs : m->fileSystems) {
    list.push_back(std::make_unique<FileSystem>(fs.name1, fs.name2, m->Fails("filesystem", {fs.name1})));
  }
  return list;
}

}  // namespace Storage

namespace System {

void SwapInfoImpl::ReconfigureSysSwap(bool, bool) {
  auto m = Model();
  if (m->swapFailure) Throw(*m->swapFailure);
  CheckFail(*m, "swap", [] { return FailKey{}; }, [] { return std::string("system swap reconfiguration"); });
  ActionsJournal_Append("swap.reconfigure");
}

}  // namespace System

namespace Resource {

VirtualMachine::VirtualMachine(int64_t worldId, std::string name)
    : worldId_(worldId), name_(std::move(name)) {}
int64_t VirtualMachine::GetWorldId() const { return worldId_; }
std::string VirtualMachine::GetName() const { return name_; }

void VirtualMachine::Kill(int32_t mode) {
  std::string world = std::to_string(worldId_);
  CheckFail(*Model(), "vmkill", [&] { return FailKey{world}; },
            [&] { return "kill of virtual machine " + world; });
  ActionsJournal_Append("vm.kill " + world + " " + std::to_string(mode));
}

std::unique_ptr<VirtualMachine> ResourceInfoImpl::GetVirtualMachineByWorldId(int64_t worldId) {
  auto m = Model();
  std::string world = std::to_string(worldId);
  CheckFail(*m, "vm", [&] { return FailKey{world}; }, [&] { return "virtual machine " + world; });
  auto it = m->vms.find(worldId);
  if (it == m->vms.end()) Throw("no virtual machine with world ID " + world);
  return std::make_unique<VirtualMachine>(worldId, it->second);
}

}  // namespace Resource

namespace Adv {

AdvancedIntegerOptionImpl::AdvancedIntegerOptionImpl(std::vector<std::string> groupPath, std::string name)
    : groupPath_(std::move(groupPath)), name_(std::move(name)) {}

int64_t AdvancedIntegerOptionImpl::GetValue() const {
  std::string group;
  for (const std::string &component : groupPath_) group += (group.empty() ? "" : "/") + component;
  auto m = Model();
  CheckFail(*m, "advoption", [&] { return FailKey{group, name_}; },
            [&] { return "advanced option /" + group + "/" + name_; });
  auto it = m->advOptions.find({group, name_});
  if (it == m->advOptions.end()) Throw("no advanced option /" + group + "/" + name_);
  return it->second;
}

}  // namespace Adv

}  // namespace HykCtl
