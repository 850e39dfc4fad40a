// Expression instructions: each reads its registers, calls the value
// operation or function, and writes its destination, which may be one of
// its own operands.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vdbe/vm_fixture.h"

namespace vbk::testing {
namespace {

using vdbe::BinKind;
using vdbe::ScalarKind;
using vdbe::UnKind;

TEST(VmExpr, InstructionsCallTheValueOperations) {
  VmDb f;
  struct Case {
    Op op;  // operands in registers 0 and 1, result in register 2
    std::vector<Value> in;
    Value out;
  };
  const Case cases[] = {
      {Op::Bin{BinKind::Add, 0, 1, 2}, {I(2), T("3x")}, R(5.0)},
      {Op::Bin{BinKind::Add, 0, 1, 2}, {I(INT64_MAX), I(1)}, R(9223372036854775808.0)},
      {Op::Bin{BinKind::Div, 0, 1, 2}, {I(1), I(0)}, N()},
      {Op::Bin{BinKind::Lt, 0, 1, 2}, {T("10"), I(9)}, I(0)},
      {Op::Bin{BinKind::Ne, 0, 1, 2}, {N(), I(9)}, N()},
      {Op::Bin{BinKind::Or, 0, 1, 2}, {N(), I(1)}, I(1)},
      {Op::Un{UnKind::Neg, 0, 2}, {I(INT64_MIN)}, R(9223372036854775808.0)},
      {Op::Un{UnKind::Not, 0, 2}, {T("0")}, I(1)},
      {Op::IsNull{0, 2, false}, {N()}, I(1)},
      {Op::IsNull{0, 2, true}, {N()}, I(0)},
      {Op::IsNull{0, 2, true}, {I(0)}, I(1)},
      {Op::Cast{0, CastType::Integer, 2}, {T(" 12.9e1 ")}, I(129)},
      {Op::Cast{0, CastType::Text, 2}, {R(1.0)}, T("1")},
      {Op::Like{0, 1, false, 2}, {T("Abc"), T("a%")}, I(1)},
      {Op::Like{0, 1, true, 2}, {T("Abc"), T("a_")}, I(1)},
      {Op::Func{ScalarKind::Coalesce, {0, 1}, 2}, {N(), T("x")}, T("x")},
      {Op::Func{ScalarKind::Length, {0}, 2}, {T("h\xC3\xA9")}, I(2)},
      {Op::Func{ScalarKind::Typeof, {1}, 2}, {N(), R(0.5)}, T("real")},
  };
  for (const Case& c : cases) {
    std::vector<Op> ops;
    for (uint32_t r = 0; r < c.in.size(); ++r) ops.push_back(Op::Bind{r, r});
    ops.push_back(c.op);
    ops.push_back(Op::ResultRow{2, 1});
    const Outcome o = f.run(program(3, 0, 0, ops), c.in);
    EXPECT_EQ(o.rows, rows({{c.out}})) << c.op.debug();
  }
}

// A destination that is also an operand: the result replaces it; Affinity
// rewrites its register in place.
TEST(VmExpr, DestinationAmongTheOperands) {
  VmDb f;
  const Value binds[] = {T("ab"), T(" 7 "), T("2.5")};
  const Program p = program(
      3, 0, 0,
      {Op::Bind{0, 0}, Op::Bind{1, 1}, Op::Bind{2, 2}, Op::Func{ScalarKind::Concat, {0, 0, 1}, 0},
       Op::Affinity{1, false}, Op::Affinity{2, true}, Op::Bin{BinKind::Mul, 1, 1, 1}, Op::ResultRow{0, 3}});
  EXPECT_EQ(f.run(p, binds).rows, rows({{T("abab 7 "), I(49), R(2.5)}}));
}

}  // namespace
}  // namespace vbk::testing
