// The expression grammar: precedence climbing over the infix operators, and
// the operands (literals, names, calls, CASE, CAST, parentheses, subqueries).
//
// Binding powers (left power; the right operand is parsed one higher, so
// every binary operator is left-associative):
//   OR 2, AND 4, comparisons / IS / IN / LIKE 8, + - 10, * / % 12.
// Prefix NOT parses its operand at 7 (looser than comparisons, tighter than
// AND), prefix minus at 14 (tighter than everything).

#include <string>

#include "sql/parser.h"
#include "sql/parser_state.h"
#include "util/unicode.h"

namespace vbk {

namespace {

constexpr uint8_t kNotOperandPower = 7;
constexpr uint8_t kNegOperandPower = 14;
constexpr uint8_t kComparisonPower = 8;

enum class Infix : uint8_t { None, Binary, Is, In, Like };

struct InfixOp {
  Infix form = Infix::None;
  BinaryOp op = BinaryOp::Add;
  uint8_t power = 0;
};

// The infix operator that `t` (followed by `next`) starts, if any. NOT is an
// operator only in NOT IN and NOT LIKE.
InfixOp infix_op(const Token& t, const Token& next) {
  switch (t.kind()) {
    case Token::Kind::Eq: return {Infix::Binary, BinaryOp::Eq, kComparisonPower};
    case Token::Kind::Ne: return {Infix::Binary, BinaryOp::Ne, kComparisonPower};
    case Token::Kind::Lt: return {Infix::Binary, BinaryOp::Lt, kComparisonPower};
    case Token::Kind::Le: return {Infix::Binary, BinaryOp::Le, kComparisonPower};
    case Token::Kind::Gt: return {Infix::Binary, BinaryOp::Gt, kComparisonPower};
    case Token::Kind::Ge: return {Infix::Binary, BinaryOp::Ge, kComparisonPower};
    case Token::Kind::Plus: return {Infix::Binary, BinaryOp::Add, 10};
    case Token::Kind::Minus: return {Infix::Binary, BinaryOp::Sub, 10};
    case Token::Kind::Star: return {Infix::Binary, BinaryOp::Mul, 12};
    case Token::Kind::Slash: return {Infix::Binary, BinaryOp::Div, 12};
    case Token::Kind::Percent: return {Infix::Binary, BinaryOp::Mod, 12};
    case Token::Kind::Keyword: break;
    default: return {};
  }
  switch (t.keyword()) {
    case Keyword::Or: return {Infix::Binary, BinaryOp::Or, 2};
    case Keyword::And: return {Infix::Binary, BinaryOp::And, 4};
    case Keyword::Is: return {Infix::Is, BinaryOp::Eq, kComparisonPower};
    case Keyword::In: return {Infix::In, BinaryOp::Eq, kComparisonPower};
    case Keyword::Like: return {Infix::Like, BinaryOp::Eq, kComparisonPower};
    case Keyword::Not:
      if (next.is_keyword(Keyword::In)) return {Infix::In, BinaryOp::Eq, kComparisonPower};
      if (next.is_keyword(Keyword::Like)) return {Infix::Like, BinaryOp::Eq, kComparisonPower};
      return {};
    default: return {};
  }
}

}  // namespace

Result<Expr> Parser::parse_expr(uint8_t min_prec) {
  if (expr_depth_ >= parser::kMaxNestingDepth) return fail<Expr>("expression nested too deeply");
  DepthGuard guard(expr_depth_);
  Expr left = VBK_TRY(peek().is_keyword(Keyword::Not) ? parse_prefix(UnaryOp::Not, kNotOperandPower)
                      : peek().is(Token::Kind::Minus) ? parse_prefix(UnaryOp::Neg, kNegOperandPower)
                                                      : parse_primary());
  // Operator chains grow here, in a loop, so their length is unbounded; only
  // right operands recurse.
  for (;;) {
    InfixOp op = infix_op(peek(), peek_at(1));
    if (op.form == Infix::None || op.power < min_prec) return left;
    VBK_TRY(parse_infix(static_cast<uint8_t>(op.form), op.op, op.power, left));
  }
}

Result<Expr> Parser::parse_prefix(UnaryOp op, uint8_t operand_power) {
  skip();  // NOT or -
  Expr operand = VBK_TRY(parse_expr(operand_power));
  return Expr::Unary{op, std::move(operand)};
}

Result<void> Parser::parse_infix(uint8_t form, BinaryOp op, uint8_t power, Expr& left) {
  switch (static_cast<Infix>(form)) {
    case Infix::Binary: return parse_binary_rhs(op, power, left);
    case Infix::Is: return parse_is_null(left);
    case Infix::In: return parse_in(left);
    case Infix::Like: return parse_like(left);
    case Infix::None: break;
  }
  fault("parse_infix called without an operator");
}

Result<void> Parser::parse_binary_rhs(BinaryOp op, uint8_t power, Expr& left) {
  skip();  // the operator
  Expr right = VBK_TRY(parse_expr(power + 1));
  // Built in place: this runs once per operator of a chain of any length.
  Box<Expr> l(std::make_unique<Expr>(std::move(left)));
  Box<Expr> r(std::make_unique<Expr>(std::move(right)));
  left.node.emplace<Expr::Binary>(op, std::move(l), std::move(r));
  return {};
}

Result<void> Parser::parse_is_null(Expr& left) {
  skip();  // IS
  bool negated = eat_kw(Keyword::Not);
  VBK_TRY(expect_kw(Keyword::Null));
  left = Expr::IsNull{std::move(left), negated};
  return {};
}

Result<void> Parser::parse_in(Expr& left) {
  bool negated = eat_kw(Keyword::Not);
  skip();  // IN
  VBK_TRY(expect(kLParen));
  return peek().is_keyword(Keyword::Select) ? parse_in_subquery(left, negated)
                                            : parse_in_list(left, negated);
}

Result<void> Parser::parse_in_subquery(Expr& left, bool negated) {
  Box<SelectStmt> select = VBK_TRY(parse_subselect());
  left = Expr::InSubquery{std::move(left), std::move(select), negated};
  return {};
}

Result<void> Parser::parse_in_list(Expr& left, bool negated) {
  std::vector<Expr> list;
  VBK_TRY(parse_expr_list(list));
  VBK_TRY(expect(kRParen));
  left = Expr::InList{std::move(left), std::move(list), negated};
  return {};
}

Result<void> Parser::parse_like(Expr& left) {
  bool negated = eat_kw(Keyword::Not);
  skip();  // LIKE
  Expr pattern = VBK_TRY(parse_expr(kComparisonPower + 1));
  left = Expr::Like{std::move(left), std::move(pattern), negated};
  return {};
}

Result<void> Parser::parse_expr_list(std::vector<Expr>& out) {
  do {
    out.push_back(VBK_TRY(parse_expr(0)));
  } while (eat(kComma));
  return {};
}

Result<Expr> Parser::parse_primary() {
  const Token& t = peek();
  switch (t.kind()) {
    case Token::Kind::Int:
    case Token::Kind::Real:
    case Token::Kind::Str:
    case Token::Kind::Blob:
    case Token::Kind::Param: return parse_literal();
    case Token::Kind::Ident: return t.is_word("CASE") ? parse_case() : parse_name();
    case Token::Kind::LParen: return parse_parenthesized();
    case Token::Kind::Keyword:
      if (t.is_keyword(Keyword::Null)) return parse_literal();
      if (t.is_keyword(Keyword::Values)) return parse_values_call();
      if (t.is_keyword(Keyword::Cast)) return parse_cast();
      break;
    default: break;
  }
  return err_found("expected an expression, found ");
}

Result<Expr> Parser::parse_literal() {
  Token t = take();
  switch (t.kind()) {
    case Token::Kind::Int: return Expr::Integer{t.int_value()};
    case Token::Kind::Real: return Expr::Real{t.real_value()};
    case Token::Kind::Str: return Expr::Text{t.take_text()};
    case Token::Kind::Blob: return Expr::Blob{t.take_blob()};
    case Token::Kind::Param: return Expr::Param{next_param++};
    default: return Expr{};  // NULL
  }
}

// A column, qualifier.column, or a call.
Result<Expr> Parser::parse_name() {
  std::string name = take().take_text();
  if (eat(kLParen)) return parse_call(std::move(name));
  if (!eat(Token::Kind::Dot)) return Expr::Column{std::nullopt, std::move(name)};
  std::string column = VBK_TRY(expect_ident());
  return Expr::Column{std::move(name), std::move(column)};
}

// After the name and its opening parenthesis.
Result<Expr> Parser::parse_call(std::string name) {
  if (std::optional<AggFunc> func = agg_func_from_name(name)) {
    Expr::Aggregate agg{*func, {}, false};
    agg.distinct = eat_kw(Keyword::Distinct);
    if (agg.distinct || !eat(Token::Kind::Star)) agg.arg = VBK_TRY(parse_expr(0));
    VBK_TRY(expect(kRParen));
    return agg;
  }
  Expr::Function f;
  unicode::append_ascii_upper(f.name, name);
  if (!peek().is(kRParen)) VBK_TRY(parse_expr_list(f.args));
  VBK_TRY(expect(kRParen));
  return f;
}

// ( SELECT ... ) as a scalar subquery, or a parenthesised expression, which
// leaves no node of its own.
Result<Expr> Parser::parse_parenthesized() {
  skip();  // (
  return peek().is_keyword(Keyword::Select) ? parse_subquery() : parse_bracketed_expr();
}

Result<Expr> Parser::parse_subquery() {
  Box<SelectStmt> select = VBK_TRY(parse_subselect());
  return Expr::Subquery{std::move(select)};
}

Result<Expr> Parser::parse_bracketed_expr() {
  Expr inner = VBK_TRY(parse_expr(0));
  VBK_TRY(expect(kRParen));
  return inner;
}

// A SELECT and the closing parenthesis after it; the opening one is taken.
Result<Box<SelectStmt>> Parser::parse_subselect() {
  Box<SelectStmt> select(std::make_unique<SelectStmt>());
  VBK_TRY(parse_select(*select));
  VBK_TRY(expect(kRParen));
  return select;
}

// VALUES(col) of ON DUPLICATE KEY UPDATE.
Result<Expr> Parser::parse_values_call() {
  skip();  // VALUES
  VBK_TRY(expect(kLParen));
  Expr::Function f{"VALUES", {}};
  f.args.push_back(VBK_TRY(parse_expr(0)));
  VBK_TRY(expect(kRParen));
  return f;
}

Result<Expr> Parser::parse_cast() {
  skip();  // CAST
  VBK_TRY(expect(kLParen));
  Expr operand = VBK_TRY(parse_expr(0));
  VBK_TRY(expect_kw(Keyword::As));
  std::string type = VBK_TRY(expect_ident());
  eat_ident_kw("INTEGER");  // SIGNED INTEGER, UNSIGNED INTEGER
  if (eat(kLParen)) {
    // Size arguments, skipped without nesting.
    while (!peek().is(kRParen) && !peek().is(Token::Kind::Eof)) skip();
    VBK_TRY(expect(kRParen));
  }
  VBK_TRY(expect(kRParen));
  return Expr::Cast{std::move(operand), cast_type_from_type_name(type)};
}

// CASE, WHEN, THEN, ELSE and END are identifiers, not keywords, so a column
// named case can only be written with a qualifier.
Result<Expr> Parser::parse_case() {
  skip();  // CASE
  Expr::Case c;
  if (!peek().is_word("WHEN")) c.operand = VBK_TRY(parse_expr(0));
  while (eat_ident_kw("WHEN")) VBK_TRY(parse_case_when(c));
  if (c.whens.empty()) return fail<Expr>("CASE requires at least one WHEN");
  if (eat_ident_kw("ELSE")) c.else_expr = VBK_TRY(parse_expr(0));
  VBK_TRY(expect_ident_kw("END"));
  return c;
}

// After WHEN: the condition (or compared value), THEN and the result.
Result<void> Parser::parse_case_when(Expr::Case& c) {
  CaseWhen& w = c.whens.emplace_back();
  w.when = VBK_TRY(parse_expr(0));
  VBK_TRY(expect_ident_kw("THEN"));
  w.then = VBK_TRY(parse_expr(0));
  return {};
}

}  // namespace vbk
