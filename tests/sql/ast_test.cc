#include "sql/ast.h"

#include <cmath>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace vbk {
namespace {

Expr col(std::string name) { return Expr::Column{std::nullopt, std::move(name)}; }

// A left-deep chain of `n` operator nodes that cycles through every kind
// whose left operand the parser grows in a loop. Each node is built in place
// around the chain so far.
Expr deep_chain(size_t n, std::string bottom) {
  Expr e = col(std::move(bottom));
  for (size_t i = 0; i < n; ++i) {
    Box<Expr> link(std::make_unique<Expr>(std::move(e)));
    switch (i % 5) {
      case 0: e.node.emplace<Expr::Binary>(BinaryOp::Or, std::move(link), Expr::Integer{2}); break;
      case 1: e.node.emplace<Expr::IsNull>(std::move(link), true); break;
      case 2: e.node.emplace<Expr::Like>(std::move(link), Expr::Text{"%x"}, false); break;
      case 3: {
        std::vector<Expr> list;
        list.push_back(Expr::Integer{1});
        e.node.emplace<Expr::InList>(std::move(link), std::move(list), false);
        break;
      }
      default:
        e.node.emplace<Expr::InSubquery>(std::move(link), SelectStmt{}, true);
        break;
    }
  }
  return e;
}

TEST(SyntaxTree, MillionNodeChainsCopyCompareAndDestroyWithoutRecursion) {
  constexpr size_t kNodes = 1'000'000;
  auto original = std::make_unique<Expr>(deep_chain(kNodes, "a"));
  Expr copy = *original;
  EXPECT_TRUE(copy == *original);

  // Change the original at the very bottom: the two now differ only there.
  Expr* bottom = original.get();
  size_t depth = 0;
  for (; bottom->chain_link() != nullptr; ++depth) bottom = bottom->chain_link()->get();
  EXPECT_EQ(depth, kNodes);
  *bottom = col("z");
  EXPECT_FALSE(copy == *original);

  original.reset();  // the copy owns everything it holds
  const Expr* copy_bottom = &copy;
  while (copy_bottom->chain_link() != nullptr) copy_bottom = copy_bottom->chain_link()->get();
  EXPECT_TRUE(*copy_bottom == col("a"));
}

TEST(SyntaxTree, RealsCompareAsIeeeValues) {
  Expr nan = Expr::Real{std::nan("")};
  Expr nan_copy = nan;
  EXPECT_FALSE(nan == nan_copy);
  EXPECT_FALSE(nan == nan);
  EXPECT_TRUE(Expr(Expr::Real{0.0}) == Expr(Expr::Real{-0.0}));
  EXPECT_FALSE(Expr(Expr::Integer{1}) == Expr(Expr::Real{1.0}));
}

TEST(SyntaxTree, EqualityIsStructural) {
  auto binary = [](BinaryOp op, Expr l, Expr r) {
    return Expr(Expr::Binary{op, std::move(l), std::move(r)});
  };
  EXPECT_FALSE(binary(BinaryOp::Add, col("a"), col("b")) ==
               binary(BinaryOp::Add, col("b"), col("a")));
  EXPECT_FALSE(col("a") == col("A"));
  EXPECT_FALSE(col("a") == Expr(Expr::Column{"t", "a"}));
  EXPECT_TRUE(Expr(Expr::Column{"t", "a"}) == Expr(Expr::Column{"t", "a"}));
  EXPECT_FALSE(Expr(Expr::Text{"a"}) == Expr(Expr::Text{"A"}));
  EXPECT_FALSE(Expr(Expr::Unary{UnaryOp::Neg, Expr::Integer{5}}) == Expr(Expr::Integer{-5}));
  std::vector<Expr> one;
  one.push_back(Expr::Integer{1});
  EXPECT_FALSE(Expr(Expr::InList{col("a"), std::move(one), false}) ==
               binary(BinaryOp::Eq, col("a"), Expr::Integer{1}));
  EXPECT_FALSE(Expr(Expr::Aggregate{AggFunc::Count, {}, false}) ==
               Expr(Expr::Aggregate{AggFunc::Count, col("x"), false}));
  EXPECT_TRUE(Expr(Expr::Param{3}) == Expr(Expr::Param{3}));
  EXPECT_FALSE(Expr(Expr::Param{3}) == Expr(Expr::OuterParam{3}));
}

TEST(SyntaxTree, MoveAssigningAChildOverItsParentIsSafe) {
  Expr e = Expr::Binary{BinaryOp::Add, Expr::Unary{UnaryOp::Not, col("x")}, col("y")};
  Expr left = std::move(*e.as<Expr::Binary>().left);
  e = std::move(*left.as<Expr::Unary>().expr);
  EXPECT_TRUE(e == col("x"));
  Expr chain = Expr::Binary{BinaryOp::Or, Expr::Binary{BinaryOp::Or, col("a"), col("b")}, col("c")};
  chain = std::move(*chain.as<Expr::Binary>().left);
  EXPECT_TRUE(chain == Expr(Expr::Binary{BinaryOp::Or, col("a"), col("b")}));
}

TEST(SyntaxTree, KindMatchesVariantOrder) {
  EXPECT_EQ(Expr().kind(), Expr::Kind::Null);
  EXPECT_EQ(Expr(Expr::Case{}).kind(), Expr::Kind::Case);
  EXPECT_EQ(static_cast<int>(Expr(Expr::Blob{}).kind()), 17);
  EXPECT_EQ(static_cast<int>(Expr(Expr::OuterParam{}).kind()), 14);
  Statement s = Statement::Pragma{"x", std::nullopt};
  EXPECT_EQ(static_cast<int>(s.kind()), 12);
  EXPECT_NE(s.get_if<Statement::Pragma>(), nullptr);
  EXPECT_EQ(s.get_if<Statement::Begin>(), nullptr);
  EXPECT_THROW(s.as<Statement::Begin>(), InternalFault);
}

TEST(SyntaxTree, CastTypeFromTypeName) {
  const std::pair<std::string_view, CastType> cases[] = {
      {"INT", CastType::Integer},    {"bigint", CastType::Integer},
      {"SIGNED", CastType::Integer}, {"unsigned", CastType::Integer},
      {"POINT", CastType::Integer},  {"interval", CastType::Integer},
      {"CHAR", CastType::Text},      {"varchar", CastType::Text},
      {"TEXT", CastType::Text},      {"Binary", CastType::Text},
      {"DATETIME", CastType::Text},  {"time", CastType::Text},
      {"CLOB", CastType::Text},      {"REAL", CastType::Real},
      {"DECIMAL", CastType::Real},   {"BLOB", CastType::Real},
      {"", CastType::Real},          {"float", CastType::Real},
  };
  for (const auto& [name, target] : cases)
    EXPECT_EQ(cast_type_from_type_name(name), target) << name;
  EXPECT_EQ(cast_type_name(CastType::Integer), "Integer");
  EXPECT_EQ(cast_type_name(CastType::Real), "Real");
  EXPECT_EQ(cast_type_name(CastType::Text), "Text");
}

TEST(SyntaxTree, AggregateNames) {
  EXPECT_EQ(agg_func_from_name("count"), AggFunc::Count);
  EXPECT_EQ(agg_func_from_name("Sum"), AggFunc::Sum);
  EXPECT_EQ(agg_func_from_name("AVG"), AggFunc::Avg);
  EXPECT_EQ(agg_func_from_name("min"), AggFunc::Min);
  EXPECT_EQ(agg_func_from_name("MAX"), AggFunc::Max);
  EXPECT_EQ(agg_func_from_name("ANY"), std::nullopt);
  EXPECT_EQ(agg_func_from_name(""), std::nullopt);
  EXPECT_EQ(agg_func_from_name("COUNTS"), std::nullopt);
}

}  // namespace
}  // namespace vbk
