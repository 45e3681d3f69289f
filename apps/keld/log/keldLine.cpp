#include "log/keldLine.h"

#include <cstring>

namespace {

// A line buffer keeps at most this much storage between lines.
constexpr size_t kKeptCapacity = 16384;

bool NeedsEscape(unsigned char c) { return c < 0x20 || c == 0x7f || c == '\\'; }

// The escape of one byte that needs one, into `out` (4 bytes); its length.
size_t EscapeOf(unsigned char c, char *out) {
  static const char kHex[] = "0123456789abcdef";
  out[0] = '\\';
  switch (c) {
    case '\n': out[1] = 'n'; return 2;
    case '\r': out[1] = 'r'; return 2;
    case '\t': out[1] = 't'; return 2;
    case '\\': out[1] = '\\'; return 2;
    default:
      out[1] = 'x';
      out[2] = kHex[c >> 4];
      out[3] = kHex[c & 0xf];
      return 4;
  }
}

}  // namespace

bool Line_NeedsQuotes(const char *text) {
  for (const unsigned char *c = reinterpret_cast<const unsigned char *>(text); *c; c++) {
    if (NeedsEscape(*c) || *c == ',' || *c == '"') return true;
  }
  return false;
}

void Line_Trim(std::string &buffer) {
  if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
}

LineBuilder::LineBuilder(std::string &buffer, const char *marker)
    : line_(buffer), marker_(marker), limit_(kLineCap - 1 - strlen(marker)) {
  line_.clear();
}

void LineBuilder::Raw(const char *text, size_t length) {
  if (truncated_) return;
  size_t room = limit_ - line_.size();
  if (length > room) {
    length = room;
    truncated_ = true;
  }
  line_.append(text, length);
}

void LineBuilder::Raw(const char *text) { Raw(text, strlen(text)); }

void LineBuilder::Escaped(const char *text) { Append(text, nullptr, false); }

void LineBuilder::Escaped(const char *text, size_t length) { Append(text, text + length, false); }

void LineBuilder::Quoted(const char *text) {
  if (truncated_) return;
  if (line_.size() + 2 > limit_) {
    truncated_ = true;
    return;
  }
  line_ += '"';
  limit_--;  // the closing quote always fits
  Append(text, nullptr, true);
  limit_++;
  line_ += '"';
}

void LineBuilder::Append(const char *text, const char *end, bool quotes) {
  const char *p = text;
  while (!truncated_) {
    // A run of bytes written as they are, no longer than the room.
    size_t room = limit_ - line_.size();
    const char *run = p;
    while (static_cast<size_t>(p - run) < room && (end ? p < end : *p != '\0')) {
      unsigned char c = static_cast<unsigned char>(*p);
      if (NeedsEscape(c) || (quotes && c == '"')) break;
      p++;
    }
    line_.append(run, static_cast<size_t>(p - run));
    room -= static_cast<size_t>(p - run);
    if (end ? p == end : *p == '\0') return;
    char esc[4];
    size_t n;
    unsigned char c = static_cast<unsigned char>(*p);
    if (quotes && c == '"') {
      esc[0] = esc[1] = '"';
      n = 2;
    } else if (NeedsEscape(c)) {
      n = EscapeOf(c, esc);
    } else {
      truncated_ = true;  // a plain byte that has no room
      return;
    }
    if (n > room) {
      truncated_ = true;
      return;
    }
    line_.append(esc, n);
    p++;
  }
}

void LineBuilder::Finish() {
  if (truncated_) line_ += marker_;
  line_ += '\n';
}
