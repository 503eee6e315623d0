// A number too large for a double parses as infinity in the default parse;
// writing it back must not give a cut-off text.
#include <gtest/gtest.h>

#include "util/util.h"

TEST(JsonOverflow, InfiniteNumberWritesAsTheFailureText) {
  rapidjson::Document doc;
  ASSERT_TRUE(to_json("414e306", doc));  // beyond the largest double
  EXPECT_EQ(toString(doc), "{}");
  ASSERT_TRUE(to_json("{\"a\":[1,2,9e308]}", doc));
  EXPECT_EQ(toString(doc), "{}");  // not the written part, {"a":[1,2,
  ASSERT_TRUE(to_json("{\"a\":[1,2,1e308]}", doc));
  EXPECT_EQ(toString(doc), "{\"a\":[1,2,1e308]}");
}
