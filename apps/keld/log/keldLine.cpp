#include "log/keldLine.h"

#include <cstdint>
#include <cstring>

namespace {

// A line buffer keeps at most this much storage between lines.
constexpr size_t kKeptCapacity = 16384;

bool NeedsEscape(unsigned char c) { return c < 0x20 || c == 0x7f || c == '\\'; }

// Words of eight bytes, for scanning a text eight bytes at a time.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// The high bit of every byte of `w` that is zero (and possibly of a byte
// after one that is: only whether the word has one counts).
uint64_t ZeroBytes(uint64_t w) { return (w - kOnes) & ~w & kHighs; }

// The first byte in [p, stop) that needs an escape (or is a double quote,
// when `quotes` is set), or `stop`. Plain bytes are skipped eight at a time.
const char *PlainRun(const char *p, const char *stop, bool quotes) {
  while (stop - p >= 8) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
    // Below 0x20 (the high bit of a byte is left alone by the subtraction
    // only when it was set, and masked out by ~w), DEL, the backslash and,
    // when quoting, the double quote.
    uint64_t hit = ((w - kOnes * 0x20) & ~w & kHighs) | ZeroBytes(w ^ (kOnes * 0x7f)) |
                   ZeroBytes(w ^ (kOnes * '\\'));
    if (quotes) hit |= ZeroBytes(w ^ (kOnes * '"'));
    if (hit != 0) break;
    p += 8;
  }
  for (; p < stop; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (NeedsEscape(c) || (quotes && c == '"')) break;
  }
  return p;
}

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

void LineBuilder::Escaped(const char *text) { Append(text, TerminatedEnd(text), false); }

void LineBuilder::Escaped(const char *text, size_t length) {
  Append(text, text + length, false);
}

void LineBuilder::Quoted(const char *text) {
  if (truncated_) return;
  if (line_.size() + 2 > limit_) {
    truncated_ = true;
    return;
  }
  line_ += '"';
  limit_--;  // the closing quote always fits
  Append(text, TerminatedEnd(text), true);
  limit_++;
  line_ += '"';
}

const char *LineBuilder::TerminatedEnd(const char *text) const {
  // A NUL-terminated text is read no further than the line has room for:
  // one byte past the room tells that it does not fit.
  return text + strnlen(text, limit_ - line_.size() + 1);
}

void LineBuilder::Append(const char *text, const char *end, bool quotes) {
  const char *p = text;
  while (!truncated_) {
    // A run of bytes written as they are, no longer than the room.
    size_t room = limit_ - line_.size();
    const char *stop = static_cast<size_t>(end - p) < room ? end : p + room;
    const char *run = p;
    p = PlainRun(p, stop, quotes);
    line_.append(run, static_cast<size_t>(p - run));
    room -= static_cast<size_t>(p - run);
    if (p == end) return;
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
