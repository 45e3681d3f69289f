// The system-information calls, answered from the host model. Reads fill the
// node's record; writes are recorded in the actions journal (they do not
// change the model). No state of its own: each call takes the current model
// snapshot.
#include "platform/hsi.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <variant>
#include <utility>
#include <vector>

#include "actionsJournal.h"
#include "hostModel.h"

struct HSI_ParamList {
  bool isInstance;
  size_t capacity;
  std::vector<std::variant<std::string, int64_t>> items;
};

namespace {

const char kMyBuildDate[] = __DATE__ " " __TIME__;

// Parameters as one node expects them: 's' a text, 'i' an integer.
bool Shaped(const HSI_ParamList *list, const char *shape) {
  size_t count = strlen(shape);
  if (count == 0) return list == nullptr || list->items.empty();
  if (list == nullptr || list->items.size() != count) return false;
  for (size_t i = 0; i < count; ++i) {
    bool isText = std::holds_alternative<std::string>(list->items[i]);
    if (isText != (shape[i] == 's')) return false;
  }
  return true;
}

const std::string &Text(const HSI_ParamList *list, size_t i) {
  return std::get<std::string>(list->items[i]);
}

int64_t Int(const HSI_ParamList *list, size_t i) { return std::get<int64_t>(list->items[i]); }

void PutU32(void *buf, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) static_cast<unsigned char *>(buf)[offset + i] = (v >> (8 * i)) & 0xff;
}

void PutU64(void *buf, size_t offset, uint64_t v) {
  for (int i = 0; i < 8; ++i) static_cast<unsigned char *>(buf)[offset + i] = (v >> (8 * i)) & 0xff;
}

// Copies `text` into the area [offset, end) of `buf`, truncated so that it is
// always NUL-terminated inside the area (the buffer was zero-filled).
void PutText(void *buf, size_t offset, size_t end, std::string_view text) {
  size_t room = end - offset - 1;
  memcpy(static_cast<char *>(buf) + offset, text.data(), std::min(room, text.size()));
}

uint32_t ReadNode(const HostModel &m, HSI_NodeId node, const HSI_ParamList *params, void *buf,
                  uint32_t size) {
  switch (node) {
    case HSI_NODE_config_intOpts: {
      if (!Shaped(params, "ss") || size < HSI_INTOPT_RECORD_SIZE) return HYK_BAD_PARAM;
      const std::string &group = Text(params, 0), &name = Text(params, 1);
      if (m.Fails("intopt", {group, name})) return HYK_FAILURE;
      auto it = m.options.find({group, name});
      if (it == m.options.end()) return HYK_NOT_FOUND;
      PutU64(buf, 24, static_cast<uint64_t>(it->second));
      return HYK_OK;
    }
    case HSI_NODE_system_systemUuid:
      if (!Shaped(params, "") || size < HSI_SYSTEM_UUID_RECORD_SIZE) return HYK_BAD_PARAM;
      if (m.Fails("uuid")) return HYK_FAILURE;
      if (!m.uuid) return HYK_NOT_FOUND;
      PutText(buf, 16, 54, *m.uuid);
      return HYK_OK;
    case HSI_NODE_vm_vmmGroupInfo: {
      if (!Shaped(params, "i") || size < HSI_VMGROUP_RECORD_SIZE) return HYK_BAD_PARAM;
      char id[24];
      int length = snprintf(id, sizeof id, "%" PRId64, Int(params, 0));
      std::string_view key(id, static_cast<size_t>(length));
      if (!m.failures.empty() && m.Fails("vmgroup", {std::string(key)})) return HYK_FAILURE;
      std::optional<HostModelIndex::Answer> name = m.vmGroupIndex.Find(key);
      if (!name) return HYK_NOT_FOUND;
      PutText(buf, 260, HSI_VMGROUP_RECORD_SIZE, name->text);
      return HYK_OK;
    }
    case HSI_NODE_system_pageRetire_threshold:
      if (!Shaped(params, "") || size < 8) return HYK_BAD_PARAM;
      if (m.Fails("threshold")) return HYK_FAILURE;
      if (!m.pageRetireThreshold) return HYK_NOT_FOUND;
      PutU64(buf, 0, *m.pageRetireThreshold);
      return HYK_OK;
    case HSI_NODE_hardware_cpu_cpuInfo:
      if (!Shaped(params, "") || size < HSI_CPUINFO_RECORD_SIZE) return HYK_BAD_PARAM;
      if (m.Fails("cpuinfo")) return HYK_FAILURE;
      if (!m.cpu) return HYK_NOT_FOUND;
      PutU32(buf, 24, m.cpu->field24);
      PutU32(buf, 28, m.cpu->field28);
      return HYK_OK;
    case HSI_NODE_hardware_cpu_cpuList: {
      if (!Shaped(params, "i") || size < HSI_CPULIST_RECORD_SIZE) return HYK_BAD_PARAM;
      int64_t cpu = Int(params, 0);
      if (cpu < 0) return HYK_NOT_FOUND;
      if (m.Fails("cpulist", {std::to_string(cpu)})) return HYK_FAILURE;
      if (!m.cpu) return HYK_NOT_FOUND;
      PutText(buf, 28, HSI_CPULIST_RECORD_SIZE, m.cpu->vendor);
      return HYK_OK;
    }
    case HSI_NODE_sched_offline_enabled:
      if (!Shaped(params, "") || size < 1) return HYK_BAD_PARAM;
      if (m.Fails("offlineenabled")) return HYK_FAILURE;
      if (!m.cpuOfflineEnabled) return HYK_NOT_FOUND;
      static_cast<unsigned char *>(buf)[0] = *m.cpuOfflineEnabled ? 1 : 0;
      return HYK_OK;
    default:
      return HYK_NOT_SUPPORTED;
  }
}

