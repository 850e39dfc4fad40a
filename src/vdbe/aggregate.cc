#include "vdbe/aggregate.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "btree/keyenc.h"
#include "record/compare.h"
#include "vdbe/functions.h"
#include "vdbe/vdbe.h"

namespace vbk::vdbe {

namespace {

AggState initial_state(AggKind kind) {
  switch (kind) {
    case AggKind::CountStar: return {AggState::CountStar{}};
    case AggKind::Count: return {AggState::Count{}};
    case AggKind::Sum: return {AggState::Sum{}};
    case AggKind::Avg: return {AggState::Avg{}};
    case AggKind::Min: return {AggState::Min{}};
    case AggKind::Max: return {AggState::Max{}};
    case AggKind::Any: return {AggState::Any{}};
  }
  fault("aggregate kind out of range: " + std::to_string(static_cast<int>(kind)));
}

// True when `v` was counted before; otherwise records it. Values are the same
// when their exact key encodings are: Int 1 and Real 1.0 are one value, while
// integers past 2^53 that round to one double stay apart.
bool seen_before(AggAcc::SeenSet& seen, const Value& v) {
  thread_local Bytes key;
  key.clear();
  keyenc::encode_value_exact(key, v);
  const std::string_view bytes = as_chars(key);
  if (seen.contains(bytes)) return true;
  seen.emplace(bytes);
  return false;
}

// Keeps `v` when nothing is stored yet or when it orders strictly on the
// wanted side of the stored value; on a tie the earlier value stays.
void keep_extreme(std::optional<Value>& stored, const Value& v, bool want_less) {
  if (v.is_null()) return;
  if (stored) {
    const std::weak_ordering c = compare::cmp_value(v, *stored);
    if (want_less ? !(c < 0) : !(c > 0)) return;
  }
  stored = v;
}

}  // namespace

AggAcc AggAcc::new_(const AggSpec& spec) {
  AggAcc acc{initial_state(spec.kind), std::nullopt};
  if (spec.distinct) acc.seen.emplace();
  return acc;
}

void AggAcc::step(const Value& v) {
  if (seen) {
    if (v.is_null() || seen_before(*seen, v)) return;
  }
  std::visit(
      [&](auto& s) {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, AggState::CountStar>) {
          ++s.count;
        } else if constexpr (std::is_same_v<S, AggState::Count>) {
          if (!v.is_null()) ++s.count;
        } else if constexpr (std::is_same_v<S, AggState::Sum>) {
          if (v.is_null()) return;
          s.has_any = true;
          if (v.kind() == Value::Kind::Int) {
            s.int_total += v.as_int();
            s.float_total += static_cast<double>(v.as_int());
          } else {
            s.saw_non_integer = true;
            s.float_total += to_number(v);
          }
        } else if constexpr (std::is_same_v<S, AggState::Avg>) {
          if (v.is_null()) return;
          ++s.count;
          s.float_total += to_number(v);
        } else if constexpr (std::is_same_v<S, AggState::Min>) {
          keep_extreme(s.value, v, true);
        } else if constexpr (std::is_same_v<S, AggState::Max>) {
          keep_extreme(s.value, v, false);
        } else {
          if (!s.value) s.value = v;
        }
      },
      state.v);
}

Value AggAcc::finalize() const {
  return std::visit(
      [](const auto& s) -> Value {
        using S = std::decay_t<decltype(s)>;
        if constexpr (std::is_same_v<S, AggState::CountStar> || std::is_same_v<S, AggState::Count>) {
          // A count of more than 2^63 steps is out of reach.
          return Value::Int(static_cast<int64_t>(s.count));
        } else if constexpr (std::is_same_v<S, AggState::Sum>) {
          if (!s.has_any) return Value::Null();
          constexpr __int128 lo = std::numeric_limits<int64_t>::min();
          constexpr __int128 hi = std::numeric_limits<int64_t>::max();
          // An all-integer sum that left the 64-bit range is reported as the
          // float total, added in arrival order.
          if (!s.saw_non_integer && s.int_total >= lo && s.int_total <= hi) {
            return Value::Int(static_cast<int64_t>(s.int_total));
          }
          return Value::Real(s.float_total);
        } else if constexpr (std::is_same_v<S, AggState::Avg>) {
          if (s.count == 0) return Value::Null();
          return Value::Real(s.float_total / static_cast<double>(s.count));
        } else {
          return s.value ? *s.value : Value::Null();
        }
      },
      state.v);
}

