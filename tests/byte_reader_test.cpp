#include "byte_reader.h"

#include <gtest/gtest.h>

namespace ringlens {
namespace {

TEST(ByteView, ReadsLittleEndianOnlyInsideTheView) {
  const uint8_t bytes[] = {0x78, 0x56, 0x34, 0x12, 0xff, 0xff, 0xff};
  ByteView view(bytes, sizeof bytes);
  EXPECT_EQ(view.u32(0), 0x12345678u);
  EXPECT_EQ(view.i32(3), std::optional<int32_t>(-238));  // 0x12 then three 0xff
  EXPECT_EQ(view.u32(4), std::nullopt);                   // 3 bytes left
  EXPECT_EQ(view.u32(UINT64_MAX - 1), std::nullopt);      // no wrap-around
  EXPECT_TRUE(view.contains(7, 0));
  EXPECT_FALSE(view.contains(8, 0));
}

TEST(ByteView, SliceAndTextStopAtTheEnd) {
  const uint8_t bytes[] = {'a', 'b', 0, 'c', 'd'};
  ByteView view(bytes, sizeof bytes);
  EXPECT_EQ(view.text(), "ab");
  EXPECT_EQ(view.slice(3).text(), "cd");        // no NUL: runs to the end
  EXPECT_EQ(view.slice(1, 100).size(), 4u);     // clipped
  EXPECT_TRUE(view.slice(5).empty());
  EXPECT_TRUE(view.slice(UINT64_MAX).empty());
  EXPECT_TRUE(view.equals(3, "cd"));
  EXPECT_FALSE(view.equals(4, "de"));           // would reach past the end
}

TEST(Cursor, FailureIsSticky) {
  const uint8_t bytes[] = {1, 0, 0, 0, 2, 0};
  Cursor cursor(ByteView(bytes, sizeof bytes));
  EXPECT_EQ(cursor.u32(), 1u);
  EXPECT_TRUE(cursor.ok());
  EXPECT_EQ(cursor.u32(), 0u);  // only two bytes left
  EXPECT_FALSE(cursor.ok());
  EXPECT_EQ(cursor.offset(), 4u);
  EXPECT_EQ(cursor.u32(), 0u);
  EXPECT_FALSE(cursor.ok());
}

}  // namespace
}  // namespace ringlens
