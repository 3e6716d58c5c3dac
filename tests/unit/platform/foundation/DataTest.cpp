#include "platform/foundation/Data.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestSupport.h"

using platform::Data;

namespace {

std::string text(const Data& data) {
  return std::string(data.begin(), data.end());
}

// Appending to a copy, or to the Data a copy was taken from, changes nothing in the other, even
// where their shared last piece has room for more. A fill that fails appends nothing. Large
// storage goes back with its last holder.
TEST(Data, AppendingSharesLargePiecesAndCopiesChangeNoOtherCopy) {
  const std::string large(Data::LargeBytes, 'L');
  const std::uint8_t* address;
  {
    Data body("head", 4);
    {
      const Data file(large.data(), large.size());
      address = file.bytes();
      body.append(file);
    }
    body.append("tail", 4);
    ASSERT_EQ(body.pieces().size(), 3u);
    EXPECT_EQ(body.pieces()[1].data(), address) << "the large piece is not copied";
    EXPECT_EQ(testing_support::mappingAt(address), "");
    Data copy = body;
    copy.append("+1", 2);
    body.append("-2", 2);
    EXPECT_EQ(text(copy), "head" + large + "tail+1");
    body.append(body);
    EXPECT_EQ(text(body), "head" + large + "tail-2head" + large + "tail-2");
  }
  EXPECT_EQ(testing_support::mappingAt(address), std::nullopt) << "still mapped";
  Data empty;
  EXPECT_EQ(empty.appendFrom(10, [](std::uint8_t*, size_t) { return ssize_t(-1); }), -1);
  EXPECT_TRUE(empty.pieces().empty());
}

}  // namespace
