#include "vdbe/value_ops.h"

#include <gtest/gtest.h>

#include "vdbe/functions.h"

namespace vbk {
namespace {

TEST(ValueOps, ArithmeticAndFunctionsRun) {
  EXPECT_EQ(value_ops::add(Value::Int(2), Value::Int(3)).as_int(), 5);
  EXPECT_EQ(vdbe::apply_bin(vdbe::BinKind::Lt, Value::Int(1), Value::Text("a")).as_int(), 0);
  const Value x = Value::Text("straße");
  const Value* args[] = {&x};
  EXPECT_EQ(vdbe::eval_scalar(vdbe::ScalarKind::Upper, args).as_text(), "STRASSE");
}

}  // namespace
}  // namespace vbk
