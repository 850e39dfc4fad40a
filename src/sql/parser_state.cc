#include "sql/parser_state.h"

#include "sql/parser.h"
#include "sql/tokenizer.h"

namespace vbk {

Token Parser::take() {
  Token t = std::move(tokens[pos].token);
  skip();
  return t;
}

void Parser::skip() {
  tokens[pos].token.reset();
  if (pos + 1 < tokens.size()) ++pos;
}

bool Parser::eat(Token::Kind k) {
  if (!peek().is(k)) return false;
  skip();
  return true;
}

bool Parser::eat_kw(Keyword k) {
  if (!peek().is_keyword(k)) return false;
  skip();
  return true;
}

bool Parser::eat_ident_kw(std::string_view word) {
  if (!peek().is_word(word)) return false;
  skip();
  return true;
}

Result<void> Parser::expect(Token::Kind k) {
  if (eat(k)) return {};
  std::string msg = "expected ";
  Token(k).append_debug(msg);
  msg += ", found ";
  return err_found(msg);
}

Result<void> Parser::expect_kw(Keyword k) {
  if (eat_kw(k)) return {};
  std::string msg = "expected keyword ";
  msg += keyword_name(k);
  msg += ", found ";
  return err_found(msg);
}

Result<std::string> Parser::expect_ident() {
  if (!peek().is(Token::Kind::Ident)) return err_found("expected identifier, found ");
  return take().take_text();
}

Result<void> Parser::expect_ident_kw(std::string_view word) {
  if (eat_ident_kw(word)) return {};
  std::string msg = "expected ";
  msg += word;
  msg += ", found ";
  return err_found(msg);
}

std::optional<std::string> Parser::opt_index_name() {
  if (!peek().is(Token::Kind::Ident)) return std::nullopt;
  return take().take_text();
}

void Parser::eat_txn_noise() {
  if (is_any_word(peek(), {"WORK", "TRANSACTION"})) skip();
}

void Parser::skip_table_options() {
  while (!peek().is(Token::Kind::Semicolon) && !peek().is(Token::Kind::Eof)) skip();
}

std::unexpected<Error> Parser::err(std::string msg) const {
  return std::unexpected(Error::Parse(std::move(msg), tokens[pos].pos));
}

std::unexpected<Error> Parser::err_found(std::string_view prefix) const {
  std::string msg(prefix);
  peek().append_debug(msg);
  return err(std::move(msg));
}

namespace parser {

Result<std::vector<Statement>> parse(std::string_view sql, uint64_t* param_count) {
  std::vector<Spanned> tokens = VBK_TRY(token::tokenize(sql));
  Parser p(std::move(tokens));
  std::vector<Statement> out;
  for (;;) {
    while (p.eat(Token::Kind::Semicolon)) {
    }
    if (p.peek().is(Token::Kind::Eof)) break;
    out.push_back(VBK_TRY(p.parse_statement()));
    if (p.eat(Token::Kind::Semicolon)) continue;
    if (p.peek().is(Token::Kind::Eof)) break;
    return p.err("expected ';' or end of input after statement");
  }
  if (param_count) *param_count = p.next_param;
  return out;
}

}  // namespace parser

}  // namespace vbk
