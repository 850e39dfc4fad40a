#pragma once

// A compact prefix form of syntax trees for test expectations:
//   1 + 2 * 3            (+ 1 (* 2 3))
//   NOT a IS NULL        (not (isnull a))
//   x NOT IN (1, 2)      (notin x 1 2)
//   x IN (SELECT 1)      (insub x {select [1]})
//   COUNT(DISTINCT a)    (count distinct a)
//   CASE WHEN a THEN 1 END   (case (when a 1))
// and of SELECT statements:
//   {select distinct items [a (+ b 1) as c *] from [t u as v (left w on (= 1 1))]
//    where ... group [..] having ... order [a desc] limit ... offset ... union all {...}}
// Tests only: recursion here is bounded by the small trees tests build.

#include <string>

#include "sql/ast.h"
#include "util/number_format.h"

namespace vbk::sqltest {

namespace tree_text_detail {

inline const char* binary_op(BinaryOp op) {
  switch (op) {
    case BinaryOp::Add: return "+";
    case BinaryOp::Sub: return "-";
    case BinaryOp::Mul: return "*";
    case BinaryOp::Div: return "/";
    case BinaryOp::Mod: return "%";
    case BinaryOp::Eq: return "=";
    case BinaryOp::Ne: return "!=";
    case BinaryOp::Lt: return "<";
    case BinaryOp::Le: return "<=";
    case BinaryOp::Gt: return ">";
    case BinaryOp::Ge: return ">=";
    case BinaryOp::And: return "and";
    case BinaryOp::Or: return "or";
  }
  return "?";
}

inline const char* agg_name(AggFunc f) {
  switch (f) {
    case AggFunc::Count: return "count";
    case AggFunc::Sum: return "sum";
    case AggFunc::Avg: return "avg";
    case AggFunc::Min: return "min";
    case AggFunc::Max: return "max";
    case AggFunc::Any: return "any";
  }
  return "?";
}

inline void append(std::string& out, const Expr& e);
inline void append(std::string& out, const SelectStmt& s);

inline void append_list(std::string& out, const std::vector<Expr>& list) {
  for (const Expr& x : list) {
    out += ' ';
    append(out, x);
  }
}

inline void append(std::string& out, const Expr& e) {
  switch (e.kind()) {
    case Expr::Kind::Null: out += "NULL"; break;
    case Expr::Kind::Integer: out += std::to_string(e.as<Expr::Integer>().value); break;
    case Expr::Kind::Real:
      out += 'r';
      append_real(out, e.as<Expr::Real>().value);
      break;
    case Expr::Kind::Text: out += "'" + e.as<Expr::Text>().value + "'"; break;
    case Expr::Kind::Blob: {
      out += "x'";
      for (uint8_t b : e.as<Expr::Blob>().bytes) {
        static const char kHex[] = "0123456789abcdef";
        out += kHex[b >> 4];
        out += kHex[b & 15];
      }
      out += "'";
      break;
    }
    case Expr::Kind::Column: {
      const auto& c = e.as<Expr::Column>();
      if (c.table) out += *c.table + ".";
      out += c.name;
      break;
    }
    case Expr::Kind::Unary: {
      const auto& u = e.as<Expr::Unary>();
      out += u.op == UnaryOp::Neg ? "(neg " : "(not ";
      append(out, *u.expr);
      out += ')';
      break;
    }
    case Expr::Kind::Binary: {
      const auto& b = e.as<Expr::Binary>();
      out += '(';
      out += binary_op(b.op);
      out += ' ';
      append(out, *b.left);
      out += ' ';
      append(out, *b.right);
      out += ')';
      break;
    }
    case Expr::Kind::IsNull: {
      const auto& n = e.as<Expr::IsNull>();
      out += n.negated ? "(notnull " : "(isnull ";
      append(out, *n.expr);
      out += ')';
      break;
    }
    case Expr::Kind::Aggregate: {
      const auto& a = e.as<Expr::Aggregate>();
      out += '(';
      out += agg_name(a.func);
      if (a.distinct) out += " distinct";
      if (a.arg) {
        out += ' ';
        append(out, *a.arg);
      } else {
        out += " *";
      }
      out += ')';
      break;
    }
    case Expr::Kind::Function: {
      const auto& f = e.as<Expr::Function>();
      out += '(' + f.name;
      append_list(out, f.args);
      out += ')';
      break;
    }
    case Expr::Kind::Cast: {
      const auto& c = e.as<Expr::Cast>();
      out += "(cast ";
      append(out, *c.expr);
      out += ' ';
      out += cast_type_name(c.target);
      out += ')';
      break;
    }
    case Expr::Kind::Subquery: append(out, *e.as<Expr::Subquery>().select); break;
    case Expr::Kind::InSubquery: {
      const auto& i = e.as<Expr::InSubquery>();
      out += i.negated ? "(notinsub " : "(insub ";
      append(out, *i.expr);
      out += ' ';
      append(out, *i.select);
      out += ')';
      break;
    }
    case Expr::Kind::InList: {
      const auto& i = e.as<Expr::InList>();
      out += i.negated ? "(notin " : "(in ";
      append(out, *i.expr);
      append_list(out, i.list);
      out += ')';
      break;
    }
    case Expr::Kind::OuterParam:
      out += "outer" + std::to_string(e.as<Expr::OuterParam>().slot);
      break;
    case Expr::Kind::Param: out += "?" + std::to_string(e.as<Expr::Param>().index); break;
    case Expr::Kind::Like: {
      const auto& l = e.as<Expr::Like>();
      out += l.negated ? "(notlike " : "(like ";
      append(out, *l.expr);
      out += ' ';
      append(out, *l.pattern);
      out += ')';
      break;
    }
    case Expr::Kind::Case: {
      const auto& c = e.as<Expr::Case>();
      out += "(case";
      if (c.operand) {
        out += ' ';
        append(out, *c.operand);
      }
      for (const CaseWhen& w : c.whens) {
        out += " (when ";
        append(out, w.when);
        out += ' ';
        append(out, w.then);
        out += ')';
      }
      if (c.else_expr) {
        out += " (else ";
        append(out, *c.else_expr);
        out += ')';
      }
      out += ')';
      break;
    }
  }
}

inline void append(std::string& out, const SelectStmt& s) {
  out += "{select";
  if (s.distinct) out += " distinct";
  if (s.calc_found_rows) out += " calc";
  out += " [";
  const char* sep = "";
  for (const SelectItem& item : s.items) {
    out += sep;
    sep = " ";
    switch (item.kind) {
      case SelectItem::Kind::Star: out += '*'; break;
      case SelectItem::Kind::TableStar: out += item.qualifier + ".*"; break;
      case SelectItem::Kind::Expr:
        append(out, item.expr);
        if (item.alias) out += " as " + *item.alias;
        break;
    }
  }
  out += ']';
  if (!s.from.empty()) {
    out += " from [";
    sep = "";
    for (const JoinedTable& t : s.from) {
      out += sep;
      sep = " ";
      if (t.on || t.outer) out += t.outer ? "(left " : "(join ";
      out += t.table;
      if (t.alias) out += " as " + *t.alias;
      if (t.on) {
        out += " on ";
        append(out, *t.on);
      }
      if (t.on || t.outer) out += ')';
    }
    out += ']';
  }
  if (s.where) {
    out += " where ";
    append(out, *s.where);
  }
  if (!s.group_by.empty()) {
    out += " group [";
    sep = "";
    for (const Expr& g : s.group_by) {
      out += sep;
      sep = " ";
      append(out, g);
    }
    out += ']';
  }
  if (s.having) {
    out += " having ";
    append(out, *s.having);
  }
  if (!s.order_by.empty()) {
    out += " order [";
    sep = "";
    for (const OrderTerm& o : s.order_by) {
      out += sep;
      sep = " ";
      append(out, o.expr);
      if (o.desc) out += " desc";
    }
    out += ']';
  }
  if (s.limit) {
    out += " limit ";
    append(out, *s.limit);
  }
  if (s.offset) {
    out += " offset ";
    append(out, *s.offset);
  }
  for (const UnionMember& m : s.unions) {
    out += m.all ? " union all " : " union ";
    append(out, m.select);
  }
  out += '}';
}

}  // namespace tree_text_detail

inline std::string tree_text(const Expr& e) {
  std::string out;
  tree_text_detail::append(out, e);
  return out;
}

inline std::string tree_text(const SelectStmt& s) {
  std::string out;
  tree_text_detail::append(out, s);
  return out;
}

}  // namespace vbk::sqltest
