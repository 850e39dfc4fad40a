// The statement grammar: dispatch on a statement's first word, and every
// statement except SELECT itself and the body of CREATE TABLE.

#include <string>

#include "sql/parser_state.h"
#include "util/unicode.h"

namespace vbk {

Result<Statement> Parser::parse_statement() {
  const Token& t = peek();
  if (t.is_word("REPLACE")) return parse_insert();
  if (t.is_word("START")) {
    skip();
    eat_txn_noise();
    return Statement::Begin{};
  }
  if (t.is_word("ALTER")) return parse_alter();
  if (t.is(Token::Kind::Keyword)) {
    switch (t.keyword()) {
      case Keyword::Select: {
        Statement::Select select;
        VBK_TRY(parse_select(select.select));
        return select;
      }
      case Keyword::Insert: return parse_insert();
      case Keyword::Create: return parse_create();
      case Keyword::Drop: return parse_drop();
      case Keyword::Update: return parse_update();
      case Keyword::Delete: return parse_delete();
      case Keyword::Begin:
        skip();
        eat_txn_noise();
        return Statement::Begin{};
      case Keyword::Commit:
        skip();
        eat_txn_noise();
        return Statement::Commit{};
      case Keyword::Rollback:
        skip();
        eat_txn_noise();
        return Statement::Rollback{};
      case Keyword::Pragma: return parse_pragma();
      default: break;
    }
  }
  return err_found("expected a statement, found ");
}

Result<Statement> Parser::parse_insert() {
  Statement::Insert ins;
  if (eat_ident_kw("REPLACE")) {
    ins.on_conflict = OnConflict::Replace{};
  } else {
    VBK_TRY(expect_kw(Keyword::Insert));
    if (eat_ident_kw("IGNORE")) ins.on_conflict = OnConflict::Ignore{};
    if (eat_kw(Keyword::Or)) {
      // INSERT OR ABORT / FAIL / ROLLBACK keep the handling they had.
      Token word = take();
      if (word.is_word("IGNORE")) {
        ins.on_conflict = OnConflict::Ignore{};
      } else if (word.is_word("REPLACE")) {
        ins.on_conflict = OnConflict::Replace{};
      }
    }
  }
  VBK_TRY(expect_kw(Keyword::Into));
  ins.table = VBK_TRY(expect_ident());

  if (eat(kLParen)) ins.columns = VBK_TRY(parse_name_list());

  if (peek().is_keyword(Keyword::Select)) {
    InsertSource::Select select;
    VBK_TRY(parse_select(select.select));
    ins.source = std::move(select);
  } else {
    VBK_TRY(expect_kw(Keyword::Values));
    InsertSource::Values rows;
    for (bool first = true;; first = false) {
      VBK_TRY(expect(kLParen));
      uint64_t before = rows.values.size();
      VBK_TRY(parse_expr_list(rows.values));
      uint64_t count = rows.values.size() - before;
      VBK_TRY(expect(kRParen));
      if (first) {
        rows.width = count;
      } else if (count != rows.width) {
        return err("all VALUES rows must have " + std::to_string(rows.width) + " columns, got " +
                   std::to_string(count));
      }
      if (!eat(kComma)) break;
    }
    ins.source = std::move(rows);
  }

  // With IGNORE or REPLACE the ON is left for the statement loop to reject.
  if (ins.on_conflict.is<OnConflict::None>() && eat_kw(Keyword::On)) {
    VBK_TRY(expect_ident_kw("DUPLICATE"));
    VBK_TRY(expect_kw(Keyword::Key));
    VBK_TRY(expect_kw(Keyword::Update));
    std::vector<Assignment> pairs = VBK_TRY(parse_assignments());
    ins.on_conflict = OnConflict::Update{std::move(pairs)};
  }
  return ins;
}

Result<std::vector<Assignment>> Parser::parse_assignments() {
  std::vector<Assignment> out;
  do {
    Assignment a;
    a.column = VBK_TRY(expect_ident());
    VBK_TRY(expect(Token::Kind::Eq));
    a.value = VBK_TRY(parse_expr(0));
    out.push_back(std::move(a));
  } while (eat(kComma));
  return out;
}

Result<std::optional<Expr>> Parser::parse_opt_where() {
  if (!eat_kw(Keyword::Where)) return std::optional<Expr>();
  Expr where = VBK_TRY(parse_expr(0));
  return std::optional<Expr>(std::move(where));
}

Result<Statement> Parser::parse_create() {
  skip();  // CREATE
  if (eat_kw(Keyword::Unique)) {
    if (!eat_kw(Keyword::Index)) return err("expected INDEX after CREATE UNIQUE");
    return parse_create_index(true);
  }
  if (eat_kw(Keyword::Index)) return parse_create_index(false);
  VBK_TRY(expect_kw(Keyword::Table));
  return parse_create_table();
}

Result<Statement> Parser::parse_create_index(bool unique) {
  Statement::CreateIndex ci;
  ci.unique = unique;
  ci.if_not_exists = VBK_TRY(parse_if_not_exists());
  ci.name = VBK_TRY(expect_ident());
  VBK_TRY(expect_kw(Keyword::On));
  ci.table = VBK_TRY(expect_ident());
  VBK_TRY(expect(kLParen));
  ci.columns = VBK_TRY(parse_name_list());
  return ci;
}

// name {, name} ) after an opening parenthesis.
Result<std::vector<std::string>> Parser::parse_name_list() {
  std::vector<std::string> names;
  do {
    names.push_back(VBK_TRY(expect_ident()));
  } while (eat(kComma));
  VBK_TRY(expect(kRParen));
  return names;
}

Result<bool> Parser::parse_if_not_exists() {
  if (!eat_kw(Keyword::If)) return false;
  VBK_TRY(expect_kw(Keyword::Not));
  VBK_TRY(expect_kw(Keyword::Exists));
  return true;
}

Result<Statement> Parser::parse_drop() {
  skip();  // DROP
  bool index = eat_kw(Keyword::Index);
  if (!index) VBK_TRY(expect_kw(Keyword::Table));
  bool if_exists = false;
  if (eat_kw(Keyword::If)) {
    VBK_TRY(expect_kw(Keyword::Exists));
    if_exists = true;
  }
  std::string name = VBK_TRY(expect_ident());
  if (index) return Statement::DropIndex{if_exists, std::move(name)};
  return Statement::DropTable{if_exists, std::move(name)};
}

Result<Statement> Parser::parse_update() {
  skip();  // UPDATE
  Statement::Update up;
  up.table = VBK_TRY(expect_ident());
  VBK_TRY(expect_kw(Keyword::Set));
  up.assignments = VBK_TRY(parse_assignments());
  up.where = VBK_TRY(parse_opt_where());
  return up;
}

Result<Statement> Parser::parse_delete() {
  skip();  // DELETE
  Statement::Delete del;
  VBK_TRY(expect_kw(Keyword::From));
  del.table = VBK_TRY(expect_ident());
  del.where = VBK_TRY(parse_opt_where());
  return del;
}

Result<Statement> Parser::parse_alter() {
  skip();  // ALTER
  VBK_TRY(expect_kw(Keyword::Table));
  Statement::AlterTableAdd alter;
  alter.table = VBK_TRY(expect_ident());
  if (!eat_ident_kw("ADD")) return err("only ALTER TABLE ... ADD [COLUMN] is supported");
  eat_ident_kw("COLUMN");
  alter.column = VBK_TRY(parse_column_def());
  return alter;
}

Result<Statement> Parser::parse_pragma() {
  skip();  // PRAGMA
  Statement::Pragma pragma;
  pragma.name = VBK_TRY(expect_ident());
  if (!eat(Token::Kind::Eq)) return pragma;
  switch (peek().kind()) {
    case Token::Kind::Int: pragma.value = std::to_string(take().int_value()); break;
    case Token::Kind::Str:
    case Token::Kind::Ident: pragma.value = take().take_text(); break;
    case Token::Kind::Keyword: {
      // ON gives on, DELETE gives delete.
      std::string lower;
      unicode::append_ascii_lower(lower, keyword_name(take().keyword()));
      pragma.value = std::move(lower);
      break;
    }
    default: return err_found("expected a pragma value, found ");
  }
  return pragma;
}

}  // namespace vbk
