#include "eventText.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at s[i..n), or 0 when it is not one.
size_t Utf8Length(const unsigned char *s, size_t i, size_t n) {
  unsigned char c = s[i];
  size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
  if (len == 0 || i + len > n) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((s[i + k] & 0xc0) != 0x80) return 0;
  }
  if (len == 2 && c < 0xc2) return 0;                       // overlong
  if (len == 3 && c == 0xe0 && s[i + 1] < 0xa0) return 0;   // overlong
  if (len == 3 && c == 0xed && s[i + 1] >= 0xa0) return 0;  // surrogate
  if (len == 4 && ((c == 0xf0 && s[i + 1] < 0x90) || c > 0xf4 || (c == 0xf4 && s[i + 1] >= 0x90))) {
    return 0;
  }
  return len;
}

}  // namespace

std::string EventText_Json(const std::string &text) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(text.data());
  std::string out = "\"";
  for (size_t i = 0, n = text.size(); i < n;) {
    unsigned char c = s[i];
    size_t len = Utf8Length(s, i, n);
    if (len == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out.append(text, i, len);
    }
    i += len;
  }
  return out + "\"";
}

std::string EventText_Arg(const VProbArg &arg) {
  char num[40];
  if (auto s = std::get_if<std::string>(&arg)) return *s;
  if (std::holds_alternative<VProbNullString>(arg)) return "(null)";
  if (auto i = std::get_if<int64_t>(&arg)) {
    snprintf(num, sizeof num, "%" PRId64, *i);
  } else if (auto u = std::get_if<uint64_t>(&arg)) {
    snprintf(num, sizeof num, "%" PRIu64, *u);
  } else if (auto d = std::get_if<double>(&arg)) {
    snprintf(num, sizeof num, "%.17g", *d);
  } else {
    snprintf(num, sizeof num, "?type%" PRId32, std::get<VProbUnknownArg>(arg).type);
  }
  return num;
}

std::string EventText_ArgJson(const VProbArg &arg) {
  if (auto s = std::get_if<std::string>(&arg)) return EventText_Json(*s);
  if (std::holds_alternative<VProbNullString>(arg)) return "null";
  if (auto d = std::get_if<double>(&arg); d && !std::isfinite(*d)) return "null";
  if (auto u = std::get_if<VProbUnknownArg>(&arg)) return "{\"type\":" + std::to_string(u->type) + "}";
  return EventText_Arg(arg);
}

const char *EventKind(const std::string &id) {
  if (id.rfind("nox.problem.", 0) == 0) return "problem";
  if (id.rfind("nox.audit.", 0) == 0) return "audit";
  if (id.rfind("nox.clear.", 0) == 0) return "clear";
  return "?";
}
