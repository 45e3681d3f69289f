#include "watchConfig.h"

#include <fnmatch.h>
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "hostModel.h"
#include "platform/simRoot.h"

namespace {

bool AnyMatch(const std::vector<std::string> &patterns, const std::string &text) {
  for (const std::string &p : patterns) {
    if (fnmatch(p.c_str(), text.c_str(), 0) == 0) return true;
  }
  return false;
}

bool ParseUnsigned(const std::string &text, uint64_t max, uint64_t *value) {
  uint64_t v;
  if (!HostModel_ParseUint64(text, &v) || v > max) return false;
  *value = v;
  return true;
}

}  // namespace

bool WatchConfig::Allows(const std::string &verb, const std::string &object) const {
  auto it = allow.find(verb);
  if (it == allow.end()) return false;
  return it->second.empty() || AnyMatch(it->second, object);
}

bool WatchConfig::IgnoresInterface(const std::string &name) const {
  return AnyMatch(ignoreInterfaces, name);
}

std::string WatchConfig_DefaultPath() { return SimRoot_Path("/etc/keld/kelwatch.conf"); }

bool WatchConfig_Parse(const std::string &text, WatchConfig *config, std::string *error) {
  static const std::set<std::string> kVerbs{"nic.down", "page.retire", "cpu.offline"};
  static const std::set<std::string> kHostRecords{"uuid",       "build",      "option", "advoption",
                                                  "cpu",        "cpuoffline", "pageretire",
                                                  "pagestatus", "vmgroup",    "vm"};
  std::istringstream in(text);
  std::string line;
  bool ignoreSet = false;
  for (int number = 1; std::getline(in, line); ++number) {
    std::vector<std::string> f;
    auto fail = [&](const std::string &why) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    if (!HostModel_SplitFields(line, &f)) return fail("unclosed double quote");
    if (f.empty()) continue;
    const std::string &key = f[0];
    uint64_t v;
    if (key == "allow") {
      if (f.size() < 2 || !kVerbs.count(f[1])) {
        return fail("allow takes nic.down, page.retire or cpu.offline");
      }
      std::vector<std::string> &patterns = config->allow[f[1]];
      patterns.insert(patterns.end(), f.begin() + 2, f.end());
    } else if (key == "ignore-interface") {
      if (!ignoreSet) config->ignoreInterfaces.clear();  // the file replaces the default
      ignoreSet = true;
      config->ignoreInterfaces.insert(config->ignoreInterfaces.end(), f.begin() + 1, f.end());
    } else if (key == "context") {
      if (f.size() != 2 || !ParseUnsigned(f[1], 23, &v)) return fail("context takes 0..23");
      config->context = static_cast<uint32_t>(v);
    } else if (key == "clock-poll") {
      if (f.size() != 2 || !ParseUnsigned(f[1], 3600, &v)) return fail("clock-poll takes 0..3600 seconds");
      config->clockPollSeconds = static_cast<uint32_t>(v);
    } else if (key == "kernel-log" || key == "auth-log" || key == "core-dir" || key == "include") {
      if (f.size() != 2 || f[1].empty()) return fail(key + " takes one value");
      if (key == "kernel-log") config->kernelLog = f[1];
      if (key == "auth-log") config->authLog = f[1];
      if (key == "core-dir") config->coreDir = f[1];
      if (key == "include") config->include = f[1];
    } else if (key == "core-max-bytes") {
      if (f.size() != 2 || !ParseUnsigned(f[1], UINT64_MAX, &v) || v == 0) {
        return fail("core-max-bytes takes a positive number");
      }
      config->coreMaxBytes = v;
    } else if (kHostRecords.count(key)) {
      config->hostModelLines.push_back(line);
    } else {
      return fail("unknown setting '" + key + "'");
    }
  }
  return true;
}

bool WatchConfig_Load(const std::string &path, bool isDefault, WatchConfig *config,
                      std::string *error) {
  std::ifstream in(path);
  if (!in) {
    if (isDefault && errno == ENOENT) return true;
    *error = path + ": " + strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  if (!WatchConfig_Parse(text.str(), config, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

int WatchConfig_ParseOptions(int argc, char **argv, const char *usage, std::string *path, bool *isDefault) {
  static const option kOptions[] = {{"config", required_argument, nullptr, 'c'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {nullptr, 0, nullptr, 0}};
  *path = WatchConfig_DefaultPath();
  *isDefault = true;
  int opt;
  while ((opt = getopt_long(argc, argv, "c:h", kOptions, nullptr)) != -1) {
    if (opt == 'c') {
      *path = optarg;
      *isDefault = false;
    } else if (opt == 'h') {
      fputs(usage, stdout);
      return 0;
    } else {
      fputs(usage, stderr);
      return 2;
    }
  }
  return -1;
}
