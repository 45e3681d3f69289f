// gFileSystemsUnreadable is an atomic flag of its own; nothing else here
// holds state between calls.
#include "correlators/keldToolkit.h"

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "log/keldLog.h"
#include "platform/hostCtl.h"

namespace {

// Set while the list of mounted file systems cannot be read (logged once).
std::atomic<bool> gFileSystemsUnreadable{false};

}  // namespace

uint32_t VProb_ReduceFormat(const char *format, char *out, size_t outSize) {
  size_t n = 0;
  auto put = [&](char c) {
    if (n + 1 >= outSize) return false;
    out[n++] = c;
    return true;
  };
  for (const char *p = format; *p != '\0'; p++) {
    if (*p != '%') continue;
    p++;
    if (*p == '%') continue;
    if (*p == '\0') return KELD_ERR_INVALID;
    if (!put('%')) return KELD_ERR_INVALID;
    if (strchr(" #+-0", *p) != nullptr) p++;
    while (*p >= '0' && *p <= '9') p++;
    if (*p == '.') {
      p++;
      while (*p >= '0' && *p <= '9') p++;
    }
    if (*p == 'h' || *p == 'l') {
      char m = *p;
      if (!put(*p++)) return KELD_ERR_INVALID;
      if (*p == m && !put(*p++)) return KELD_ERR_INVALID;
    } else if (*p == 'L') {
      if (!put(*p++)) return KELD_ERR_INVALID;
    }
    char conv = *p;
    if (conv == '\0') return KELD_ERR_INVALID;
    if (conv == 's') {
      conv = 'p';
    } else if (conv == 'X') {
      conv = 'x';
    } else if (strchr("cdioux", conv) == nullptr) {
      return KELD_ERR_INVALID;
    }
    if (!put(conv)) return KELD_ERR_INVALID;
  }
  if (outSize == 0) return KELD_ERR_INVALID;
  out[n] = '\0';
  return 0;
}

uint32_t GetObservationArgs(Observation obs, const char *format, ...) {
  char reduced[256];
  if (VProb_ReduceFormat(format, reduced, sizeof reduced) != 0) return KELD_ERR_INVALID;
  va_list va;
  va_start(va, format);
  uint32_t status = Kel_GetArgsVA(obs, 0, reduced, va);
  va_end(va);
  return status;
}

const char *DatastoreForPath(const char *path) {
  static const char kPrefix[] = "/glfs/volumes/";
  if (path == nullptr || strncmp(path, kPrefix, sizeof kPrefix - 1) != 0) return "(invalid)";
  const char *start = path + sizeof kPrefix - 1;
  const char *slash = strchr(start, '/');
  thread_local std::string component;
  component.assign(start, slash ? static_cast<size_t>(slash - start) : strlen(start));
  HykCtl::Storage::StorageInfoImpl storage;
  std::vector<std::unique_ptr<HykCtl::Storage::FileSystem>> fileSystems;
  try {
    fileSystems = storage.GetFileSystems();
    gFileSystemsUnreadable.store(false, std::memory_order_relaxed);
  } catch (const HostCtl::Lib::HostCtlException &e) {
    // The event still goes out, naming no datastore. Logged once until the
    // list can be read again, since every swap or VM event would repeat it.
    if (!gFileSystemsUnreadable.exchange(true, std::memory_order_relaxed)) {
      LogMsg("Cannot read the mounted file systems (%s); datastores are reported as (unknown).\n",
             e.GetDetailedMessage().c_str());
    }
    return "(unknown)";
  }
  bool known = false;
  for (const auto &fs : fileSystems) {
    try {
      known = component == fs->GetVolumeName() || component == fs->GetVolumeUuid();
    } catch (const HostCtl::Lib::HostCtlException &) {
      // this file system cannot name itself: skip it
    }
    if (known) break;
  }
  // `component` is thread_local: the text stays until this thread's next call.
  return known ? component.c_str() : "(unknown)";  // NOLINT(clang-analyzer-cplusplus.InnerPointer)
}
