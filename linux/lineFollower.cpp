#include "lineFollower.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

LineFollower::~LineFollower() {
  if (fd_ >= 0) close(fd_);
}

std::vector<std::string> LineFollower::Poll() {
  std::vector<std::string> lines;
  struct stat named;
  bool exists = stat(path_.c_str(), &named) == 0;
  if (fd_ >= 0 && exists && named.st_ino != inode_) {
    close(fd_);  // replaced: the new file is read from its start
    fd_ = -1;
    fromEnd_ = false;
  }
  if (fd_ < 0) {
    if (!exists) {
      fromEnd_ = false;
      return lines;
    }
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return lines;
    struct stat opened;
    fstat(fd_, &opened);
    inode_ = opened.st_ino;
    offset_ = fromEnd_ ? opened.st_size : 0;
    fromEnd_ = false;
    partial_.clear();
    dropping_ = false;
  }
  struct stat now;
  if (fstat(fd_, &now) == 0 && now.st_size < offset_) {
    offset_ = 0;  // truncated
    partial_.clear();
    dropping_ = false;
  }
  char buffer[8192];
  for (;;) {
    ssize_t n = pread(fd_, buffer, sizeof buffer, offset_);
    if (n <= 0) break;
    offset_ += n;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        if (!dropping_) lines.push_back(partial_);
        partial_.clear();
        dropping_ = false;
      } else if (!dropping_) {
        partial_.push_back(buffer[i]);
        if (partial_.size() > kFollowMaxLine) {
          partial_.clear();
          dropping_ = true;
        }
      }
    }
  }
  return lines;
}
