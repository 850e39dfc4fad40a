#include <bit>
#include <span>
#include <string_view>

#include "vdbe/finish.h"
#include "vdbe/limits.h"
#include "vdbe/vdbe.h"

namespace vbk::vdbe {

namespace {

// Appends a cache key of `v` that two values share only when a sub-program
// cannot tell them apart: the same kind and the same value, to the bit for a
// real (so 0.0 and -0.0 differ, and Int 1 differs from Real 1.0, which
// divides, prints and reports its type differently). A length before each
// text or blob keeps the keys of several values apart.
void append_cache_key(Bytes& out, const Value& v) {
  auto append_sized = [&](std::span<const uint8_t> bytes) {
    append_be64(out, bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
  };
  out.push_back(static_cast<uint8_t>(v.kind()));
  switch (v.kind()) {
    case Value::Kind::Null: return;
    case Value::Kind::Int: append_be64(out, static_cast<uint64_t>(v.as_int())); return;
    case Value::Kind::Real: append_be64(out, std::bit_cast<uint64_t>(v.as_real())); return;
    case Value::Kind::Text: append_sized(as_bytes(v.as_text())); return;
    case Value::Kind::Blob: append_sized(v.as_blob()); return;
  }
}

}  // namespace

// A correlated sub-program runs in a child machine nested inside this
// instruction, once per distinct set of parameter values in a run. The child
// shares the pager and the statement's `?` values (borrowed, as the parent
// borrows them), opens its own cursors and has its own registers, groups and
// cache. Its rows are finished as a query's rows are (sort, DISTINCT, OFFSET,
// LIMIT) before the first value of the first row is taken; the child always
// runs to its end.
Result<void> Vm::exec_scalar_sub(const Program& program, const Op::ScalarSub& o) {
  if (o.sub >= program.subprograms.size()) {
    fault("sub-program out of range: " + std::to_string(o.sub));
  }
  sub_params_.clear();
  for (const ParamSrc& src : o.params) sub_params_.push_back(VBK_TRY(param_value(src)));

  // Parameter values that key alike share one result.
  sub_key_buf_.resize(4);
  put_be32(sub_key_buf_.data(), o.sub);
  for (const Value& v : sub_params_) append_cache_key(sub_key_buf_, v);
  const std::string_view key = as_chars(sub_key_buf_);
  if (auto it = subquery_cache_.find(key); it != subquery_cache_.end()) {
    reg(o.dest) = it->second;
    return {};
  }

  // Each level of nesting is a frame of this call stack: bounded, so that a
  // deep statement fails instead of exhausting the stack.
  if (depth_ >= kMaxSubprogramDepth) return std::unexpected(Error::Exec(kSubprogramDepthMessage));
  const Program& sub = program.subprograms[o.sub];
  Vm child(*pager_, binds_);
  child.depth_ = depth_ + 1;
  child.set_params(std::move(sub_params_));
  VBK_TRY(child.run(sub));
  std::vector<Row> rows = std::move(child).into_output();
  finish_rows(rows, finish_spec_of(sub));
  Value result = !rows.empty() && !rows[0].empty() ? std::move(rows[0][0]) : Value::Null();

  subquery_cache_.emplace(key, result);
  reg(o.dest) = std::move(result);
  return {};
}

}  // namespace vbk::vdbe
