// Windows-only properties of the decoder process.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder_test_util.h"
#include "process.h"

namespace {

// The fake decoder reads, at its first instructions, whether it runs in a job
// (the test process runs in none, so it can only be the decoder's): it can run
// no earlier than its resume, so a 1 there says it was bound before it was
// resumed. KillingTheStarterTakesTheDecoderWithIt shows the job kills it.
TEST(ProcessWin, DecoderIsInTheJobBeforeItRuns) {
  std::string record = scratch_path(".rec");
  std::vector<std::string> v = {QOR_FAKE_DECODER, "-i", fake_url("noconnect=1&exit=3", record), "-vf",
                                "scale=64:32,format=nv12", "-f", "rawvideo", "tcp://127.0.0.1:9"};
  std::vector<const char*> argv;
  for (const std::string& s : v) argv.push_back(s.c_str());
  argv.push_back(nullptr);
  ASSERT_TRUE(start_child(argv.data()));
  EXPECT_EQ(wait_child(), 3u);
  FakeRecord r = read_record(record);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.job, 1);
}

}  // namespace
