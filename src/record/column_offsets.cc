#include "record/column_offsets.h"

namespace vbk::record {

Result<void> ColumnOffsets::column_into(std::span<const uint8_t> record, size_t i, Value& out) {
  if (!started_) {
    // A failure leaves the table unstarted, so asking again fails again.
    walk_ = VBK_TRY(HeaderWalk::start(record));
    started_ = true;
  }
  while (places_.size() <= i) {
    if (walk_.done()) {
      out = Value::Null();
      return {};
    }
    places_.push_back(VBK_TRY(walk_.next(record)));
  }
  return decode_at(record, places_[i], out);
}

}  // namespace vbk::record
