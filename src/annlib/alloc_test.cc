#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "annlib.h"

namespace {

TEST(AllocZeroed, GivesZeroFilledMemoryEvenForNothing) {
  unsigned char* p = (unsigned char*)alloc_zeroed(1000, 3, "test");
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 3000; i++) ASSERT_EQ(p[i], 0);
  free(p);
  void* none = alloc_zeroed(0, 8, "test");
  EXPECT_NE(none, nullptr);
  free(none);
}

TEST(AllocZeroedDeathTest, FailureIsReportedWithTheNameAndEndsWithStatus1) {
  EXPECT_EXIT(alloc_zeroed((size_t)1 << 62, 16, "apthis->aux"), testing::ExitedWithCode(1),
              "^NESK: can't allocate \\(4611686018427387904\\*16\\) bytes for apthis->aux\n$");
}

TEST(Mnemonics, EveryMnemonicCanBeToldFromTheFieldsAroundIt) {
  for (const ann_code& c : list_ann_codes()) {
    std::string m = c.mnemonic;
    EXPECT_FALSE(m.empty());
    EXPECT_NE(m.find_first_not_of("0123456789"), std::string::npos) << m;
    EXPECT_EQ(m.find_first_of(" \t\r\n\v\f,{"), std::string::npos) << m;
    EXPECT_EQ(strann(c.mnemonic), c.code) << m;
    EXPECT_TRUE(c.code >= -128 && c.code <= 127 && c.code != 0) << m;
  }
  EXPECT_EQ(strann("N"), 1);
  EXPECT_EQ(strann("NOTE"), 22);
  for (const char* none : {"", "n", "Hello", " N", "N ", ",N", "1"}) EXPECT_EQ(strann(none), 0) << none;
}

}  // namespace
