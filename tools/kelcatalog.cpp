// kelcatalog: prints every event keld can post, from the event catalog, as
// JSON lines or as the Markdown document kept in docs/events.md.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "eventCatalog.h"

namespace {

const char kUsage[] =
    "Usage: kelcatalog [--format json|markdown]\n"
    "Prints every event keld can post: ID, kind, correlator, message template,\n"
    "argument names and types, and which events clear which problems.\n"
    "  --format json      one JSON object per event and line (the default):\n"
    "                     {\"id\",\"kind\",\"correlator\",\"message\",\"args\":[{\"name\",\"type\"}],\n"
    "                      \"clears\":[...] or \"cleared_by\":[...] where they apply}\n"
    "  --format markdown  the document docs/events.md\n"
    "  --help             this text\n";

int Fail(const std::string &reason) {
  fprintf(stderr, "kelcatalog: %s\n", reason.c_str());
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  std::string format = "json";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--format" || arg.rfind("--format=", 0) == 0) {
      format = arg == "--format" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(9);
      if (format != "json" && format != "markdown") {
        return Fail("--format takes json or markdown, not \"" + format + "\"");
      }
    } else {
      return Fail("unknown argument \"" + arg + "\" (see --help)");
    }
  }
  std::string text = format == "json" ? Catalog_JsonLines() : Catalog_Markdown();
  if (fwrite(text.data(), 1, text.size(), stdout) != text.size() || fflush(stdout) != 0) {
    return Fail(std::string("cannot write to standard output: ") + strerror(errno));
  }
  return 0;
}