uint32_t WriteNode(const HostModel &m, HSI_NodeId node, const HSI_ParamList *instance,
                   const HSI_ParamList *values, void *out, uint32_t outSize) {
  switch (node) {
    case HSI_NODE_config_intOpts: {
      if (!Shaped(instance, "ss") || !Shaped(values, "i")) return HYK_BAD_PARAM;
      const std::string &group = Text(instance, 0), &name = Text(instance, 1);
      if (m.Fails("intopt", {group, name})) return HYK_FAILURE;
      ActionsJournal_Append("config.set " + ActionsJournal_Field(group) + " " +
                            ActionsJournal_Field(name) + " " + std::to_string(Int(values, 0)));
      return HYK_OK;
    }
    case HSI_NODE_net_pNics_linkFlapping: {
      if (!Shaped(instance, "s") || !Shaped(values, "i")) return HYK_BAD_PARAM;
      const std::string &nic = Text(instance, 0);
      if (m.Fails("nicdown", {nic})) return HYK_FAILURE;
      ActionsJournal_Append("nic.down " + ActionsJournal_Field(nic));
      return HYK_OK;
    }
    case HSI_NODE_system_pageRetire_MPNStatus: {
      if (!Shaped(instance, "") || !Shaped(values, "i") || out == nullptr || outSize < 4) {
        return HYK_BAD_PARAM;
      }
      uint64_t page = static_cast<uint64_t>(Int(values, 0));
      if (m.Fails("pagestatus", {std::to_string(page)})) return HYK_FAILURE;
      auto it = m.pageStatus.find(page);
      PutU32(out, 0, it == m.pageStatus.end() ? 0 : it->second);
      ActionsJournal_Append("page.status " + std::to_string(page));
      return HYK_OK;
    }
    case HSI_NODE_system_pageRetire_retireMPNs: {
      if (!Shaped(instance, "") || !Shaped(values, "iis")) return HYK_BAD_PARAM;
      uint64_t page = static_cast<uint64_t>(Int(values, 0));
      if (m.Fails("retire", {std::to_string(page)})) return HYK_FAILURE;
      ActionsJournal_Append("page.retire " + std::to_string(page) + " " +
                            std::to_string(Int(values, 1)) + " " +
                            ActionsJournal_Field(Text(values, 2)));
      return HYK_OK;
    }
    case HSI_NODE_sched_pcpus_offline: {
      if (!Shaped(instance, "i") || !Shaped(values, "")) return HYK_BAD_PARAM;
      int64_t cpu = Int(instance, 0);
      if (m.Fails("cpuoffline", {std::to_string(cpu)})) return HYK_FAILURE;
      ActionsJournal_Append("cpu.offline " + std::to_string(cpu));
      return HYK_OK;
    }
    default:
      return HYK_NOT_SUPPORTED;
  }
}

// The item is built in place: a moved temporary variant draws a false
// "may be used uninitialized" from the optimiser at -O3.
template <typename T>
uint32_t Add(HSI_ParamList *list, T &&value) {
  if (list == nullptr) return HYK_BAD_PARAM;
  if (list->items.size() >= list->capacity) return HYK_NO_MEMORY;
  list->items.emplace_back(std::forward<T>(value));
  return HYK_OK;
}

}  // namespace

uint32_t HSI_CheckSig(char *kernelBuild, uint32_t size, const char **myBuildDate) {
  if (kernelBuild == nullptr || size == 0 || myBuildDate == nullptr) return HYK_BAD_PARAM;
  std::shared_ptr<const HostModel> model = HostModel_Current();
  if (!model->kernelBuild) return HYK_OK;
  memset(kernelBuild, 0, size);
  // The buffer was zeroed and its last byte is never written: the text ends.
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
  memcpy(kernelBuild, model->kernelBuild->data(), std::min<size_t>(size - 1, model->kernelBuild->size()));
  *myBuildDate = kMyBuildDate;
  return HYK_FAILURE;
}

HSI_ParamList *HSI_ParamListCreate(int isInstance, int capacity) {
  if (capacity < 0) return nullptr;
  return new (std::nothrow) HSI_ParamList{isInstance != 0, static_cast<size_t>(capacity), {}};
}

uint32_t HSI_ParamListAddString(HSI_ParamList *list, const char *value) {
  if (value == nullptr) return HYK_BAD_PARAM;
  return Add(list, std::string(value));
}

uint32_t HSI_ParamListAddInt(HSI_ParamList *list, int64_t value) { return Add(list, value); }

void HSI_ParamListDestroy(HSI_ParamList *list) { delete list; }

uint32_t HSI_Get(HSI_NodeId node, HSI_ParamList *params, void *buf, uint32_t size) {
  if (buf == nullptr) return HYK_BAD_PARAM;
  memset(buf, 0, size);
  return ReadNode(*HostModel_Current(), node, params, buf, size);
}

uint32_t HSI_Set(HSI_NodeId node, HSI_ParamList *instance, HSI_ParamList *values, void *out,
                 uint32_t outSize) {
  return WriteNode(*HostModel_Current(), node, instance, values, out, outSize);
}

int HYK_ReturnStatusToErrno(uint32_t status) {
  switch (status) {
    case HYK_OK: return 0;
    case HYK_BAD_PARAM: return EINVAL;
    case HYK_NOT_FOUND: return ENOENT;
    case HYK_NO_MEMORY: return ENOMEM;
    case HYK_NOT_SUPPORTED: return EOPNOTSUPP;
    default: return EIO;
  }
}
