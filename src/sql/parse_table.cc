// CREATE TABLE's body and the column of ALTER TABLE ... ADD. The grammar is
// tolerant: it accepts and drops size arguments, character sets, collations,
// comments, display attributes, foreign keys and full-text or spatial
// indexes, and keeps only what the engine uses.

#include <string>

#include "sql/parser_state.h"
#include "util/unicode.h"

namespace vbk {

Result<ColumnDef> Parser::parse_column_def() {
  ColumnDef col;
  col.name = VBK_TRY(expect_ident());

  if (peek().is(Token::Kind::Ident)) {
    col.type_name = take().take_text();
    // Size arguments: VARCHAR(255), DECIMAL(10, 2), ENUM('a', 'b').
    if (eat(kLParen)) {
      do {
        skip();
      } while (eat(kComma));
      VBK_TRY(expect(kRParen));
    }
    // Type attributes, only directly after the type.
    while (peek().is(Token::Kind::Ident)) {
      if (is_any_word(peek(), {"BINARY", "UNSIGNED", "ZEROFILL"})) {
        skip();
      } else if (is_any_word(peek(), {"CHARSET", "COLLATE", "CHARACTER"})) {
        skip();
        eat_kw(Keyword::Set);
        skip();  // the character set's or collation's name
      } else {
        break;
      }
    }
  }

  for (;;) {
    const Token& t = peek();
    if (t.is_keyword(Keyword::Primary)) {
      skip();
      VBK_TRY(expect_kw(Keyword::Key));
      col.constraints.push_back(Constraint::PrimaryKey());
    } else if (t.is_keyword(Keyword::Not)) {
      skip();
      VBK_TRY(expect_kw(Keyword::Null));
      col.constraints.push_back(Constraint::NotNull());
    } else if (t.is_keyword(Keyword::Null) || t.is_keyword(Keyword::Key)) {
      skip();
    } else if (t.is_keyword(Keyword::Unique)) {
      skip();
      eat_kw(Keyword::Key);
      col.constraints.push_back(Constraint::Unique());
    } else if (t.is_keyword(Keyword::Default)) {
      skip();
      Expr value = VBK_TRY(parse_default_value());
      col.constraints.push_back(Constraint::Default(std::move(value)));
    } else if (t.is_keyword(Keyword::On)) {
      // ON UPDATE CURRENT_TIMESTAMP
      skip();
      skip();
      skip();
    } else if (is_any_word(t, {"BINARY", "UNSIGNED", "ZEROFILL"})) {
      skip();
    } else if (is_any_word(t, {"COLLATE", "COMMENT"})) {
      skip();
      skip();
    } else if (t.is_word("AUTO_INCREMENT")) {
      skip();
      col.constraints.push_back(Constraint::AutoIncrement());
    } else {
      return col;
    }
  }
}

// DEFAULT takes only literals; the sign of a number is folded into it here,
// unlike in expressions. Words (CURRENT_TIMESTAMP, NOW(), TRUE) give NULL.
Result<Expr> Parser::parse_default_value() {
  const Token& t = peek();
  switch (t.kind()) {
    case Token::Kind::Int: return Expr::Integer{take().int_value()};
    case Token::Kind::Real: return Expr::Real{take().real_value()};
    case Token::Kind::Str: return Expr::Text{take().take_text()};
    case Token::Kind::Minus: {
      skip();
      const Token& n = peek();
      // The tokenizer never makes a negative Int, so negation cannot overflow.
      if (n.is(Token::Kind::Int)) return Expr::Integer{-take().int_value()};
      if (n.is(Token::Kind::Real)) return Expr::Real{-take().real_value()};
      return err_found("expected a number after '-', found ");
    }
    case Token::Kind::Keyword:
      if (t.is_keyword(Keyword::Null)) {
        skip();
        return Expr{};
      }
      [[fallthrough]];
    case Token::Kind::Ident:
      skip();
      if (eat(kLParen)) VBK_TRY(expect(kRParen));
      return Expr{};
    default: return err_found("expected a DEFAULT value, found ");
  }
}

Result<std::vector<std::string>> Parser::parse_index_columns() {
  VBK_TRY(expect(kLParen));
  std::vector<std::string> columns;
  for (;;) {
    columns.push_back(VBK_TRY(expect_ident()));
    if (eat(kLParen)) {  // a prefix length
      skip();
      VBK_TRY(expect(kRParen));
    }
    eat_kw(Keyword::Asc);
    eat_kw(Keyword::Desc);
    if (eat(kComma)) continue;
    VBK_TRY(expect(kRParen));
    return columns;
  }
}

Result<TableIndex> Parser::parse_table_index() {
  TableIndex index;
  if (eat_kw(Keyword::Primary)) {
    VBK_TRY(expect_kw(Keyword::Key));
    index.unique = true;
    index.primary = true;
  } else if (eat_kw(Keyword::Unique)) {
    eat_kw(Keyword::Key);
    eat_kw(Keyword::Index);
    index.unique = true;
    index.name = opt_index_name();
  } else {
    skip();  // KEY or INDEX
    index.name = opt_index_name();
  }
  index.columns = VBK_TRY(parse_index_columns());
  return index;
}

// Drops one element (FOREIGN KEY ..., CONSTRAINT ..., FULLTEXT ..., SPATIAL
// ...) up to the comma or closing parenthesis that ends it.
void Parser::skip_element() {
  uint64_t depth = 0;
  for (;;) {
    const Token& t = peek();
    if (t.is(Token::Kind::Eof)) return;
    if (t.is(kRParen) || t.is(kComma)) {
      if (depth == 0) return;
      if (t.is(kRParen)) --depth;
    } else if (t.is(kLParen)) {
      ++depth;
    }
    skip();
  }
}

Result<Statement> Parser::parse_create_table() {
  Statement::CreateTable ct;
  ct.if_not_exists = VBK_TRY(parse_if_not_exists());
  ct.name = VBK_TRY(expect_ident());
  VBK_TRY(expect(kLParen));
  do {
    const Token& t = peek();
    if (is_any_word(t, {"SPATIAL", "FOREIGN", "FULLTEXT", "CONSTRAINT"})) {
      skip_element();
    } else if (t.is_keyword(Keyword::Primary) || t.is_keyword(Keyword::Key) ||
               t.is_keyword(Keyword::Index) || t.is_keyword(Keyword::Unique)) {
      ct.indexes.push_back(VBK_TRY(parse_table_index()));
    } else {
      ct.columns.push_back(VBK_TRY(parse_column_def()));
    }
  } while (eat(kComma));
  VBK_TRY(expect(kRParen));
  // Table options (ENGINE=..., DEFAULT CHARSET=...) and anything else up to
  // the separator are ignored.
  skip_table_options();

  // The PRIMARY KEY pass: a one-column clause marks its column (and
  // vanishes, also when it names no column of the table); a clause of
  // several columns stays as an unnamed unique index.
  for (TableIndex& index : ct.indexes) {
    if (!index.primary) continue;
    if (index.columns.size() >= 2) {
      index.unique = true;
      index.primary = false;
      continue;
    }
    for (ColumnDef& col : ct.columns) {
      if (!unicode::ascii_iequals(col.name, index.columns[0])) continue;
      bool marked = false;
      for (const Constraint& c : col.constraints) marked |= c.kind == Constraint::Kind::PrimaryKey;
      if (!marked) col.constraints.push_back(Constraint::PrimaryKey());
      break;
    }
  }
  std::erase_if(ct.indexes, [](const TableIndex& index) { return index.primary; });
  return ct;
}

}  // namespace vbk
