// The SELECT grammar: one core (SELECT ... FROM ... WHERE ... LIMIT ...) and
// the flat UNION chain around it.

#include <string>

#include "sql/parser.h"
#include "sql/parser_state.h"

namespace vbk {

Result<void> Parser::parse_select(SelectStmt& out) {
  if (select_depth_ >= parser::kMaxNestingDepth) return fail<void>("subqueries nested too deeply");
  DepthGuard guard(select_depth_);
  VBK_TRY(parse_select_core(out));
  while (eat_kw(Keyword::Union)) {
    UnionMember& member = out.unions.emplace_back();
    member.all = eat_ident_kw("ALL");
    eat_kw(Keyword::Distinct);  // UNION DISTINCT is plain UNION
    VBK_TRY(parse_select_core(member.select));
  }
  move_union_tail(out);
  return {};
}

// ORDER BY, LIMIT and OFFSET written after the last member apply to the whole
// union, unless the first member already has its own.
void Parser::move_union_tail(SelectStmt& s) {
  if (s.unions.empty() || !s.order_by.empty() || s.limit || s.offset) return;
  SelectStmt& last = s.unions.back().select;
  s.order_by = std::move(last.order_by);
  s.limit = std::move(last.limit);
  s.offset = std::move(last.offset);
  last.order_by.clear();
  last.limit.reset();
  last.offset.reset();
}

// Fills a fresh SelectStmt; its `unions` stay empty.
Result<void> Parser::parse_select_core(SelectStmt& s) {
  VBK_TRY(expect_kw(Keyword::Select));
  s.distinct = eat_kw(Keyword::Distinct);
  parse_modifiers(s);
  VBK_TRY(parse_select_items(s));
  if (eat_kw(Keyword::From)) VBK_TRY(parse_from(s));
  return parse_select_tail(s);
}

// Query modifiers after SELECT [DISTINCT]; all but SQL_CALC_FOUND_ROWS have
// no effect.
void Parser::parse_modifiers(SelectStmt& s) {
  while (is_any_word(peek(), {"SQL_CALC_FOUND_ROWS", "SQL_CACHE", "SQL_NO_CACHE", "STRAIGHT_JOIN",
                              "HIGH_PRIORITY", "SQL_BIG_RESULT", "SQL_SMALL_RESULT",
                              "SQL_BUFFER_RESULT"})) {
    if (take().is_word("SQL_CALC_FOUND_ROWS")) s.calc_found_rows = true;
  }
}

Result<void> Parser::parse_select_items(SelectStmt& s) {
  do {
    VBK_TRY(parse_select_item(s));
  } while (eat(kComma));
  return {};
}

Result<void> Parser::parse_select_item(SelectStmt& s) {
  if (peek().is(Token::Kind::Star) ||
      (peek().is(Token::Kind::Ident) && peek_at(1).is(Token::Kind::Dot) &&
       peek_at(2).is(Token::Kind::Star))) {
    parse_star_item(s);
    return {};
  }
  SelectItem& item = s.items.emplace_back();
  item.kind = SelectItem::Kind::Expr;
  item.expr = VBK_TRY(parse_expr(0));
  return parse_alias(item.alias);
}

// [AS] alias, for result columns and table references.
Result<void> Parser::parse_alias(std::optional<std::string>& alias) {
  if (peek().is(Token::Kind::Ident) || eat_kw(Keyword::As)) alias = VBK_TRY(expect_ident());
  return {};
}

// * or qualifier.*, which take no alias.
void Parser::parse_star_item(SelectStmt& s) {
  if (eat(Token::Kind::Star)) {
    s.items.push_back(SelectItem::Star());
    return;
  }
  s.items.push_back(SelectItem::TableStar(take().take_text()));
  skip();  // .
  skip();  // *
}

// WHERE, GROUP BY, HAVING, ORDER BY and LIMIT, each optional, in this order.
Result<void> Parser::parse_select_tail(SelectStmt& s) {
  if (eat_kw(Keyword::Where)) VBK_TRY(parse_expr_into(s.where));
  if (eat_kw(Keyword::Group)) {
    VBK_TRY(expect_kw(Keyword::By));
    VBK_TRY(parse_expr_list(s.group_by));
  }
  if (eat_kw(Keyword::Having)) VBK_TRY(parse_expr_into(s.having));
  if (eat_kw(Keyword::Order)) VBK_TRY(parse_order_by(s));
  if (eat_kw(Keyword::Limit)) VBK_TRY(parse_limit(s));
  return {};
}

Result<void> Parser::parse_expr_into(std::optional<Expr>& out) {
  out = VBK_TRY(parse_expr(0));
  return {};
}

Result<void> Parser::parse_order_by(SelectStmt& s) {
  VBK_TRY(expect_kw(Keyword::By));
  do {
    OrderTerm& term = s.order_by.emplace_back();
    term.expr = VBK_TRY(parse_expr(0));
    if (eat_kw(Keyword::Desc)) {
      term.desc = true;
    } else {
      eat_kw(Keyword::Asc);
    }
  } while (eat(kComma));
  return {};
}

Result<void> Parser::parse_limit(SelectStmt& s) {
  VBK_TRY(parse_expr_into(s.limit));
  if (eat_kw(Keyword::Offset)) return parse_expr_into(s.offset);
  if (!eat(kComma)) return {};
  // LIMIT a, b: skip a rows, return b.
  s.offset = std::move(s.limit);
  return parse_expr_into(s.limit);
}

Result<void> Parser::parse_from(SelectStmt& s) {
  VBK_TRY(append_table_ref(s));
  bool right_join = false;
  for (;;) {
    while (eat(kComma)) VBK_TRY(append_table_ref(s));
    Join join = VBK_TRY(parse_join_head(s));
    if (join == Join::None) break;
    VBK_TRY(parse_join_on(s.from.back(), join));
    right_join |= join == Join::Right;
  }
  if (right_join) return rewrite_right_join(s);
  return {};
}

// [LEFT [OUTER] | RIGHT [OUTER] | INNER | CROSS] JOIN table [alias], the
// table appended; Join::None (nothing consumed) when no join follows.
Result<Parser::Join> Parser::parse_join_head(SelectStmt& s) {
  Join join;
  if (eat_kw(Keyword::Left)) {
    eat_kw(Keyword::Outer);
    join = Join::Left;
  } else if (eat_kw(Keyword::Right)) {
    eat_kw(Keyword::Outer);
    join = Join::Right;
  } else if (eat_kw(Keyword::Inner) || eat_kw(Keyword::Cross) || peek().is_keyword(Keyword::Join)) {
    join = Join::Inner;
  } else {
    return Join::None;
  }
  VBK_TRY(expect_kw(Keyword::Join));
  VBK_TRY(append_table_ref(s));
  return join;
}

// The ON condition of a joined table: required for outer joins.
Result<void> Parser::parse_join_on(JoinedTable& entry, Join join) {
  if (eat_kw(Keyword::On)) {
    VBK_TRY(parse_expr_into(entry.on));
  } else if (join != Join::Inner) {
    return fail<void>("outer JOIN requires an ON clause");
  }
  entry.outer = join != Join::Inner;
  return {};
}

// A RIGHT JOIN B ON c becomes B LEFT JOIN A ON c; only two tables qualify.
Result<void> Parser::rewrite_right_join(SelectStmt& s) {
  if (s.from.size() != 2) return err("RIGHT JOIN is only supported between exactly two tables");
  JoinedTable& a = s.from[0];
  JoinedTable& b = s.from[1];
  a.on = std::move(b.on);
  a.outer = true;
  b.on.reset();
  b.outer = false;
  std::swap(a, b);
  return {};
}

Result<void> Parser::append_table_ref(SelectStmt& s) {
  auto [table, alias] = VBK_TRY(parse_table_ref());
  s.from.push_back(JoinedTable{std::move(table), std::move(alias), std::nullopt, false});
  return {};
}

Result<std::pair<std::string, std::optional<std::string>>> Parser::parse_table_ref() {
  std::string table = VBK_TRY(expect_ident());
  std::optional<std::string> alias;
  VBK_TRY(parse_alias(alias));
  return std::pair{std::move(table), std::move(alias)};
}

}  // namespace vbk
