// The simulated root: joins $KELD_ROOT in front of the fixed absolute paths.
// No state; the environment is read at every call.
#include "platform/simRoot.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

std::string SimRoot_Path(const char *absolutePath) {
  std::string path = absolutePath ? absolutePath : "";
  const char *root = getenv("KELD_ROOT");
  if (!root || !*root) return path;
  std::string joined = root;
  while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  if (path.empty() || path.front() != '/') joined += '/';
  return joined + path;
}

void SimRoot_MakeParents(const char *absolutePath) {
  std::string path = SimRoot_Path(absolutePath);
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  std::string dir = path.substr(0, slash);
  // mkdir -p: create every prefix that ends at a '/', then the directory.
  for (std::string::size_type pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      std::string prefix = dir.substr(0, pos);
      if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return;
    }
  }
}
