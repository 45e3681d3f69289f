// The distributed storage correlator, from data files: the plain rows with
// both read-failure behaviours, and the network readiness, clustering and
// disk group error throttle sequences (on the fake clock). The state is
// process-wide; the sequences start with the observation that resets it.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "keldCorrelators.h"
#include "rowCases.h"

namespace {

void ExpectRows(const std::string &rows) {
  CorrelatorHarness h(MesaCorrelator_Def());
  for (const std::string &failure : RunRowCases(h, rows)) ADD_FAILURE() << failure;
}

TEST(MesaCorrelator, PlainRows) { ExpectRows("mesa.rows"); }

TEST(MesaCorrelator, NetworkClusteringAndErrorThrottle) { ExpectRows("mesa_state.rows"); }

}  // namespace
