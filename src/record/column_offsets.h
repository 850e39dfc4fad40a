#pragma once

// The header of one record, parsed once and kept: the machine reads several
// columns of the same row, and each would otherwise walk the header from its
// start. The walk goes only as far as the columns asked for, so every column
// reads exactly as record::decode_column reads it: the same value, or the
// same Corrupt error, whatever the bytes.

#include <cstddef>
#include <span>
#include <vector>

#include "error.h"
#include "record/record.h"
#include "record/value.h"

namespace vbk::record {

class ColumnOffsets {
 public:
  // Forgets the record; the next call may be given another one. The table
  // keeps its storage, so a scan that clears it per row allocates nothing.
  void clear() {
    started_ = false;
    places_.clear();
  }

  // Column i of `record` into `out`, reusing out's text or byte buffer. Every
  // call between two clears must be given the same record bytes. On failure
  // `out` is unchanged.
  Result<void> column_into(std::span<const uint8_t> record, size_t i, Value& out);

 private:
  bool started_ = false;
  HeaderWalk walk_;
  std::vector<ColumnPlace> places_;  // columns 0..size-1, found so far
};

}  // namespace vbk::record
