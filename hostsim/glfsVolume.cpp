// The volume lookup of the stand-in host, answered from the host model's
// `volume DEVICE:PARTITION VOLUME` records. No state of its own.
#include "platform/glfsVolume.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "hostModel.h"
#include "platform/simRoot.h"

namespace {

const char kVolumeDir[] = "/glfs/volumes/";

std::string VolumeDirPath() { return SimRoot_Path(kVolumeDir); }

int Fail(int error) {
  errno = error;
  return -1;
}

// True when `fd` is a descriptor of the volume directory itself.
bool IsVolumeDirectory(int fd, int *error) {
  struct stat byFd, byPath;
  if (fstat(fd, &byFd) != 0) {
    *error = errno;
    return false;
  }
  *error = ENOTTY;
  return S_ISDIR(byFd.st_mode) && stat(VolumeDirPath().c_str(), &byPath) == 0 &&
         byFd.st_dev == byPath.st_dev && byFd.st_ino == byPath.st_ino;
}

}  // namespace

int GlfsVolume_OpenDirectory(void) {
  std::string path = VolumeDirPath();
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 || errno != ENOENT) return fd;
  // Made on first use only: a path state change opens it every time. The
  // path ends in "/", so its "parents" include the directory itself.
  SimRoot_MakeParents(kVolumeDir);
  return open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int GlfsVolume_Ioctl(int dirFd, unsigned long request, void *arg) {
  int error;
  if (!IsVolumeDirectory(dirFd, &error)) return Fail(error);
  if (request != GLFS_IOCTL_VOLUME_NAME) return Fail(ENOTTY);
  if (arg == nullptr) return Fail(EFAULT);

  char *buf = static_cast<char *>(arg);
  const char *end = static_cast<const char *>(memchr(buf, '\0', GLFS_VOLUME_KEY_SIZE));
  if (end == nullptr) return Fail(EINVAL);
  std::string key(buf, static_cast<size_t>(end - buf));
  size_t colon = key.rfind(':');
  int64_t partition;
  if (colon == std::string::npos || colon == 0 ||
      !HostModel_ParseInt64(key.substr(colon + 1), &partition)) {
    return Fail(EINVAL);
  }
  // The partition in canonical decimal, as the model's keys have it.
  key.resize(colon + 1);
  key += std::to_string(partition);

  auto model = HostModel_Current();
  if (!model->failures.empty() && model->Fails("volume", {key})) return Fail(EIO);
  std::optional<HostModelIndex::Answer> volume = model->volumeIndex.Find(key);
  if (!volume) return Fail(ENOENT);

  size_t room = GLFS_VOLUME_REQUEST_SIZE - GLFS_VOLUME_NAME_OFFSET;
  size_t length = std::min(volume->text.size(), room - 1);
  memcpy(buf + GLFS_VOLUME_NAME_OFFSET, volume->text.data(), length);
  buf[GLFS_VOLUME_NAME_OFFSET + length] = '\0';
  return 0;
}
