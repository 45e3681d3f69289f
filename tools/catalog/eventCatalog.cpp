#include "eventCatalog.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "eventCatalogData.h"
#include "eventText.h"
#include "msgFmtInternal.h"

namespace {

const char *TypeName(int32_t type) {
  switch (type) {
    case MSGFMT_ARG_INT32: return "int32";
    case MSGFMT_ARG_INT64: return "int64";
    case MSGFMT_ARG_PTR32:
    case MSGFMT_ARG_PTR64: return "pointer";
    case MSGFMT_ARG_FLOAT64: return "float";
    case MSGFMT_ARG_STRING8: return "string";
    default: return "wide string";
  }
}

// The argument types of a template, one per conversion ('*' widths count as
// int32 arguments of their own). The templates are the daemon's constants;
// one the parser refuses ends the list there.
std::vector<std::string> ArgTypes(const char *message) {
  std::vector<std::string> types;
  for (const char *p = message; (p = strchr(p, '%')) != nullptr;) {
    msgfmt::Conversion cv;
    p = msgfmt::ParseConversion(p, &cv);
    if (p == nullptr) break;
    if (cv.letter == '%') continue;
    if (cv.widthStar) types.push_back("int32");
    if (cv.precisionStar) types.push_back("int32");
    types.push_back(TypeName(msgfmt::ValueType(cv)));
  }
  return types;
}

std::vector<std::string> Words(const char *text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

struct Tables {
  std::vector<CatalogEvent> events;
  std::map<std::string, size_t, std::less<>> byId;
  std::vector<CatalogPairing> pairings;
};

const Tables &Build() {
  static const Tables tables = [] {
    Tables t;
    for (size_t i = 0; i < kCatalogRowCount; ++i) {
      const CatalogRow &row = kCatalogRows[i];
      CatalogEvent event{row.id, EventKind(row.id), row.correlator, row.message, {}};
      std::vector<std::string> names = Words(row.argNames), types = ArgTypes(row.message);
      for (size_t k = 0; k < types.size(); ++k) {
        event.args.push_back({k < names.size() ? names[k] : "arg" + std::to_string(k + 1), types[k]});
      }
      t.byId.emplace(row.id, t.events.size());
      t.events.push_back(std::move(event));
    }
    for (size_t i = 0; i < kCatalogPairRowCount; ++i) {
      CatalogPairing pairing{kCatalogPairRows[i].resolver, {}};
      for (const char *problem : kCatalogPairRows[i].problems) {
        if (problem) pairing.problems.push_back(problem);
      }
      t.pairings.push_back(std::move(pairing));
    }
    return t;
  }();
  return tables;
}

std::string ArgList(const CatalogEvent &e) {
  std::string out;
  for (const CatalogArg &a : e.args) out += (out.empty() ? "" : ", ") + a.name + " (" + a.type + ")";
  return out;
}

// A table cell: '|' and line breaks would end the cell or the row.
std::string Cell(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '|') {
      out += "\\|";
    } else if (c == '\n' || c == '\t') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

const std::vector<CatalogEvent> &Catalog_Events(void) { return Build().events; }

const CatalogEvent *Catalog_Find(const std::string &id) {
  const Tables &t = Build();
  auto it = t.byId.find(id);
  return it == t.byId.end() ? nullptr : &t.events[it->second];
}

const std::vector<CatalogPairing> &Catalog_Pairings(void) { return Build().pairings; }

const CatalogPairing *Catalog_PairingOf(const std::string &id) {
  for (const CatalogPairing &p : Build().pairings) {
    if (id == p.resolver) return &p;
  }
  return nullptr;
}

std::vector<const char *> Catalog_ClearedBy(const std::string &problemId) {
  std::vector<const char *> out;
  for (const CatalogPairing &p : Build().pairings) {
    for (const char *problem : p.problems) {
      if (problemId == problem) out.push_back(p.resolver);
    }
  }
  return out;
}

std::vector<std::string> Catalog_IdentifyingArgs(const CatalogEvent &event) {
  for (const CatalogArg &arg : event.args) {
    if (arg.type == "string") return {arg.name};
  }
  return {};
}

bool Catalog_Render(const CatalogEvent &event, const std::vector<VProbArg> &args, std::string *out) {
  if (args.size() != event.args.size()) return false;
  std::vector<MsgFmt_Arg> records(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    MsgFmt_Arg &r = records[i];
    r = MsgFmt_Arg{};
    if (auto s = std::get_if<std::string>(&args[i])) {
      r.type = MSGFMT_ARG_STRING8;
      r.v.string8 = s->c_str();
    } else if (std::holds_alternative<VProbNullString>(args[i])) {
      r.type = MSGFMT_ARG_STRING8;
      r.v.string8 = nullptr;
    } else if (auto n = std::get_if<int64_t>(&args[i])) {
      r.type = MSGFMT_ARG_INT64;
      r.v.signed64 = *n;
    } else if (auto u = std::get_if<uint64_t>(&args[i])) {
      r.type = MSGFMT_ARG_PTR64;
      r.v.unsigned64 = *u;
    } else if (auto d = std::get_if<double>(&args[i])) {
      r.type = MSGFMT_ARG_FLOAT64;
      r.v.float64 = *d;
    } else {
      return false;
    }
  }
  size_t length = 0;
  std::unique_ptr<char, decltype(&free)> text(
      MsgFmt_Asprintf(&length, event.message, records.data(), static_cast<int>(records.size())), free);
  if (!text) return false;
  out->assign(text.get(), length);
  return true;
}

std::string Catalog_Message(const std::string &id, const std::vector<VProbArg> &args) {
  const CatalogEvent *event = Catalog_Find(id);
  std::string message;
  if (event == nullptr || !Catalog_Render(*event, args, &message)) return "";
  return message;
}

nlohmann::ordered_json Catalog_ArgJson(const VProbArg &arg) {
  if (auto s = std::get_if<std::string>(&arg)) return *s;
  if (auto n = std::get_if<int64_t>(&arg)) return *n;
  if (auto u = std::get_if<uint64_t>(&arg)) return *u;
  if (auto d = std::get_if<double>(&arg)) return std::isfinite(*d) ? nlohmann::ordered_json(*d) : nlohmann::ordered_json();
  if (auto k = std::get_if<VProbUnknownArg>(&arg)) return {{"type", k->type}};
  return nullptr;  // a null string
}

nlohmann::ordered_json Catalog_EventJson(const VProbRecordDecoded &record) {
  nlohmann::ordered_json j;
  j["time"] = record.time;
  j["id"] = record.id;
  j["uuid"] = record.uuid;
  j["args"] = nlohmann::ordered_json::array();
  for (const VProbArg &a : record.args) j["args"].push_back(Catalog_ArgJson(a));
  std::string message = Catalog_Message(record.id, record.args);
  if (!message.empty()) j["message"] = message;
  return j;
}

std::string Catalog_Dump(const nlohmann::ordered_json &value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string Catalog_JsonLines(void) {
  std::string out;
  for (const CatalogEvent &e : Catalog_Events()) {
    nlohmann::ordered_json j;
    j["id"] = e.id;
    j["kind"] = e.kind;
    j["correlator"] = e.correlator;
    j["message"] = e.message;
    j["args"] = nlohmann::ordered_json::array();
    for (const CatalogArg &a : e.args) j["args"].push_back({{"name", a.name}, {"type", a.type}});
    if (const CatalogPairing *p = Catalog_PairingOf(e.id)) j["clears"] = p->problems;
    std::vector<const char *> by = Catalog_ClearedBy(e.id);
    if (!by.empty()) j["cleared_by"] = by;
    out += Catalog_Dump(j) + "\n";
  }
  return out;
}

std::string Catalog_Markdown(void) {
  std::string out =
      "# keld's events\n\n"
      "Every event that keld can post to `hubd`: its ID, kind, the correlator that\n"
      "posts it, the message (with printf-style placeholders for the arguments, in\n"
      "order) and the arguments' names and types. A problem that a later event\n"
      "resolves names it under \"cleared by\"; hubd-alertmanager resolves the\n"
      "problem's alert when that event arrives with the same value of the\n"
      "problem's identifying argument (its first text argument).\n\n"
      "Generated by `kelcatalog --format markdown > docs/events.md`; do not edit.\n";
  std::string correlator;
  for (const CatalogEvent &e : Catalog_Events()) {
    if (correlator != e.correlator) {
      correlator = e.correlator;
      out += "\n## Correlator " + correlator + "\n\n";
      out += "| ID | kind | message | arguments | cleared by / clears |\n";
      out += "|---|---|---|---|---|\n";
    }
    std::string pairs;
    for (const char *by : Catalog_ClearedBy(e.id)) pairs += (pairs.empty() ? "cleared by " : ", ") + std::string(by);
    if (const CatalogPairing *p = Catalog_PairingOf(e.id)) {
      std::string clears;
      for (const char *problem : p->problems) clears += (clears.empty() ? "clears " : ", ") + std::string(problem);
      pairs += (pairs.empty() ? "" : "; ") + clears;
    }
    out += "| `" + std::string(e.id) + "` | " + e.kind + " | " + Cell(e.message) + " | " + Cell(ArgList(e)) +
           " | " + pairs + " |\n";
  }
  return out;
}
