// The all-paths-down, iSCSI and shared virtual disk correlators: their rows
// (tests/data/{apd,iscsi,vscsi}.rows) and what each logs.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "rowCases.h"

namespace {

size_t Count(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
  return n;
}

struct Table {
  const CorrelatorDef &(*def)(void);
  const char *rows;
  size_t handlers;
  // Lines the rows must leave in the log, with how often.
  std::vector<std::pair<std::string, size_t>> logged;
  // Text that must not be in the log.
  std::vector<std::string> notLogged;
};

TEST(StorageCorrelators, Rows) {
  const std::vector<Table> tables = {
      {ApdCorrelator_Def, "apd.rows", 3, {{"No correlator for kel.storage.apd.no.such.row \n", 1}}, {"Failed"}},
      {IscsiCorrelator_Def, "iscsi.rows", 11, {}, {"kel.iscsi.connection", "kel.iscsi.session", "kel.iscsi.target.async",
                                                   "kel.iscsi.no.such.row", "Failed"}},
      {VscsiCorrelator_Def, "vscsi.rows", 3,
       {{"Failed to get args: 22\n", 2}, {"Failed to get VM-1 name: 22\n", 1}, {"Failed to get VM-2 name: 75\n", 1}},
       {"Failed to get VM-1 name: 75", "kel.vscsi.no.such.row"}},
  };
  for (const Table &t : tables) {
    SCOPED_TRACE(t.rows);
    CorrelatorHarness h(t.def());
    EXPECT_EQ(h.Table().size(), t.handlers);
    for (const std::string &f : RunRowCases(h, t.rows)) ADD_FAILURE() << f;
    std::string syslog = h.Syslog();
    for (const auto &[line, times] : t.logged) EXPECT_EQ(Count(syslog, line), times) << line;
    for (const std::string &text : t.notLogged) EXPECT_EQ(Count(syslog, text), 0u) << text;
  }
}

}  // namespace
