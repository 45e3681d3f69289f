// The escaper and the cap of lines for humans on arbitrary bytes: a line is
// never longer than the cap, carries no control character but its final
// newline, and gives back the input (or, cut, a prefix of it) when unescaped.
// Input: one byte choosing plain or quoted text and a repeat count (to reach
// the cap), then the text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "log/keldLine.h"

namespace {

// Undoes the escaping (and, in a quoted text, the doubled quotes); aborts on
// anything the escaper cannot have written.
std::string Unescape(const std::string &text, bool quoted) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (quoted && c == '"') {
      if (i + 1 >= text.size() || text[i + 1] != '"') abort();
      out += '"';
      i++;
      continue;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i >= text.size()) abort();
    switch (text[i]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '\\': out += '\\'; break;
      case 'x':
        if (i + 2 >= text.size()) abort();
        out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
        i += 2;
        break;
      default: abort();
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  bool quoted = data[0] & 1;
  size_t repeat = 1 + (data[0] >> 4);  // up to 16 times: past the cap
  std::string input;
  for (size_t r = 0; r < repeat; r++) input.append(reinterpret_cast<const char *>(data + 1), size - 1);
  std::string text = input.substr(0, input.find('\0'));  // NUL-terminated texts stop at the first NUL

  std::string line;
  LineBuilder b(line, quoted ? LINE_TRACE_MARKER : LINE_LOG_MARKER);
  b.Raw("p,");
  if (quoted) {
    b.Quoted(text.c_str());
  } else {
    b.Escaped(input.data(), input.size());
  }
  b.Finish();
  if (line.size() > kLineCap || line.back() != '\n') abort();
  for (size_t i = 0; i + 1 < line.size(); i++) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    if (c < 0x20 || c == 0x7f) abort();
  }
  std::string body = line.substr(2, line.size() - 3);
  if (b.Truncated()) {
    std::string marker = quoted ? LINE_TRACE_MARKER : LINE_LOG_MARKER;
    if (body.size() < marker.size() || body.compare(body.size() - marker.size(), marker.size(), marker) != 0) abort();
    body.resize(body.size() - marker.size());
  }
  const std::string &source = quoted ? text : input;
  if (quoted) {
    if (body.size() < 2 || body.front() != '"' || body.back() != '"') abort();
    body = body.substr(1, body.size() - 2);
  }
  std::string back = Unescape(body, quoted);
  if (b.Truncated() ? source.compare(0, back.size(), back) != 0 || back.size() >= source.size() : back != source) {
    abort();
  }
  return 0;
}
