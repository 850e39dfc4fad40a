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

// The SELECT of a subquery node (scalar or IN), or null for any other node.
inline const SelectStmt* subquery_select(const Expr& e) {
  if (const auto* q = e.get_if<Expr::Subquery>()) return q->select.get();
  if (const auto* q = e.get_if<Expr::InSubquery>()) return q->select.get();
  return nullptr;
}

// Calls f(expr) on each expression of a SELECT's own clauses, in order:
// result items, ON conditions, WHERE, GROUP BY, HAVING, ORDER BY, LIMIT,
// OFFSET (not those of its UNION members), until f returns true; then the
// result is true.
template <typename F>
bool any_clause_expr(const SelectStmt& s, F&& f) {
  for (const SelectItem& item : s.items) {
    if (item.kind == SelectItem::Kind::Expr && f(item.expr)) return true;
  }
  for (const JoinedTable& j : s.from) {
    if (j.on && f(*j.on)) return true;
  }
  if (s.where && f(*s.where)) return true;
  for (const Expr& g : s.group_by) {
    if (f(g)) return true;
  }
  if (s.having && f(*s.having)) return true;
  for (const OrderTerm& o : s.order_by) {
    if (f(o.expr)) return true;
  }
  if (s.limit && f(*s.limit)) return true;
  return s.offset && f(*s.offset);
}

}  // namespace vbk::compile
