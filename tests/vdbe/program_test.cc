#include "vdbe/program.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vbk::vdbe {
namespace {

// Every kind, in tag order, with the text it prints: literals bare, floats
// by the engine's real form, texts quoted and escaped, lists bracketed,
// kinds by name.
TEST(Program, DebugTextOfEveryKind) {
  struct Case {
    Op op;
    const char* text;
  };
  const Case cases[] = {
      {Op::Halt{}, "Halt"},
      {Op::IfFalse{1, {7}}, "IfFalse { reg: 1, target: 7 }"},
      {Op::IfTrue{2, {8}}, "IfTrue { reg: 2, target: 8 }"},
      {Op::Goto{{7}}, "Goto { target: 7 }"},
      {Op::NullRow{1}, "NullRow { cur: 1 }"},
      {Op::Integer{5, 0}, "Integer { v: 5, dest: 0 }"},
      {Op::Integer{INT64_MIN, 0}, "Integer { v: -9223372036854775808, dest: 0 }"},
      {Op::Real{1.0, 1}, "Real { v: 1.0, dest: 1 }"},
      {Op::Real{1e20, 1}, "Real { v: 1e20, dest: 1 }"},
      {Op::Real{-0.5, 1}, "Real { v: -0.5, dest: 1 }"},
      {Op::Str{"a", 1}, "Str { v: \"a\", dest: 1 }"},
      {Op::Str{"q\"\n", 1}, "Str { v: \"q\\\"\\n\", dest: 1 }"},
      {Op::Blob{{1, 2}, 2}, "Blob { v: [1, 2], dest: 2 }"},
      {Op::Blob{{}, 2}, "Blob { v: [], dest: 2 }"},
      {Op::Null{3}, "Null { dest: 3 }"},
      {Op::Copy{1, 2}, "Copy { src: 1, dest: 2 }"},
      {Op::OpenRead{0, 2}, "OpenRead { cur: 0, root: 2 }"},
      {Op::OpenWrite{1, 3}, "OpenWrite { cur: 1, root: 3 }"},
      {Op::Rewind{0, {6}}, "Rewind { cur: 0, empty_target: 6 }"},
      {Op::Next{0, {2}}, "Next { cur: 0, row_target: 2 }"},
      {Op::SeekRowid{0, 1, {9}}, "SeekRowid { cur: 0, key_reg: 1, notfound_target: 9 }"},
      {Op::CursorSetRowid{0, 1}, "CursorSetRowid { cur: 0, rowid_reg: 1 }"},
      {Op::SeekScan{0, 1, {9}}, "SeekScan { cur: 0, key_reg: 1, empty_target: 9 }"},
      {Op::Rowid{0, 4}, "Rowid { cur: 0, dest: 4 }"},
      {Op::Column{0, 2, 5}, "Column { cur: 0, col: 2, dest: 5 }"},
      {Op::Count{0, 1}, "Count { cur: 0, dest: 1 }"},
      {Op::ResultRow{0, 2}, "ResultRow { start: 0, count: 2 }"},
      {Op::Bin{BinKind::Lt, 1, 2, 3}, "Bin { op: Lt, a: 1, b: 2, dest: 3 }"},
      {Op::Un{UnKind::Neg, 1, 2}, "Un { op: Neg, a: 1, dest: 2 }"},
      {Op::IsNull{1, 2, true}, "IsNull { a: 1, dest: 2, negated: true }"},
      {Op::MakeRecord{0, 3, 4}, "MakeRecord { start: 0, count: 3, dest: 4 }"},
      {Op::MakeUpdatedRecord{0, 1, {true, false}, 5},
       "MakeUpdatedRecord { cur: 0, start: 1, kept: [true, false], dest: 5 }"},
      {Op::NewRowid{0, 1}, "NewRowid { cur: 0, dest: 1 }"},
      {Op::Insert{0, 2, 1}, "Insert { cur: 0, record_reg: 2, rowid_reg: 1 }"},
      {Op::DeleteCurrent{0}, "DeleteCurrent { cur: 0 }"},
      {Op::TruncateFrom{0, 1}, "TruncateFrom { cur: 0, key_reg: 1 }"},
      {Op::UpdateCurrent{0, 3}, "UpdateCurrent { cur: 0, record_reg: 3 }"},
      {Op::ApplyDeferred{0}, "ApplyDeferred { cur: 0 }"},
      {Op::HoldRow{3, 2}, "HoldRow { start: 3, count: 2 }"},
      {Op::TakeHeldRow{3, 2, {9}}, "TakeHeldRow { dest: 3, count: 2, done_target: 9 }"},
      {Op::OpenIndex{1, 4}, "OpenIndex { cur: 1, root: 4 }"},
      {Op::MakeIndexKey{0, 2, 3, 4}, "MakeIndexKey { start: 0, count: 2, rowid_reg: 3, dest: 4 }"},
      {Op::MakeIndexPrefix{0, 0, 4}, "MakeIndexPrefix { start: 0, count: 0, dest: 4 }"},
      {Op::IdxInsert{0, 4}, "IdxInsert { cur: 0, key_reg: 4 }"},
      {Op::IdxInsertUnique{0, 4, 5, "ix", 6, 1},
       "IdxInsertUnique { cur: 0, key_reg: 4, prefix_reg: 5, column: \"ix\", values: 6, stored: 1 }"},
      {Op::IdxConflictJump{0, 5, {3}, 6, 1}, "IdxConflictJump { cur: 0, prefix_reg: 5, target: 3, values: 6, stored: 1 }"},
      {Op::RowidExistsJump{0, 1, {3}}, "RowidExistsJump { cur: 0, key_reg: 1, target: 3 }"},
      {Op::IdxDelete{0, 4}, "IdxDelete { cur: 0, key_reg: 4 }"},
      {Op::NotNullGuard{1, "t.a"}, "NotNullGuard { reg: 1, column: \"t.a\" }"},
      {Op::IdxSeek{0, 5, {9}}, "IdxSeek { cur: 0, prefix_reg: 5, notfound_target: 9 }"},
      {Op::IdxNext{0, {4}}, "IdxNext { cur: 0, row_target: 4 }"},
      {Op::IdxRowid{0, 1}, "IdxRowid { cur: 0, dest: 1 }"},
      {Op::IdxPrefixGuard{0, 5, {9}}, "IdxPrefixGuard { cur: 0, prefix_reg: 5, fail_target: 9 }"},
      {Op::MakeBoundKey{0, 1, true, 6}, "MakeBoundKey { start: 0, count: 1, pad: true, dest: 6 }"},
      {Op::IdxRangeGuard{0, 6, {9}}, "IdxRangeGuard { cur: 0, bound_reg: 6, fail_target: 9 }"},
      {Op::AggStart{0, 2}, "AggStart { key_start: 0, key_count: 2 }"},
      {Op::AggStep{1, 3}, "AggStep { idx: 1, arg_reg: 3 }"},
      {Op::AggRewind{{9}, 0, 2, false}, "AggRewind { done_target: 9, key_dest: 0, key_count: 2, grouped: false }"},
      {Op::AggNext{5, 0, 2}, "AggNext { row_target: 5, key_dest: 0, key_count: 2 }"},
      {Op::AggResult{1, 4}, "AggResult { idx: 1, dest: 4 }"},
      {Op::Func{ScalarKind::DayOfWeek, {1, 2}, 3}, "Func { kind: DayOfWeek, args: [1, 2], dest: 3 }"},
      {Op::Func{ScalarKind::Coalesce, {}, 3}, "Func { kind: Coalesce, args: [], dest: 3 }"},
      {Op::Cast{1, CastType::Real, 2}, "Cast { a: 1, to: Real, dest: 2 }"},
      {Op::Affinity{1, true}, "Affinity { reg: 1, real: true }"},
      {Op::Like{1, 2, false, 3}, "Like { a: 1, pat: 2, negated: false, dest: 3 }"},
      {Op::Param{0, 1}, "Param { idx: 0, dest: 1 }"},
      {Op::Bind{2, 1}, "Bind { idx: 2, dest: 1 }"},
      {Op::ScalarSub{0, {ParamSrc::Column(0, 1), ParamSrc::Rowid(1)}, 4},
       "ScalarSub { sub: 0, params: [Column(0, 1), Rowid(1)], dest: 4 }"},
      {Op::ScalarSub{1, {ParamSrc::Param(0)}, 2}, "ScalarSub { sub: 1, params: [Param(0)], dest: 2 }"},
      {Op::Fail{"UNIQUE constraint failed: t.a"}, "Fail { message: \"UNIQUE constraint failed: t.a\" }"},
  };
  std::vector<bool> seen(std::variant_size_v<Op::Variant> - 1, false);
  for (const Case& c : cases) {
    EXPECT_EQ(c.op.debug(), c.text);
    seen[static_cast<size_t>(c.op.kind())] = true;
  }
  for (size_t tag = 0; tag < seen.size(); ++tag) EXPECT_TRUE(seen[tag]) << "no case for tag " << tag;
}

// The jump kinds and their patchable targets; AggNext jumps but its target
// is fixed when emitted.
TEST(Program, JumpTargets) {
  std::vector<Op> ops = {Op::IfFalse{0, {1}},        Op::IfTrue{0, {2}},       Op::Goto{{3}},
                         Op::IdxConflictJump{0, 0, {4}}, Op::RowidExistsJump{0, 0, {5}}, Op::Rewind{0, {6}},
                         Op::SeekScan{0, 0, {7}},    Op::Next{0, {8}},         Op::IdxNext{0, {9}},
                         Op::SeekRowid{0, 0, {10}},  Op::IdxSeek{0, 0, {11}},  Op::IdxPrefixGuard{0, 0, {12}},
                         Op::IdxRangeGuard{0, 0, {13}}, Op::AggRewind{{14}, 0, 0, false},
                         Op::TakeHeldRow{0, 1, {15}}};
  for (uint32_t i = 0; i < ops.size(); ++i) {
    Target* t = ops[i].jump_target();
    ASSERT_NE(t, nullptr) << ops[i].debug();
    EXPECT_EQ(t->at, i + 1);
  }
  for (const Op& op : {Op(Op::AggNext{5, 0, 1}), Op(Op::Halt{}), Op(Op::Column{0, 1, 2})}) {
    EXPECT_EQ(op.jump_target(), nullptr) << op.debug();
  }
}

}  // namespace
}  // namespace vbk::vdbe
