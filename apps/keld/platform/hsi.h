// Kernel system-information interface: nodes addressed by an identifier, an
// instance (parameter list) and inputs. Statuses are 32-bit kernel statuses,
// 0 for success. Thread-safe.
#pragma once

#include <cstdint>

enum HSI_NodeId : uint32_t {
  HSI_NODE_config_intOpts = 1,
  HSI_NODE_system_systemUuid,
  HSI_NODE_vm_vmmGroupInfo,
  HSI_NODE_net_pNics_linkFlapping,
  HSI_NODE_system_pageRetire_threshold,
  HSI_NODE_system_pageRetire_MPNStatus,
  HSI_NODE_system_pageRetire_retireMPNs,
  HSI_NODE_hardware_cpu_cpuInfo,
  HSI_NODE_hardware_cpu_cpuList,
  HSI_NODE_sched_offline_enabled,
  HSI_NODE_sched_pcpus_offline,
};

// Kernel statuses used at the boundary.
enum : uint32_t {
  HYK_OK = 0,
  HYK_BAD_PARAM = 0xbad0007,
  HYK_NOT_FOUND = 0xbad0002,
  HYK_NO_MEMORY = 0xbad0014,
  HYK_FAILURE = 0xbad0001,
  HYK_NOT_SUPPORTED = 0xbad0020,
};

// Record sizes of the nodes that are read.
enum : uint32_t {
  HSI_INTOPT_RECORD_SIZE = 548,       // current value: int64 at byte 24
  HSI_SYSTEM_UUID_RECORD_SIZE = 56,   // bytes 16..53: UUID text, NUL-terminated
  HSI_VMGROUP_RECORD_SIZE = 3268,     // display name at byte 260
  HSI_CPUINFO_RECORD_SIZE = 40,       // u32 fields at bytes 24 and 28
  HSI_CPULIST_RECORD_SIZE = 228,      // vendor text at byte 28
};

struct HSI_ParamList;

// 0 when the running kernel matches this build. Otherwise the kernel's build
// text (up to size-1 bytes) is in `kernelBuild` and *myBuildDate points to
// this program's build date (a static string).
uint32_t HSI_CheckSig(char *kernelBuild, uint32_t size, const char **myBuildDate);
// A new empty parameter list; `isInstance` is 1 for an instance list, 0 for a
// value list; `capacity` is the number of entries it can hold. Null on failure.
HSI_ParamList *HSI_ParamListCreate(int isInstance, int capacity);
// 0, or HYK_NO_MEMORY when the list is full.
uint32_t HSI_ParamListAddString(HSI_ParamList *list, const char *value);
uint32_t HSI_ParamListAddInt(HSI_ParamList *list, int64_t value);
void HSI_ParamListDestroy(HSI_ParamList *list);  // null is fine
// Reads node `node` (instance `params`, may be null) into `buf` of `size`
// bytes (zero-filled first). 0, or a kernel status (HYK_NOT_FOUND when the
// host has no such instance).
uint32_t HSI_Get(HSI_NodeId node, HSI_ParamList *params, void *buf, uint32_t size);
// Writes node `node` with instance list `instance` and value list `values`.
uint32_t HSI_Set(HSI_NodeId node, HSI_ParamList *instance, HSI_ParamList *values,
                 void *out, uint32_t outSize);
// The errno value matching a kernel status; 0 for HYK_OK.
int HYK_ReturnStatusToErrno(uint32_t status);
