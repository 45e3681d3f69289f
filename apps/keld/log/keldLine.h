// Lines for humans (observation and event lines of the system log, trace
// lines): one escaper and one cap on a line's size, shared by the log and the
// trace. Event records sent to hubd never pass through here: their arguments
// keep their bytes.
//
// Escaping: a byte below 0x20, the byte 0x7f and the backslash are written
// C-style: "\n", "\r", "\t", "\\", any other one as "\x" and two lower-case
// hexadecimal digits. Every other byte is written unchanged, so the text can
// be recovered exactly, and nothing taken from an observation can end a line
// or start a new one.
//
// Cap: a line is at most kLineCap bytes, its newline included. A line that
// would be longer is cut after the last whole character or escape that fits
// and ends with its marker (LINE_LOG_MARKER or LINE_TRACE_MARKER) before the
// newline; a quoted text that is cut keeps its closing quote. Building a line
// never reads more of a text than fits in it.
//
// A LineBuilder belongs to one thread; the functions have no shared state.
#pragma once

#include <cstddef>
#include <string>

constexpr size_t kLineCap = 65536;

// What ends a cut line, before the newline: in the log right after the cut
// text, in the trace as a field of its own.
#define LINE_LOG_MARKER "...[truncated]"
#define LINE_TRACE_MARKER ",...[truncated]"

// True when `text` (NUL-terminated) holds a byte that is escaped, a comma or
// a double quote: a trace field that must be quoted.
bool Line_NeedsQuotes(const char *text);

// Gives back the memory of a per-thread line buffer that an unusually large
// line has grown, so that one such line does not keep it for the thread's
// life.
void Line_Trim(std::string &buffer);

class LineBuilder {
 public:
  // Starts a line in `buffer` (emptied; its storage is reused). `marker` is
  // a static text, one of the markers above.
  LineBuilder(std::string &buffer, const char *marker);

  // The daemon's own text (no byte that needs escaping), cut at the cap.
  void Raw(const char *text, size_t length);
  void Raw(const char *text);
  void Raw(char c) { Raw(&c, 1); }
  // Outside text, escaped; `text` is NUL-terminated and read only as far as
  // the line has room.
  void Escaped(const char *text);
  void Escaped(const char *text, size_t length);
  // A double quote, the escaped text with every double quote doubled, a
  // double quote.
  void Quoted(const char *text);
  // Records that the caller already cut what it adds (the marker follows).
  void MarkTruncated() { truncated_ = true; }

  // Ends the line: the marker when anything was cut, then the newline.
  void Finish();
  bool Truncated() const { return truncated_; }

 private:
  // Appends bytes of `text` up to `end`, escaped, doubling double quotes when `quotes` is set, until the
  // room runs out.
  void Append(const char *text, const char *end, bool quotes);
  // Where a NUL-terminated text ends, or one byte past the room left when it
  // goes on longer.
  const char *TerminatedEnd(const char *text) const;

  std::string &line_;
  const char *marker_;
  size_t limit_;  // room for the text: the cap less the marker and newline
  bool truncated_ = false;
};
