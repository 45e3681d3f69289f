#include "hostModelWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "actionsJournal.h"
#include "platform/simRoot.h"

namespace {

std::string ReadSmallFile(const char *path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text, '\0');
  return text.size() > 65536 ? text.substr(0, 65536) : text;
}

std::string Trim(const std::string &text) {
  size_t start = text.find_first_not_of(" \t\r\n");
  if (start == std::string::npos) return {};
  size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(start, end - start + 1);
}

// "key<tabs>: value" from the first block of /proc/cpuinfo (CPU 0).
std::string CpuField(const std::string &cpuinfo, const std::string &key) {
  std::istringstream in(cpuinfo);
  std::string line;
  while (std::getline(in, line) && !Trim(line).empty()) {
    size_t colon = line.find(':');
    if (colon != std::string::npos && Trim(line.substr(0, colon)) == key) {
      return Trim(line.substr(colon + 1));
    }
  }
  return {};
}

unsigned SmallCount(const std::string &text) {
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  return static_cast<unsigned>(std::stoul(text));
}

bool IsUuid(const std::string &text) {
  if (text.size() != 36) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !isxdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

}  // namespace

MachineFacts MachineFacts_FromTexts(const std::string &productUuid, const std::string &machineId,
                                    const std::string &cpuinfo) {
  MachineFacts facts;
  std::string uuid = Trim(productUuid);
  std::string id = Trim(machineId);
  if (IsUuid(uuid)) {
    facts.uuid = uuid;
    facts.uuidSource = "/sys/class/dmi/id/product_uuid";
  } else if (id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos) {
    facts.uuid = id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" +
                 id.substr(16, 4) + "-" + id.substr(20);
    facts.uuidSource = "/etc/machine-id";
  }
  std::string vendor = CpuField(cpuinfo, "vendor_id");
  // The host model splits fields at blanks; a vendor text has none.
  if (!vendor.empty() && vendor.find_first_of(" \t\"#") == std::string::npos) facts.cpuVendor = vendor;
  unsigned cores = SmallCount(CpuField(cpuinfo, "cpu cores"));
  unsigned siblings = SmallCount(CpuField(cpuinfo, "siblings"));
  // keld divides siblings by cores to size a core group; without both (as
  // in many virtual machines) every logical CPU is its own group.
  if (cores > 0 && siblings >= cores) {
    facts.cores = cores;
    facts.siblings = siblings;
  }
  return facts;
}

MachineFacts MachineFacts_Read() {
  return MachineFacts_FromTexts(ReadSmallFile("/sys/class/dmi/id/product_uuid"),
                                ReadSmallFile("/etc/machine-id"), ReadSmallFile("/proc/cpuinfo"));
}

std::string WatchModel_Compose(const MachineFacts &facts, const std::set<std::string> &bridges,
                              const WatchConfig &config, const std::string &included) {
  std::ostringstream out;
  out << "# Written by kelwatch from this machine; rewritten when its bridges change.\n"
         "# Put additions in kelwatch's configuration or its include file, not here.\n";
  if (!facts.uuid.empty()) out << "uuid " << facts.uuid << "\n";
  out << "build match\n"
      << "cpu " << facts.cpuVendor << " " << facts.cores << " " << facts.siblings << "\n"
      << "cpuoffline on\n"
         "pageretire threshold 1000\n"
         "option PageRetire ThresholdInterval 10\n"
         "option PageRetire PageErrorCorrThreshold 2\n"
         "option PageRetire PageErrorCorrPeriod 3600\n"
         "option Cpu CPUOfflineThreshold 3\n"
         "advoption Net LinkFlappingThreshold 3\n";
  for (const std::string &bridge : bridges) {
    out << "portgroup " << ActionsJournal_Quoted(bridge) << " " << ActionsJournal_Field(bridge)
        << "\n";
  }
  if (!config.hostModelLines.empty()) out << "# kelwatch configuration\n";
  for (const std::string &line : config.hostModelLines) out << line << "\n";
  if (!config.include.empty()) {
    out << "# " << config.include << "\n" << included;
    if (!included.empty() && included.back() != '\n') out << "\n";
  }
  return out.str();
}

bool WatchModel_Write(const std::string &text, std::string *error) {
  SimRoot_MakeParents("/etc/hostsim.conf");
  std::string path = SimRoot_Path("/etc/hostsim.conf");
  std::string temporary = path + ".kelwatch.tmp";
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = temporary + ": " + strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = temporary + ": " + strerror(errno);
      close(fd);
      unlink(temporary.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0 || close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
    *error = path + ": " + strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}
