#pragma once

// Aggregate accumulators and groups. An accumulator is the running state of
// one aggregate slot of one group, fed one value per row and finalised into
// the slot's result. A run's groups are held in memory, found by the exact key
// encoding of their key values, and walked in key order at the end.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "record/value.h"
#include "util/hash.h"
#include "vdbe/kinds.h"

namespace vbk::vdbe {

// The running state, one alternative per AggKind in the same order.
struct AggState {
  struct CountStar {
    uint64_t count = 0;
  };
  struct Count {
    uint64_t count = 0;
  };
  struct Sum {
    bool saw_non_integer = false;  // a non-NULL value other than an Int was added
    bool has_any = false;          // any non-NULL value was added
    double float_total = 0.0;      // every added value as a float, in arrival order
    // The exact total of the added Ints. Each step moves it by less than 2^63,
    // so it cannot overflow before 2^64 steps.
    __int128 int_total = 0;
  };
  struct Avg {
    double float_total = 0.0;
    uint64_t count = 0;
  };
  struct Min {
    std::optional<Value> value;
  };
  struct Max {
    std::optional<Value> value;
  };
  struct Any {
    std::optional<Value> value;  // the first value fed, NULL included
  };

  std::variant<CountStar, Count, Sum, Avg, Min, Max, Any> v;
};

// One accumulator.
struct AggAcc {
  // The exact key encodings (keyenc::encode_value_exact) of the values a
  // DISTINCT slot has already counted; absent for a plain slot.
  using SeenSet = std::unordered_set<std::string, NameHash, NameEq>;

  AggState state;
  std::optional<SeenSet> seen;

  // A fresh accumulator for the slot's aggregate kind.
  static AggAcc new_(const AggSpec& spec);

  // Feeds one value in. Only MIN, MAX and the bare-column kind copy it, and
  // only when they keep it. Never fails.
  void step(const Value& v);

  // The aggregate's result so far; the accumulator is unchanged, so it may be
  // finalised any number of times.
  Value finalize() const;
};

// One group: its key bytes (the exact key encodings of its key values, back to
// back), copies of the key values of its first row, and one accumulator per
// aggregate slot, in slot order.
struct AggGroup {
  Bytes key;
  std::vector<Value> key_values;
  std::vector<AggAcc> accs;
};

// The groups of one run and the walk over them. Calling order: any number of
// start (each followed by steps of the selected group's accumulators), one
// rewind, then the walk (current_acc, key_value and next while groups
// remain). A call out of that order, or a slot index beyond the slots, is an
// internal fault.
class GroupTable {
 public:
  // Selects the group of the key `key_values`, creating it with fresh
  // accumulators for `aggs` when it is new. Consecutive rows of one group skip
  // the map lookup.
  void start(std::span<const Value> key_values, std::span<const AggSpec> aggs);

  // Accumulator `idx` of the group the last start selected.
  AggAcc& selected_acc(uint32_t idx);

  // Ends the collecting: without grouping, an empty run still gets its one
  // group (so COUNT gives 0 and the other aggregates NULL); orders the groups
  // by key bytes and moves to the first. False when there is no group.
  bool rewind(bool grouped, std::span<const AggSpec> aggs);

  // Moves to the next group in key order; false when the walk is over.
  bool next();

  // Accumulator `idx` and key value `i` of the group at the walk's position;
  // a key value the group lacks is NULL.
  const AggAcc& current_acc(uint32_t idx) const;
  Value key_value(uint32_t i) const;

 private:
  const AggGroup& current() const;

  // Groups in creation order; an index never changes.
  std::vector<AggGroup> groups_;
  // Key bytes to group index. The views point into the groups' own key
  // buffers, which moving a group (when groups_ grows) does not reallocate and
  // nothing modifies after creation. Hashed with the per-process key, so
  // chosen keys cannot be made to share a bucket.
  std::unordered_map<std::string_view, uint32_t, NameHash, NameEq> group_map_;
  Bytes key_buf_;  // the key of the current row, reused by every start
  uint32_t current_group_ = 0;
  bool has_group_ = false;
  std::vector<uint32_t> group_order_;  // made by rewind
  size_t group_pos_ = 0;
  bool rewound_ = false;
};

}  // namespace vbk::vdbe
