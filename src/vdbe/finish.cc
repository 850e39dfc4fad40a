#include "vdbe/finish.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_set>

#include "error.h"
#include "record/compare.h"
#include "record/record.h"
#include "util/hash.h"
#include "util/merge_sort.h"
#include "vdbe/program.h"

namespace vbk::vdbe {

namespace {

void sort_rows(std::vector<Row>& rows, const FinishSpec& spec) {
  const size_t need = size_t{spec.width} + spec.order_desc.size();
  for (const Row& r : rows) {
    if (r.size() < need) {
      fault("output row of " + std::to_string(r.size()) + " values lacks its ORDER BY keys (needs " +
            std::to_string(need) + ")");
    }
  }
  merge_sort(rows, [&](const Row& a, const Row& b) {
    for (size_t i = 0; i < spec.order_desc.size(); ++i) {
      const size_t at = spec.width + i;
      std::weak_ordering c = compare::cmp_value(a[at], b[at]);
      if (spec.order_desc[i]) c = 0 <=> c;
      if (c != 0) return c < 0;
    }
    return false;
  });
}

// Keeps the first of rows whose record encodings are equal, in order.
void drop_repeats(std::vector<Row>& rows) {
  std::unordered_set<std::string, NameHash, NameEq> seen;
  Bytes rec;
  size_t kept = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    record::encode_record_into(rec, rows[i]);
    const std::string_view bytes = as_chars(rec);
    if (seen.contains(bytes)) continue;
    seen.emplace(bytes);
    if (kept != i) rows[kept] = std::move(rows[i]);
    ++kept;
  }
  rows.resize(kept);
}

}  // namespace

uint64_t finish_rows(std::vector<Row>& rows, const FinishSpec& spec) {
  if (!spec.order_desc.empty()) sort_rows(rows, spec);
  for (Row& r : rows) {
    if (r.size() > spec.width) r.resize(spec.width);
  }
  if (spec.distinct) drop_repeats(rows);
  const uint64_t found = rows.size();
  if (spec.offset) {
    const size_t skip = *spec.offset <= 0 ? 0
                        : static_cast<uint64_t>(*spec.offset) >= rows.size()
                            ? rows.size()
                            : static_cast<size_t>(*spec.offset);
    rows.erase(rows.begin(), rows.begin() + static_cast<ptrdiff_t>(skip));
  }
  if (spec.limit) {
    const size_t keep = *spec.limit <= 0 ? 0
                        : static_cast<uint64_t>(*spec.limit) >= rows.size()
                            ? rows.size()
                            : static_cast<size_t>(*spec.limit);
    rows.resize(keep);
  }
  return found;
}

FinishSpec finish_spec_of(const Program& program) {
  FinishSpec spec;
  spec.order_desc = program.order_desc;
  spec.width = program.width;
  spec.distinct = program.distinct;
  spec.offset = program.offset;
  spec.limit = program.limit;
  return spec;
}

}  // namespace vbk::vdbe
