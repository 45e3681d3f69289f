#include "hostActions.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <vector>

#include "hostModel.h"
#include "platform/simRoot.h"
#include "rtnl.h"

namespace {

bool WriteSysfs(const std::string &path, const std::string &text, std::string *error) {
  int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  ssize_t n = write(fd, text.data(), text.size());
  int saved = errno;
  close(fd);
  if (n != static_cast<ssize_t>(text.size())) {
    *error = path + ": " + (n < 0 ? strerror(saved) : "short write");
    return false;
  }
  return true;
}

}  // namespace

HostActionOps HostActions_MachineOps() { return {Rtnl::SetLinkDown, WriteSysfs}; }

HostActionResult HostActions_Apply(const std::string &line, const WatchConfig &config,
                                   const HostActionOps &ops) {
  HostActionResult result;
  std::vector<std::string> f;
  if (!HostModel_SplitFields(line, &f) || f.size() < 3) return result;
  const std::string &verb = f[1];
  const std::string &object = f[2];
  std::string path, text, error;
  uint64_t number;
  if (verb == "nic.down") {
    // checked below
  } else if (verb == "page.retire" && HostModel_ParseUint64(object, &number) &&
             number <= (UINT64_MAX >> 12)) {
    char address[32];
    snprintf(address, sizeof address, "0x%" PRIx64 "\n", number << 12);
    path = SimRoot_Path("/sys/devices/system/memory/soft_offline_page");
    text = address;
  } else if (verb == "cpu.offline" && HostModel_ParseUint64(object, &number) && number < 65536) {
    path = SimRoot_Path(("/sys/devices/system/cpu/cpu" + std::to_string(number) + "/online").c_str());
    text = "0\n";
  } else {
    return result;
  }
  result.handled = true;
  std::string what = "action " + verb + " " + object + ": ";
  if (!config.Allows(verb, object)) {
    result.log = what + "refused (not allowed by the configuration)";
    return result;
  }
  result.done = verb == "nic.down" ? ops.nicDown(object, &error) : ops.writeFile(path, text, &error);
  result.log = what + (result.done ? "done" : "failed: " + error);
  return result;
}
