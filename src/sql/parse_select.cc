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
  if (peek().is(Token::Kind::Ident) || eat_kw(Keyword::As)) item.alias = VBK_TRY(expect_ident());
  return {};
}

// * or qualifier.*, which take no alias.
void Parser::parse_star_item(SelectStmt& s) {
  if (eat(Token::Kind::Star)) {
    s.items.push_back(SelectItem::Star());
    return;
  }
  s.items.push_back(SelectItem::TableStar(take().take_text()));
  take();  // .
  take();  // *
}

// WHERE, GROUP BY, HAVING, ORDER BY and LIMIT, each optional, in this order.
Result<void> Parser::parse_select_tail(SelectStmt& s) {
  if (eat_kw(Keyword::Where)) s.where = VBK_TRY(parse_expr(0));
  if (eat_kw(Keyword::Group)) {
    VBK_TRY(expect_kw(Keyword::By));
    VBK_TRY(parse_expr_list(s.group_by));
  }
  if (eat_kw(Keyword::Having)) s.having = VBK_TRY(parse_expr(0));
  if (eat_kw(Keyword::Order)) VBK_TRY(parse_order_by(s));
  if (eat_kw(Keyword::Limit)) VBK_TRY(parse_limit(s));
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
  s.limit = VBK_TRY(parse_expr(0));
  if (eat_kw(Keyword::Offset)) {
    s.offset = VBK_TRY(parse_expr(0));
  } else if (eat(kComma)) {
    // LIMIT a, b: skip a rows, return b.
    s.offset = std::move(s.limit);
    s.limit = VBK_TRY(parse_expr(0));
  }
  return {};
}

Result<void> Parser::parse_from(SelectStmt& s) {
  auto [table, alias] = VBK_TRY(parse_table_ref());
  s.from.push_back(JoinedTable{std::move(table), std::move(alias), std::nullopt, false});
  bool right_join = false;
  for (bool done = false; !done;) VBK_TRY(parse_join(s, right_join, done));

  if (right_join) {
    if (s.from.size() != 2) return err("RIGHT JOIN is only supported between exactly two tables");
    // A RIGHT JOIN B ON c is B LEFT JOIN A ON c.
    JoinedTable& a = s.from[0];
    JoinedTable& b = s.from[1];
    a.on = std::move(b.on);
    a.outer = true;
    b.on.reset();
    b.outer = false;
    std::swap(a, b);
  }
  return {};
}

// Entries after a comma, then one joined entry if a join follows; sets
// `done` when neither does.
Result<void> Parser::parse_join(SelectStmt& s, bool& right_join, bool& done) {
  while (eat(kComma)) {
    auto [table, alias] = VBK_TRY(parse_table_ref());
    s.from.push_back(JoinedTable{std::move(table), std::move(alias), std::nullopt, false});
  }
  enum class Join { Inner, Left, Right } join;
  if (eat_kw(Keyword::Left)) {
    eat_kw(Keyword::Outer);
    join = Join::Left;
  } else if (eat_kw(Keyword::Right)) {
    eat_kw(Keyword::Outer);
    join = Join::Right;
  } else if (eat_kw(Keyword::Inner) || eat_kw(Keyword::Cross) || peek().is_keyword(Keyword::Join)) {
    join = Join::Inner;
  } else {
    done = true;
    return {};
  }
  VBK_TRY(expect_kw(Keyword::Join));
  auto [table, alias] = VBK_TRY(parse_table_ref());
  JoinedTable& entry =
      s.from.emplace_back(JoinedTable{std::move(table), std::move(alias), std::nullopt, false});
  if (eat_kw(Keyword::On)) {
    entry.on = VBK_TRY(parse_expr(0));
  } else if (join != Join::Inner) {
    return err("outer JOIN requires an ON clause");
  }
  entry.outer = join != Join::Inner;
  if (join == Join::Right) right_join = true;
  return {};
}

Result<std::pair<std::string, std::optional<std::string>>> Parser::parse_table_ref() {
  std::string table = VBK_TRY(expect_ident());
  std::optional<std::string> alias;
  if (peek().is(Token::Kind::Ident) || eat_kw(Keyword::As)) alias = VBK_TRY(expect_ident());
  return std::pair{std::move(table), std::move(alias)};
}

}  // namespace vbk
