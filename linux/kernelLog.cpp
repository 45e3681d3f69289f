#include "kernelLog.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Strict unsigned number of `base` at text[*pos], advancing *pos past it
// (an optional "0x" is accepted in base 16). False on no digits or overflow.
bool ReadNumber(const std::string &text, size_t *pos, int base, uint64_t *value) {
  size_t p = *pos;
  if (base == 16 && text.compare(p, 2, "0x") == 0) p += 2;
  uint64_t v = 0;
  size_t start = p;
  for (; p < text.size(); ++p) {
    char c = text[p];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else break;
    if (v > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
    v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  if (p == start) return false;
  *pos = p;
  *value = v;
  return true;
}

// The number that follows `key` in `text`; false when the key is absent or
// not followed by a number.
bool NumberAfter(const std::string &text, const char *key, int base, uint64_t *value) {
  size_t pos = text.find(key);
  if (pos == std::string::npos) return false;
  pos += strlen(key);
  return ReadNumber(text, &pos, base, value);
}

// "CPU N: Machine Check[ Exception]: MCG Bank B: STATUS".
bool ParseOpening(const std::string &body, MachineCheck *mc) {
  size_t pos = 0;
  if (body.compare(0, 4, "CPU ") != 0) return false;
  pos = 4;
  uint64_t cpu, mcg, bank, status;
  if (!ReadNumber(body, &pos, 10, &cpu)) return false;
  size_t mark = body.find(": Machine Check", pos);
  if (mark == std::string::npos) return false;
  size_t colon = body.find(": ", mark + 2);
  if (colon == std::string::npos) return false;
  pos = colon + 2;
  if (!ReadNumber(body, &pos, 16, &mcg)) return false;
  if (body.compare(pos, 6, " Bank ") != 0) return false;
  pos += 6;
  if (!ReadNumber(body, &pos, 10, &bank)) return false;
  if (body.compare(pos, 2, ": ") != 0) return false;
  pos += 2;
  if (!ReadNumber(body, &pos, 16, &status)) return false;
  *mc = MachineCheck{};
  mc->cpu = cpu;
  mc->mcg = mcg;
  mc->bank = bank;
  mc->status = status;
  return true;
}

// A whole word `key` followed by a blank and a number, anywhere in `body`.
bool WordValue(const std::string &body, const std::string &key, uint64_t *value) {
  for (size_t pos = body.find(key); pos != std::string::npos; pos = body.find(key, pos + 1)) {
    if (pos > 0 && body[pos - 1] != ' ') continue;
    size_t p = pos + key.size();
    if (p >= body.size() || body[p] != ' ') continue;
    ++p;
    if (ReadNumber(body, &p, 16, value)) return true;
  }
  return false;
}

void ParseEdac(const std::string &text, std::vector<MachineCheck> *out) {
  // "EDAC MC0: ..." or "EDAC <driver> MC0: ...".
  size_t mcPos = text.find("MC");
  if (mcPos == std::string::npos || mcPos > 40) return;
  size_t pos = mcPos + 2;
  uint64_t controller;
  if (!ReadNumber(text, &pos, 10, &controller) || text.compare(pos, 2, ": ") != 0) return;
  pos += 2;
  uint64_t count = 1;
  size_t numberEnd = pos;
  if (ReadNumber(text, &numberEnd, 10, &count) && text.compare(numberEnd, 1, " ") == 0) {
    pos = numberEnd + 1;
  } else {
    count = 1;
  }
  // Only corrected errors; an uncorrected one is the kernel's own memory
  // failure handling, not a page for keld to count.
  if (text.compare(pos, 3, "CE ") != 0) return;
  uint64_t page, offset = 0;
  if (!NumberAfter(text, "page:", 16, &page) && !NumberAfter(text, "CE page ", 16, &page)) return;
  if (!NumberAfter(text, "offset:", 16, &offset)) NumberAfter(text, "offset ", 16, &offset);
  if (page > (UINT64_MAX >> 12) || offset >= 4096) return;
  MachineCheck mc;
  mc.bank = controller;
  mc.status = kEdacCorrectedStatus;
  mc.addr = (page << 12) | offset;
  if (count == 0) return;
  uint64_t n = count < kEdacMaxPerLine ? count : kEdacMaxPerLine;
  for (uint64_t i = 0; i < n; ++i) out->push_back(mc);
}

}  // namespace

std::optional<KmsgRecord> Kmsg_ParseRecord(const std::string &record) {
  size_t semi = record.find(';');
  if (semi == std::string::npos) return std::nullopt;
  KmsgRecord r;
  size_t pos = 0;
  uint64_t priority;
  if (!ReadNumber(record, &pos, 10, &priority) || priority > 0xffffffffu) return std::nullopt;
  if (pos >= semi || record[pos] != ',') return std::nullopt;
  ++pos;
  if (!ReadNumber(record, &pos, 10, &r.sequence) || pos >= semi || record[pos] != ',') {
    return std::nullopt;
  }
  ++pos;
  if (!ReadNumber(record, &pos, 10, &r.timeUs) || pos > semi) return std::nullopt;
  r.priority = static_cast<uint32_t>(priority);
  size_t end = record.find('\n', semi + 1);
  r.text = record.substr(semi + 1, end == std::string::npos ? std::string::npos : end - semi - 1);
  return r;
}

void MachineCheckReader::Feed(const std::string &text, std::vector<MachineCheck> *out) {
  if (text.compare(0, 5, "EDAC ") == 0) {
    ParseEdac(text, out);
    return;
  }
  static const char kTag[] = "[Hardware Error]: ";
  size_t tag = text.find(kTag);
  // The tag sits at the start, or after a short driver prefix ("mce: ").
  if (tag == std::string::npos || tag > 16) return;
  std::string body = text.substr(tag + sizeof kTag - 1);
  MachineCheck opened;
  if (ParseOpening(body, &opened)) {
    Flush(out);
    open_ = opened;
    return;
  }
  if (!open_) return;
  uint64_t value;
  if (WordValue(body, "ADDR", &value)) open_->addr = value;
  if (WordValue(body, "MISC", &value)) open_->misc = value;
  if (body.compare(0, 10, "PROCESSOR ") == 0) Flush(out);
}

void MachineCheckReader::Flush(std::vector<MachineCheck> *out) {
  if (open_) out->push_back(*open_);
  open_.reset();
}
