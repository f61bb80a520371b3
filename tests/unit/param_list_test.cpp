// The parameter-list walks: where they stop, array locking, conversion limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "param_list.h"
#include "test_support.h"

using lumox_test::HostArray;

namespace {

struct Seen {
  std::vector<std::string> pairs;
  int stopAt = -1;
};
int Record(void *context, int index, const char *name, const char *value) {
  Seen *seen = static_cast<Seen *>(context);
  if (index == seen->stopAt) return 77;
  seen->pairs.push_back(std::string(name) + "=" + value);
  return 0;
}

}  // namespace

TEST(ParamWalk, PlainListStopsAtCountNullOrVisitor) {
  std::string a = "a", b = "b", one = "1";
  char *pairs[] = {&a[0], &one[0], &b[0], &one[0], nullptr, &one[0], &a[0], &one[0]};
  Seen seen;
  EXPECT_EQ(WalkPlainParams(pairs, 4, 0, Record, &seen), kParamWalkDone);
  EXPECT_EQ(seen.pairs, (std::vector<std::string>{"a=1", "b=1"}));
  Seen limited;
  EXPECT_EQ(WalkPlainParams(pairs, 5, 4, Record, &limited), kParamWalkTooMany);
  EXPECT_TRUE(limited.pairs.empty());
  Seen stopped;
  stopped.stopAt = 1;
  EXPECT_EQ(WalkPlainParams(pairs, 2, 0, Record, &stopped), 77);
  EXPECT_EQ(stopped.pairs, (std::vector<std::string>{"a=1"}));
}

TEST(ParamWalk, HostArrayIsLockedOnlyDuringTheWalk) {
  HostArray array({{u"a", u"1"}, {u"b", u""}, {u"c", u"3"}});
  Seen seen;
  seen.stopAt = 2;
  EXPECT_EQ(WalkHostParams(array.variable(), 128, 2048, 0, Record, &seen), 77);
  EXPECT_EQ(seen.pairs, (std::vector<std::string>{"a=1", "b="}));
  EXPECT_EQ(array.array()->cLocks, 0u);
  // The lower bound is not consulted.
  array.array()->rgsabound[0].lLbound = 5;
  Seen all;
  EXPECT_EQ(WalkHostParams(array.variable(), 128, 2048, 3, Record, &all), kParamWalkDone);
  EXPECT_EQ(all.pairs.size(), 3u);
  EXPECT_EQ(WalkHostParams(array.variable(), 128, 2048, 2, Record, &all), kParamWalkTooMany);
  EXPECT_EQ(array.array()->cLocks, 0u);
  SAFEARRAY *none = nullptr;
  EXPECT_EQ(WalkHostParams(&none, 128, 2048, 0, Record, &all), kParamWalkNoList);
}

TEST(ParamWalk, ConversionMustLeaveRoomForTheTerminator) {
  HostArray fits({{std::u16string(3, u'n'), u"v"}});
  Seen seen;
  EXPECT_EQ(WalkHostParams(fits.variable(), 4, 4, 0, Record, &seen), kParamWalkDone);
  HostArray over({{std::u16string(4, u'n'), u"v"}});
  EXPECT_EQ(WalkHostParams(over.variable(), 4, 4, 0, Record, &seen), kParamWalkTooLong);
  EXPECT_EQ(over.array()->cLocks, 0u);
}
