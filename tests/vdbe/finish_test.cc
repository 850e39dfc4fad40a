#include "vdbe/finish.h"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error.h"
#include "support/values.h"

namespace vbk::vdbe {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

using namespace vbk::testing;  // I, R, T, B, N

constexpr std::optional<int64_t> kNone = std::nullopt;

FinishSpec spec(std::vector<bool> order_desc, uint32_t width, bool distinct = false,
                std::optional<int64_t> offset = kNone, std::optional<int64_t> limit = kNone) {
  FinishSpec s;
  s.order_desc = std::move(order_desc);
  s.width = width;
  s.distinct = distinct;
  s.offset = offset;
  s.limit = limit;
  return s;
}

struct FinishCase {
  const char* name;
  FinishSpec spec;
  std::vector<Row> rows;
  std::vector<Row> want;
  uint64_t found;
};

TEST(FinishRows, SortCutDistinctOffsetLimit) {
  std::vector<Row> ten;
  for (int64_t i = 1; i <= 10; ++i) ten.push_back({I(i)});
  std::vector<Row> ten_with_repeats;
  for (int64_t i : {1, 2, 1, 3, 4, 2, 5, 6, 1, 3}) ten_with_repeats.push_back({I(i)});
  const std::vector<Row> r1to5 = {{I(1)}, {I(2)}, {I(3)}, {I(4)}, {I(5)}};

  const FinishCase cases[] = {
      {"desc then asc, ties keep scan order",
       spec({true, false}, 1),
       {{T("p"), I(1), I(2)}, {T("q"), I(2), I(9)}, {T("r"), I(1), I(1)}, {T("s"), I(2), I(9)},
        {T("t"), I(1), I(2)}},
       {{T("q")}, {T("s")}, {T("r")}, {T("p")}, {T("t")}},
       5},
      {"mixed kinds ascending",
       spec({false}, 1),
       {{I(0), B({0})}, {I(1), T("b")}, {I(2), R(1.5)}, {I(3), N()}, {I(4), I(2)}, {I(5), T("a")},
        {I(6), I(1)}},
       {{I(3)}, {I(6)}, {I(2)}, {I(4)}, {I(5)}, {I(1)}, {I(0)}},
       7},
      {"mixed kinds descending puts NULL last",
       spec({true}, 1),
       {{I(0), B({0})}, {I(1), T("b")}, {I(2), R(1.5)}, {I(3), N()}, {I(4), I(2)}},
       {{I(0)}, {I(1)}, {I(4)}, {I(2)}, {I(3)}},
       5},
      {"Int and Real compare by value, equal ones keep order",
       spec({false}, 1),
       {{I(0), R(2.0)}, {I(1), I(1)}, {I(2), I(2)}, {I(3), R(1.0)}},
       {{I(1)}, {I(3)}, {I(0)}, {I(2)}},
       4},
      {"unsorted rows are only cut",
       spec({}, 1),
       {{I(2), I(9)}, {I(1)}, {I(3), I(0), I(0)}},
       {{I(2)}, {I(1)}, {I(3)}},
       3},
      {"distinct compares records: kinds differ, NULLs match",
       spec({}, 1, true),
       {{I(1)}, {R(1.0)}, {T("1")}, {N()}, {N()}, {I(1)}, {B({0x31})}},
       {{I(1)}, {R(1.0)}, {T("1")}, {N()}, {B({0x31})}},
       5},
      {"distinct after sort keeps the first in key order",
       spec({false}, 1, true),
       {{T("x"), I(3)}, {T("y"), I(1)}, {T("x"), I(2)}},
       {{T("y")}, {T("x")}},
       2},
      {"found rows counts before LIMIT", spec({}, 1, false, kNone, 2), ten, {{I(1)}, {I(2)}}, 10},
      {"found rows counts after DISTINCT",
       spec({}, 1, true, kNone, 2),
       ten_with_repeats,
       {{I(1)}, {I(2)}},
       6},
      {"LIMIT 0", spec({}, 1, false, kNone, 0), r1to5, {}, 5},
      {"negative LIMIT keeps none", spec({}, 1, false, kNone, -1), r1to5, {}, 5},
      {"OFFSET past the end", spec({}, 1, false, 5), {{I(1)}, {I(2)}, {I(3)}}, {}, 3},
      {"negative OFFSET skips none", spec({}, 1, false, -3), r1to5, r1to5, 5},
      {"LIMIT 2 OFFSET 1", spec({}, 1, false, 1, 2), r1to5, {{I(2)}, {I(3)}}, 5},
      {"LIMIT beyond the rows", spec({}, 1, false, 4, INT64_MAX), r1to5, {{I(5)}}, 5},
      {"huge OFFSET", spec({}, 1, false, INT64_MAX, 1), r1to5, {}, 5},
      {"no rows", spec({true}, 2, true, kNone, 3), {}, {}, 0},
  };
  for (const FinishCase& c : cases) {
    std::vector<Row> rows = c.rows;
    const uint64_t found = finish_rows(rows, c.spec);
    EXPECT_EQ(show_rows(rows), show_rows(c.want)) << c.name;
    EXPECT_EQ(found, c.found) << c.name;
  }
}

// Rows travel through several merge passes and equal keys keep their order.
TEST(FinishRows, SortIsStableOverManyRows) {
  std::vector<Row> rows;
  for (int64_t i = 0; i < 37; ++i) rows.push_back({I(i), I(i % 3 == 1 ? 5 : i % 3 == 2 ? -5 : 0)});
  std::vector<Row> want;
  for (int64_t rem : {2, 0, 1}) {
    for (int64_t i = 0; i < 37; ++i) {
      if (i % 3 == rem) want.push_back({I(i)});
    }
  }
  finish_rows(rows, spec({false}, 1));
  EXPECT_EQ(show_rows(rows), show_rows(want));
}

// NaN is equivalent to every number, so there is no right order among the
// numbers; the sort still ends with every row once, NULLs before numbers
// before texts before blobs.
TEST(FinishRows, NaNKeysKeepEveryRowAndTheRankOrder) {
  const std::vector<std::vector<Value>> inputs = {
      {R(kNaN), I(3), I(1), R(kNaN), I(2)},
      {T("b"), R(kNaN), N(), I(2), B({1}), R(kNaN), T("a"), I(-1), N(), R(0.5), R(kNaN)},
      {I(3), R(kNaN), I(2), I(1), R(kNaN), I(0), T(""), R(-kNaN)},
  };
  for (bool desc : {false, true}) {
    for (const auto& keys : inputs) {
      std::vector<Row> rows;
      for (size_t i = 0; i < keys.size(); ++i) rows.push_back({I(static_cast<int64_t>(i)), keys[i]});
      finish_rows(rows, spec({desc}, 1));
      ASSERT_EQ(rows.size(), keys.size());
      std::vector<bool> present(keys.size(), false);
      int last_rank = desc ? 99 : -1;
      for (const Row& r : rows) {
        ASSERT_EQ(r.size(), 1u);
        const size_t at = static_cast<size_t>(r[0].as_int());
        EXPECT_FALSE(present[at]);
        present[at] = true;
        int rank = static_cast<int>(keys[at].kind());
        if (rank == 2) rank = 1;  // Int and Real share one rank
        EXPECT_TRUE(desc ? rank <= last_rank : rank >= last_rank) << show_rows(rows);
        last_rank = rank;
      }
    }
  }
}

TEST(FinishRows, RowWithoutItsKeysIsAnInternalFault) {
  std::vector<Row> rows = {{I(1), I(2)}, {I(3)}};
  EXPECT_THROW(finish_rows(rows, spec({false}, 1)), InternalFault);
  std::vector<Row> one = {{I(1)}};
  EXPECT_THROW(finish_rows(one, spec({false}, 1)), InternalFault);
}

}  // namespace
}  // namespace vbk::vdbe