void GroupTable::start(std::span<const Value> key_values, std::span<const AggSpec> aggs) {
  if (rewound_) fault("AggStart after AggRewind");
  keyenc::encode_key_exact_into(key_buf_, key_values);
  if (has_group_ && groups_[current_group_].key == key_buf_) return;
  if (auto it = group_map_.find(as_chars(key_buf_)); it != group_map_.end()) {
    current_group_ = it->second;
    has_group_ = true;
    return;
  }
  AggGroup g;
  g.key = key_buf_;
  g.key_values.assign(key_values.begin(), key_values.end());
  g.accs.reserve(aggs.size());
  for (const AggSpec& spec : aggs) g.accs.push_back(AggAcc::new_(spec));
  const auto index = static_cast<uint32_t>(groups_.size());
  groups_.push_back(std::move(g));
  group_map_.emplace(as_chars(groups_.back().key), index);
  current_group_ = index;
  has_group_ = true;
}

AggAcc& GroupTable::selected_acc(uint32_t idx) {
  if (!has_group_ || rewound_) fault("AggStep without a selected group");
  AggGroup& g = groups_[current_group_];
  if (idx >= g.accs.size()) fault("aggregate slot out of range: " + std::to_string(idx));
  return g.accs[idx];
}

bool GroupTable::rewind(bool grouped, std::span<const AggSpec> aggs) {
  if (rewound_) fault("AggRewind run twice");
  if (groups_.empty() && !grouped) start({}, aggs);
  rewound_ = true;
  has_group_ = false;
  group_order_.resize(groups_.size());
  for (uint32_t i = 0; i < groups_.size(); ++i) group_order_[i] = i;
  // Keys are distinct byte strings, so this is a strict total order and the
  // result does not depend on the sorting method.
  std::sort(group_order_.begin(), group_order_.end(), [&](uint32_t a, uint32_t b) {
    return std::ranges::lexicographical_compare(groups_[a].key, groups_[b].key);
  });
  group_pos_ = 0;
  return !groups_.empty();
}

bool GroupTable::next() {
  if (!rewound_ || group_pos_ >= group_order_.size()) fault("AggNext after the walk ended");
  ++group_pos_;
  return group_pos_ < group_order_.size();
}

const AggGroup& GroupTable::current() const {
  if (!rewound_ || group_pos_ >= group_order_.size()) fault("group read outside the walk");
  return groups_[group_order_[group_pos_]];
}

const AggAcc& GroupTable::current_acc(uint32_t idx) const {
  const AggGroup& g = current();
  if (idx >= g.accs.size()) fault("aggregate slot out of range: " + std::to_string(idx));
  return g.accs[idx];
}

Value GroupTable::key_value(uint32_t i) const {
  const AggGroup& g = current();
  return i < g.key_values.size() ? g.key_values[i] : Value::Null();
}

}  // namespace vbk::vdbe

// The grouping instructions of the machine.
namespace vbk::vdbe {

Result<void> Vm::exec_agg_start(const Op::AggStart& o) {
  groups_.start(reg_run(o.key_start, o.key_count), aggs_);
  return {};
}

Result<void> Vm::exec_agg_step(const Op::AggStep& o) {
  groups_.selected_acc(o.idx).step(reg(o.arg_reg));
  return {};
}

Result<bool> Vm::exec_agg_rewind(const Op::AggRewind& o) {
  if (!groups_.rewind(o.grouped, aggs_)) return false;
  load_group_key(o.key_dest, o.key_count);
  return true;
}

Result<bool> Vm::exec_agg_next(const Op::AggNext& o) {
  if (!groups_.next()) return false;
  load_group_key(o.key_dest, o.key_count);
  return true;
}

Result<void> Vm::exec_agg_result(const Op::AggResult& o) {
  Value v = groups_.current_acc(o.idx).finalize();
  reg(o.dest) = std::move(v);
  return {};
}

void Vm::load_group_key(uint32_t key_dest, uint32_t key_count) {
  std::span<Value> dest = reg_run(key_dest, key_count);
  for (uint32_t i = 0; i < key_count; ++i) dest[i] = groups_.key_value(i);
}

}  // namespace vbk::vdbe
