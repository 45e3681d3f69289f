// Every row of the hardware correlator, from tests/data/hardware.rows.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "keldCorrelators.h"
#include "rowCases.h"

TEST(HardwareCorrelator, EveryRowPostsItsEvent) {
  CorrelatorHarness h(HardwareCorrelator_Def());
  for (const std::string &failure : RunRowCases(h, "hardware.rows")) ADD_FAILURE() << failure;
}
