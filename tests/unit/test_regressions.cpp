// Inputs that once crashed a fuzz target or tripped a sanitizer, kept so that
// the fault never comes back. Each test names the unit that was fixed.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "kelRecord.h"
#include "keldTrace.h"
#include "msgFmt.h"

namespace {

// keldTrace: a record count larger than the block made the line builder read
// integer records past the block's end (only string records were checked).
TEST(Regression, TraceLineRefusesMoreRecordsThanTheBlockHolds) {
  std::vector<uint8_t> block = KelRecord_BuildArgBlock({KelArg::I32(1), KelArg::I64(2)});
  std::vector<MsgFmt_Arg> aligned(block.size() / sizeof(MsgFmt_Arg));
  memcpy(aligned.data(), block.data(), block.size());
  const uint8_t *end = reinterpret_cast<const uint8_t *>(aligned.data()) + block.size();
  std::string line;
  struct timespec now = {1800000000, 0};
  EXPECT_FALSE(Trace_BuildLine(line, now, "IN", 1, "kel.x", aligned.data(), 9, end));
  EXPECT_FALSE(Trace_BuildLine(line, now, "IN", 1, "kel.x", aligned.data(), 1,
                               reinterpret_cast<const uint8_t *>(aligned.data()) + 31));
  ASSERT_TRUE(Trace_BuildLine(line, now, "IN", 1, "kel.x", aligned.data(), 2, end));
  EXPECT_EQ(line, "1800000000.000000000,IN,1,kel.x,,1,2\n");
}

}  // namespace
