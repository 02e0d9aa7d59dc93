// Reader listing: the multi-string split, and the listing over an emulated
// PC/SC stack with its failures.
#include <gtest/gtest.h>

#include "emulated_pcsc.h"
#include "reader_list.h"

namespace {

struct SplitCase {
  std::string bytes;
  std::vector<std::string> names;
};

class SplitMultiStringTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitMultiStringTest, GivesTheNamesInOrder) {
  const SplitCase& c = GetParam();
  EXPECT_EQ(tokenlink::SplitMultiString(c.bytes.data(), c.bytes.size()), c.names);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitMultiStringTest,
    ::testing::Values(SplitCase{std::string("\0", 1), {}}, SplitCase{std::string("A\0\0", 3), {"A"}},
                      SplitCase{std::string("Reader A\0Reader B\0\0", 19), {"Reader A", "Reader B"}},
                      // Without its final NUL, or cut short: the names that are whole, then the rest.
                      SplitCase{std::string("A\0B", 3), {"A", "B"}},
                      // Bytes after the final NUL are not names.
                      SplitCase{std::string("A\0\0junk\0", 8), {"A"}}));

TEST(ListReaders, FollowsTheServiceAndFailsWithoutReaders) {
  sim::EmulatedPcsc pcsc;
  tokenlink::UsePcsc(&pcsc);
  std::vector<std::string> names{"stale"};
  // pcsc-lite fails the listing outright when no reader exists.
  EXPECT_EQ(tokenlink::ListReaders(&names), -1);
  EXPECT_TRUE(names.empty());
  pcsc.AddReader("Reader A");
  pcsc.AddReader("Reader B");
  EXPECT_EQ(tokenlink::ListReaders(&names), 0);
  EXPECT_EQ(names, (std::vector<std::string>{"Reader A", "Reader B"}));
  pcsc.SetServiceRunning(false);
  EXPECT_EQ(tokenlink::ListReaders(&names), -1);
  EXPECT_EQ(pcsc.OpenContexts(), 0);
  tokenlink::UsePcsc(nullptr);
}

// The failing PC/SC code reaches the caller, so that the window can say why.
TEST(ListReaders, GivesTheFailingPcscCode) {
  sim::EmulatedPcsc pcsc;
  tokenlink::UsePcsc(&pcsc);
  std::vector<std::string> names;
  int32_t code = 1;
  EXPECT_EQ(tokenlink::ListReaders(&names, &code), -1);
  EXPECT_EQ(code, tokenlink::kScardENoReadersAvailable);
  pcsc.AddReader("Reader A");
  EXPECT_EQ(tokenlink::ListReaders(&names, &code), 0);
  EXPECT_EQ(code, tokenlink::kScardSuccess);
  pcsc.SetServiceRunning(false);  // fails already when the context is established
  EXPECT_EQ(tokenlink::ListReaders(&names, &code), -1);
  EXPECT_EQ(code, tokenlink::kScardENoService);
  EXPECT_EQ(pcsc.OpenContexts(), 0);
  tokenlink::UsePcsc(nullptr);
}

TEST(ListReaders, NamesBeyondTheListingBufferFail) {
  sim::EmulatedPcsc pcsc;
  tokenlink::UsePcsc(&pcsc);
  for (int i = 0; i < 20; ++i) pcsc.AddReader("A reader with a rather long name " + std::to_string(i));
  std::vector<std::string> names;
  int32_t code = 0;
  EXPECT_EQ(tokenlink::ListReaders(&names, &code), -1);
  EXPECT_EQ(code, tokenlink::kScardEInsufficientBuffer);
  EXPECT_EQ(pcsc.OpenContexts(), 0);
  tokenlink::UsePcsc(nullptr);
}

}  // namespace
