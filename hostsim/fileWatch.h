// Change watch on one file of the simulated root, so that a reader can tell
// "nothing happened to this file" without a stat() of its path.
//
// A FileWatch counts the changes that the kernel reports (inotify) for the
// file at a path and, optionally, for the name in its directory. A reader
// notes Changes() before it looks at the file; as long as Changes() still
// returns that number later, nothing that the masks cover has happened since
// (every inotify event is queued by the writer's own system call, before
// that call returns, so a change made before a read of Changes() is counted
// by it). A count can also go up for nothing (an event of an old inode of the
// same name): it only means "look at the file again".
//
// Thread safety: none; each user serialises its calls under its own lock.
// After fork() the child's watch is inactive (the parent and the child would
// otherwise share one event queue) until the child calls Watch again.
#pragma once

#include <cstdint>
#include <string>

class FileWatch {
 public:
  FileWatch() = default;
  ~FileWatch();
  FileWatch(const FileWatch &) = delete;
  FileWatch &operator=(const FileWatch &) = delete;

  // Watches `path` itself with `fileMask` (when the file exists; a symbolic
  // link is followed) and, when `nameMask` is not 0, the directory holding it
  // for events about that name with `nameMask`, and about the directory
  // itself. Watching another path drops the watches of the previous one; the
  // same path keeps them and adds the file that the path names now, so that
  // no event is lost between two calls. False when nothing could be watched
  // (no inotify, no directory): Active() is then false.
  bool Watch(const std::string &path, uint32_t fileMask, uint32_t nameMask);

  // True while Changes() can be trusted for the path last watched.
  bool Active() const;

  // The number of changes seen so far, after reading what is pending without
  // blocking. Only grows while the same path is watched. An overflowed queue
  // or a failed read counts as a change.
  uint64_t Changes();

 private:
  void Close();

  int fd_ = -1;
  bool watching_ = false;  // the last Watch() set at least one watch
  int nameDirWd_ = -1;  // the directory's watch, whose named events are filtered
  std::string path_;
  std::string name_;  // the last component of path_
  uint64_t changes_ = 0;
  uint64_t forkEpoch_ = 0;  // the process's fork count when fd_ was made
};
