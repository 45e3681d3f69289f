// The cluster file system driver's volume lookup: given "DEVICE:PARTITION",
// the name of the volume that the partition holds. The request is an ioctl on
// a read-only descriptor of the volume directory "/glfs/volumes/".
// Thread-safe.
#pragma once

#include <cstddef>

enum : unsigned long { GLFS_IOCTL_VOLUME_NAME = 0xBDE };

// Request buffer: bytes [0, 128) the key "%s:%d" (device name, partition
// number), NUL-terminated (callers set byte 127 to 0); on success the volume
// name, NUL-terminated, at [128, 256).
enum : size_t {
  GLFS_VOLUME_KEY_SIZE = 128,
  GLFS_VOLUME_NAME_OFFSET = 128,
  GLFS_VOLUME_REQUEST_SIZE = 256,
};

// Opens the volume directory (under the simulated root) read-only, creating
// it when it does not exist. A descriptor, or -1 with errno set. The caller
// closes it.
int GlfsVolume_OpenDirectory(void);

// The ioctl on `dirFd`, a descriptor of the volume directory. For request
// GLFS_IOCTL_VOLUME_NAME, `arg` is a request buffer of
// GLFS_VOLUME_REQUEST_SIZE bytes. Returns 0, or -1 with errno: ENOENT the
// partition holds no volume; EINVAL a key that is not "DEVICE:NUMBER";
// ENOTTY another request, or a descriptor that is not the volume directory;
// EBADF a bad descriptor; EFAULT a null buffer; EIO a driver failure.
int GlfsVolume_Ioctl(int dirFd, unsigned long request, void *arg);
