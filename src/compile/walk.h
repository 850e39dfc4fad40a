#pragma once

// A pre-order walk over an expression tree with an explicit stack, so that
// neither left-deep operator chains nor any other shape recurses. Children
// are visited left to right: operands in the order written, CASE as
// operand, each WHEN then its THEN, then ELSE. The SELECT of a subquery is
// never entered.

#include <vector>

#include "sql/ast.h"

namespace vbk::compile {

enum class Visit { Descend, Skip, Stop };

// Calls f(node) on every node reached; f decides whether the node's
// children are visited (Descend), passed over (Skip), or the walk ends
// (Stop). Returns false when f stopped it.
template <typename F>
bool walk_expr(const Expr& root, F&& f) {
  std::vector<const Expr*> stack{&root};
  auto push = [&](const Box<Expr>& b) {
    if (b) stack.push_back(b.get());
  };
  while (!stack.empty()) {
    const Expr* e = stack.back();
    stack.pop_back();
    Visit v = f(*e);
    if (v == Visit::Stop) return false;
    if (v == Visit::Skip) continue;
    // Pushed right to left so that the leftmost child is visited first.
    switch (e->kind()) {
      case Expr::Kind::Unary: push(e->as<Expr::Unary>().expr); break;
      case Expr::Kind::Cast: push(e->as<Expr::Cast>().expr); break;
      case Expr::Kind::IsNull: push(e->as<Expr::IsNull>().expr); break;
      case Expr::Kind::Aggregate: push(e->as<Expr::Aggregate>().arg); break;
      case Expr::Kind::InSubquery: push(e->as<Expr::InSubquery>().expr); break;
      case Expr::Kind::Binary: {
        const auto& b = e->as<Expr::Binary>();
        push(b.right);
        push(b.left);
        break;
      }
      case Expr::Kind::Like: {
        const auto& l = e->as<Expr::Like>();
        push(l.pattern);
        push(l.expr);
        break;
      }
      case Expr::Kind::Function: {
        const auto& args = e->as<Expr::Function>().args;
        for (auto it = args.rbegin(); it != args.rend(); ++it) stack.push_back(&*it);
        break;
      }
      case Expr::Kind::InList: {
        const auto& in = e->as<Expr::InList>();
        for (auto it = in.list.rbegin(); it != in.list.rend(); ++it) stack.push_back(&*it);
        push(in.expr);
        break;
      }
      case Expr::Kind::Case: {
        const auto& c = e->as<Expr::Case>();
        push(c.else_expr);
        for (auto it = c.whens.rbegin(); it != c.whens.rend(); ++it) {
          stack.push_back(&it->then);
          stack.push_back(&it->when);
        }
        push(c.operand);
        break;
      }
      default: break;
    }
  }
  return true;
}

}  // namespace vbk::compile
