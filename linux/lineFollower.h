// Follows a text file that others append to (the authentication log, keld's
// actions journal): each Poll returns the complete lines added since the
// last one. The file may not exist yet; when it is replaced (a new inode) or
// truncated, reading starts again at its beginning. A line longer than
// kFollowMaxLine is dropped whole. Single-threaded.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

constexpr size_t kFollowMaxLine = size_t{16} * 1024;

class LineFollower {
 public:
  // `fromEnd`: skip what the file holds when it is first found (lines written
  // before kelwatch started are history, not news). A file that appears
  // later is read from its beginning.
  LineFollower(std::string path, bool fromEnd) : path_(std::move(path)), fromEnd_(fromEnd) {}
  ~LineFollower();
  LineFollower(const LineFollower &) = delete;
  LineFollower &operator=(const LineFollower &) = delete;

  std::vector<std::string> Poll();
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
  bool fromEnd_;
  int fd_ = -1;
  ino_t inode_ = 0;
  off_t offset_ = 0;
  std::string partial_;
  bool dropping_ = false;  // inside an overlong line
};
