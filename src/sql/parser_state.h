#pragma once

// The state of one parse call and the operations every grammar rule shares.
// Hand-written recursive descent over the token list, one token of
// look-ahead (two for qualifier.* in a result column), no backtracking.
//
// Consuming a token moves it out of the list (its slot becomes Eof) and
// advances, except on the final Eof, which is never passed: once there,
// every further read yields Eof again. Every error is Error::Parse at the
// position of the current token unless a rule says otherwise.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"
#include "sql/ast.h"
#include "sql/token.h"

namespace vbk {

class Parser {
 public:
  // `tokens` ends with Eof, as token::tokenize makes it.
  explicit Parser(std::vector<Spanned> tokens) : tokens(std::move(tokens)) {}

  std::vector<Spanned> tokens;
  uint64_t pos = 0;         // index of the current token
  uint64_t next_param = 0;  // number of the next ? mark; never reset between statements

  // Short names for the punctuation the grammar rules test most.
  static constexpr Token::Kind kLParen = Token::Kind::LParen;
  static constexpr Token::Kind kRParen = Token::Kind::RParen;
  static constexpr Token::Kind kComma = Token::Kind::Comma;

  // --- shared operations -------------------------------------------------
  // An identifier equal to one of `words`, ASCII case ignored.
  static bool is_any_word(const Token& t, std::initializer_list<std::string_view> words) {
    for (std::string_view w : words) {
      if (t.is_word(w)) return true;
    }
    return false;
  }
  const Token& peek() const { return tokens[pos].token; }
  // The token `ahead` places after the current one; Eof past the end.
  const Token& peek_at(uint64_t ahead) const {
    uint64_t i = pos + ahead;
    return i < tokens.size() ? tokens[i].token : tokens.back().token;
  }
  // Consumes the current token and returns it.
  Token take();
  // Consumes the current token when only its kind mattered.
  void skip();

  // eat and expect take the kinds without payload (LParen, Comma, Eq ...),
  // for which token equality is equality of kinds.
  bool eat(Token::Kind k);
  bool eat_kw(Keyword k);
  bool eat_ident_kw(std::string_view word);
  Result<void> expect(Token::Kind k);
  Result<void> expect_kw(Keyword k);
  Result<std::string> expect_ident();
  Result<void> expect_ident_kw(std::string_view word);
  std::optional<std::string> opt_index_name();
  void eat_txn_noise();
  void skip_table_options();
  // Error::Parse with `msg` at the current token.
  std::unexpected<Error> err(std::string msg) const;
  // The same as a Result of any type, built in a function of its own so that
  // callers on the recursive paths keep no temporaries for it.
  template <typename T>
  Result<T> fail(const char* msg) const {
    return err(msg);
  }
  // "{prefix}{current token's debug text}" at the current token.
  std::unexpected<Error> err_found(std::string_view prefix) const;

  // --- statements ----------------------------------------------------------
  Result<Statement> parse_statement();
  Result<Statement> parse_insert();
  Result<Statement> parse_create();
  Result<Statement> parse_create_index(bool unique);
  Result<Statement> parse_create_table();
  Result<Statement> parse_drop();
  Result<Statement> parse_update();
  Result<Statement> parse_delete();
  Result<Statement> parse_alter();
  Result<Statement> parse_pragma();
  Result<std::vector<Assignment>> parse_assignments();
  Result<std::optional<Expr>> parse_opt_where();
  Result<bool> parse_if_not_exists();  // [IF NOT EXISTS]
  Result<std::vector<std::string>> parse_name_list();

  // --- column definitions and table elements -----------------------------
  Result<ColumnDef> parse_column_def();
  Result<std::vector<std::string>> parse_index_columns();
  Result<TableIndex> parse_table_index();
  Result<Expr> parse_default_value();
  void skip_element();

  // --- SELECT --------------------------------------------------------------
  // The SELECT rules fill a SelectStmt in place: a tree node is never
  // returned by value through the recursion (see "Stack use" below).
  Result<void> parse_select(SelectStmt& out);
  Result<void> parse_select_core(SelectStmt& out);
  Result<std::pair<std::string, std::optional<std::string>>> parse_table_ref();

  // --- expressions ---------------------------------------------------------
  Result<Expr> parse_expr(uint8_t min_prec);
  Result<Expr> parse_primary();

 private:
  // Stack use. Parentheses, prefix operators, right operands, CASE, calls
  // and subqueries recurse through parse_expr, parse_primary, parse_select,
  // parse_select_core and the functions below, up to
  // parser::kMaxNestingDepth levels. Every function on those paths is kept
  // small: each grammar form is its own function, dispatchers only return
  // what they call (no temporaries), and subqueries are built in place, so
  // that even unoptimised, instrumented builds stay within a thread's stack
  // at the deepest nesting accepted.
  Result<Expr> parse_prefix(UnaryOp op, uint8_t operand_power);
  Result<void> parse_infix(uint8_t form, BinaryOp op, uint8_t power, Expr& left);
  Result<void> parse_binary_rhs(BinaryOp op, uint8_t power, Expr& left);
  Result<void> parse_is_null(Expr& left);
  Result<void> parse_in(Expr& left);
  Result<void> parse_in_subquery(Expr& left, bool negated);
  Result<void> parse_in_list(Expr& left, bool negated);
  Result<void> parse_like(Expr& left);
  Result<Expr> parse_literal();
  Result<Expr> parse_name();
  Result<Expr> parse_parenthesized();
  Result<Expr> parse_subquery();
  Result<Expr> parse_bracketed_expr();
  Result<Expr> parse_values_call();
  Result<Expr> parse_case();
  Result<void> parse_case_when(Expr::Case& c);
  Result<Expr> parse_cast();
  Result<Expr> parse_call(std::string name);
  Result<Box<SelectStmt>> parse_subselect();
  Result<void> parse_select_items(SelectStmt& s);
  Result<void> parse_select_item(SelectStmt& s);
  void parse_star_item(SelectStmt& s);
  void parse_modifiers(SelectStmt& s);
  void move_union_tail(SelectStmt& s);
  enum class Join : uint8_t { None, Inner, Left, Right };
  Result<void> parse_from(SelectStmt& s);
  Result<Join> parse_join_head(SelectStmt& s);
  Result<void> parse_join_on(JoinedTable& entry, Join join);
  Result<void> rewrite_right_join(SelectStmt& s);
  Result<void> append_table_ref(SelectStmt& s);
  Result<void> parse_expr_into(std::optional<Expr>& out);
  Result<void> parse_alias(std::optional<std::string>& alias);
  Result<void> parse_select_tail(SelectStmt& s);
  Result<void> parse_order_by(SelectStmt& s);
  Result<void> parse_limit(SelectStmt& s);
  Result<void> parse_expr_list(std::vector<Expr>& out);

  // Counts one level of nesting for as long as it lives.
  class DepthGuard {
   public:
    explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
    ~DepthGuard() { --depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

   private:
    int& depth_;
  };

  // Current nesting of parse_expr and of parse_select calls, each bounded by
  // parser::kMaxNestingDepth so that hostile text cannot exhaust the stack.
  int expr_depth_ = 0;
  int select_depth_ = 0;
};

}  // namespace vbk
