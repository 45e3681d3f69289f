// The event catalog against the daemon: the table-driven correlator cases
// render to the messages they expect, every clear resolves a problem whose
// identifying argument it carries, and docs/events.md is current. (Every
// event a correlator test composes is checked against the catalog by the
// correlator harness itself.)
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "correlators/keldCorrelators.h"
#include "eventCatalog.h"
#include "kelScenario.h"
#include "rowCases.h"

namespace {

VProbArg Typed(const CatalogArg &arg, const std::string &text) {
  if (arg.type == "int32" || arg.type == "int64") return static_cast<int64_t>(std::stoll(text, nullptr, 0));
  if (arg.type == "pointer") return static_cast<uint64_t>(std::stoull(text, nullptr, 0));
  if (arg.type == "float") return std::stod(text);
  return text;
}


}  // namespace

TEST(EventCatalog, RendersEveryExpectedMessageOfTheCorrelatorCases) {
  std::set<std::string> seen;
  for (const std::string &file : RowFileNames()) {
    if (file == "rows_selftest.rows") continue;  // the frame's own test events
    std::ifstream in(TestDataPath(file));
    int lineNo = 0;
    for (std::string line; std::getline(in, line);) {
      ++lineNo;
      std::vector<std::string> w;
      std::string error;
      ASSERT_TRUE(KelScenario_SplitWords(line, &w, &error)) << file << ":" << lineNo;
      if (w.size() < 3 || (w[0] != "expect" && w[0] != "expect-deferred")) continue;
      std::string where = file + ":" + std::to_string(lineNo) + " " + w[1];
      const CatalogEvent *e = Catalog_Find(w[1]);
      if (e == nullptr) {
        ADD_FAILURE() << where << ": not in the catalog";
        continue;
      }
      seen.insert(w[1]);
      ASSERT_EQ(w.size() - 3, e->args.size()) << where;
      std::vector<VProbArg> args;
      for (size_t i = 0; i < e->args.size(); ++i) args.push_back(Typed(e->args[i], w[3 + i]));
      std::string message;
      EXPECT_TRUE(Catalog_Render(*e, args, &message)) << where;
      EXPECT_EQ(message, RowCaseMessage(w[2])) << where;
    }
  }
  // Most events have a table case; the rest are composed by stateful code
  // that the correlator tests drive (and the harness checks).
  EXPECT_GT(seen.size(), Catalog_Events().size() * 9 / 10);
}

TEST(EventCatalog, EntriesAreWellFormedAndNameTheDaemonsCorrelators) {
  std::set<std::string> correlators, ids;
  for (const CorrelatorDef *def : Correlators_All()) correlators.insert(def->name);
  for (const CatalogEvent &e : Catalog_Events()) {
    EXPECT_TRUE(ids.insert(e.id).second) << e.id << " twice";
    EXPECT_TRUE(correlators.count(e.correlator)) << e.id << ": no correlator " << e.correlator;
    EXPECT_NE(std::string(e.kind), "?") << e.id;
    std::set<std::string> names;
    for (const CatalogArg &a : e.args) {
      EXPECT_TRUE(names.insert(a.name).second) << e.id << ": argument name " << a.name << " twice";
      EXPECT_EQ(a.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos) << e.id;
    }
  }
  // Arguments that do not fit the template render nothing rather than garbage.
  const CatalogEvent *lost = Catalog_Find("nox.problem.net.connectivity.lost");
  ASSERT_NE(lost, nullptr);
  std::string out = "unchanged";
  EXPECT_FALSE(Catalog_Render(*lost, {std::string("a"), std::string("b")}, &out));
  EXPECT_FALSE(Catalog_Render(*lost, {std::string("a"), int64_t{1}, std::string("c")}, &out));
  EXPECT_EQ(out, "unchanged");
  EXPECT_EQ(Catalog_Message("nox.problem.unknown", {}), "");
}

TEST(EventCatalog, EveryClearResolvesAProblemWhoseIdentifyingArgumentItCarries) {
  std::set<std::string> resolvers;
  for (const CatalogPairing &p : Catalog_Pairings()) {
    const CatalogEvent *resolver = Catalog_Find(p.resolver);
    ASSERT_NE(resolver, nullptr) << p.resolver;
    EXPECT_TRUE(resolvers.insert(p.resolver).second) << p.resolver << " paired twice";
    EXPECT_FALSE(p.problems.empty()) << p.resolver;
    for (const char *id : p.problems) {
      const CatalogEvent *problem = Catalog_Find(id);
      ASSERT_NE(problem, nullptr) << p.resolver << " -> " << id;
      EXPECT_EQ(std::string(problem->kind), "problem") << id;
      EXPECT_STREQ(problem->correlator, resolver->correlator) << p.resolver << " -> " << id;
      for (const std::string &name : Catalog_IdentifyingArgs(*problem)) {
        bool carried = false;
        for (const CatalogArg &a : resolver->args) carried = carried || a.name == name;
        EXPECT_TRUE(carried) << p.resolver << " lacks " << name << ", which identifies " << id;
      }
    }
  }
  for (const CatalogEvent &e : Catalog_Events()) {
    if (std::string(e.kind) == "clear") {
      EXPECT_TRUE(resolvers.count(e.id)) << e.id << " resolves nothing";
    }
  }
}

TEST(EventCatalog, DocsEventsMdIsCurrent) {
  std::ifstream in(std::string(KELD_SOURCE_DIR) + "/docs/events.md");
  std::stringstream doc;
  doc << in.rdbuf();
  EXPECT_TRUE(doc.str() == Catalog_Markdown())
      << "docs/events.md is out of date; regenerate it from the top of the source tree with\n"
         "  build/kelcatalog --format markdown > docs/events.md";
}
