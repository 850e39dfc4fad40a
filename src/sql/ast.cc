#include "sql/ast.h"

#include <cstddef>

#include "util/unicode.h"

namespace vbk {

namespace {

// The left operand of a node the parser builds in its operator loop, through
// which chains grow without bound; nullptr for every other kind.
template <typename N>
auto link_of(N& node) -> decltype(&std::get<Expr::Binary>(node).left) {
  switch (static_cast<Expr::Kind>(node.index())) {
    case Expr::Kind::Binary: return &std::get<Expr::Binary>(node).left;
    case Expr::Kind::IsNull: return &std::get<Expr::IsNull>(node).expr;
    case Expr::Kind::Like: return &std::get<Expr::Like>(node).expr;
    case Expr::Kind::InList: return &std::get<Expr::InList>(node).expr;
    case Expr::Kind::InSubquery: return &std::get<Expr::InSubquery>(node).expr;
    default: return nullptr;
  }
}

// Makes `to` a copy of the chain node `from` whose chain link is `link`.
void copy_with_link(const Expr::Node& from, Box<Expr> link, Expr::Node& to) {
  switch (static_cast<Expr::Kind>(from.index())) {
    case Expr::Kind::Binary: {
      const auto& b = std::get<Expr::Binary>(from);
      to.emplace<Expr::Binary>(b.op, std::move(link), b.right);
      return;
    }
    case Expr::Kind::IsNull:
      to.emplace<Expr::IsNull>(std::move(link), std::get<Expr::IsNull>(from).negated);
      return;
    case Expr::Kind::Like: {
      const auto& l = std::get<Expr::Like>(from);
      to.emplace<Expr::Like>(std::move(link), l.pattern, l.negated);
      return;
    }
    case Expr::Kind::InList: {
      const auto& l = std::get<Expr::InList>(from);
      to.emplace<Expr::InList>(std::move(link), l.list, l.negated);
      return;
    }
    case Expr::Kind::InSubquery: {
      const auto& s = std::get<Expr::InSubquery>(from);
      to.emplace<Expr::InSubquery>(std::move(link), s.select, s.negated);
      return;
    }
    default: fault("copy_with_link on a node that is no chain");
  }
}

// Equality of two chain nodes of the same kind, their chain links aside.
bool equal_without_link(const Expr::Node& a, const Expr::Node& b) {
  switch (static_cast<Expr::Kind>(a.index())) {
    case Expr::Kind::Binary: {
      const auto& x = std::get<Expr::Binary>(a);
      const auto& y = std::get<Expr::Binary>(b);
      return x.op == y.op && x.right == y.right;
    }
    case Expr::Kind::IsNull:
      return std::get<Expr::IsNull>(a).negated == std::get<Expr::IsNull>(b).negated;
    case Expr::Kind::Like: {
      const auto& x = std::get<Expr::Like>(a);
      const auto& y = std::get<Expr::Like>(b);
      return x.negated == y.negated && x.pattern == y.pattern;
    }
    case Expr::Kind::InList: {
      const auto& x = std::get<Expr::InList>(a);
      const auto& y = std::get<Expr::InList>(b);
      return x.negated == y.negated && x.list == y.list;
    }
    case Expr::Kind::InSubquery: {
      const auto& x = std::get<Expr::InSubquery>(a);
      const auto& y = std::get<Expr::InSubquery>(b);
      return x.negated == y.negated && x.select == y.select;
    }
    default: fault("equal_without_link on a node that is no chain");
  }
}

}  // namespace

Expr::Expr(const Expr& other) {
  // Walk down the chain, copy its bottom (whose children are bounded in
  // depth) with the ordinary copy, then rebuild the chain bottom-up, each
  // new node taking the copy below it as its chain link.
  std::vector<const Expr*> spine;
  const Expr* e = &other;
  for (auto* link = link_of(e->node); link != nullptr && *link; link = link_of(e->node)) {
    spine.push_back(e);
    e = link->get();
  }
  if (spine.empty()) {
    node = other.node;
    return;
  }
  auto below = std::make_unique<Expr>(*e);
  for (size_t i = spine.size() - 1; i > 0; --i) {
    auto copy = std::make_unique<Expr>();
    copy_with_link(spine[i]->node, Box<Expr>(std::move(below)), copy->node);
    below = std::move(copy);
  }
  copy_with_link(other.node, Box<Expr>(std::move(below)), node);
}

Box<Expr>* Expr::chain_link() { return link_of(node); }
const Box<Expr>* Expr::chain_link() const { return link_of(node); }

Expr& Expr::operator=(const Expr& other) {
  if (this != &other) *this = Expr(other);
  return *this;
}

Expr& Expr::operator=(Expr&& other) noexcept {
  // The source may live inside this node's subtree: take it out before the
  // old value is destroyed.
  Node keep = std::move(other.node);
  node = std::move(keep);
  return *this;
}

Expr::~Expr() {
  // Unlink the chain one node at a time, so that no destructor ever finds a
  // chain below it.
  auto* link = link_of(node);
  if (link == nullptr || !*link) return;
  std::unique_ptr<Expr> next = link->take();
  while (next != nullptr) {
    auto* below = link_of(next->node);
    std::unique_ptr<Expr> after = (below != nullptr) ? below->take() : nullptr;
    next = std::move(after);
  }
}

bool operator==(const Expr& a, const Expr& b) {
  const Expr* x = &a;
  const Expr* y = &b;
  for (;;) {
    if (x->node.index() != y->node.index()) return false;
    const auto* lx = link_of(x->node);
    if (lx == nullptr) return x->node == y->node;
    if (!equal_without_link(x->node, y->node)) return false;
    const auto* ly = link_of(y->node);
    if (!*lx || !*ly) return !*lx && !*ly;
    x = lx->get();
    y = ly->get();
  }
}

bool operator==(const Expr::Case&, const Expr::Case&) = default;
bool operator==(const SelectStmt&, const SelectStmt&) = default;

SelectItem SelectItem::Expr(vbk::Expr e, std::optional<std::string> alias) {
  SelectItem item;
  item.kind = Kind::Expr;
  item.expr = std::move(e);
  item.alias = std::move(alias);
  return item;
}

SelectItem SelectItem::TableStar(std::string qualifier) {
  SelectItem item;
  item.kind = Kind::TableStar;
  item.qualifier = std::move(qualifier);
  return item;
}

std::optional<AggFunc> agg_func_from_name(std::string_view name) {
  static constexpr std::pair<std::string_view, AggFunc> kNames[] = {
      {"COUNT", AggFunc::Count}, {"SUM", AggFunc::Sum}, {"AVG", AggFunc::Avg},
      {"MIN", AggFunc::Min},     {"MAX", AggFunc::Max},
  };
  for (const auto& [word, func] : kNames) {
    if (unicode::ascii_iequals(name, word)) return func;
  }
  return std::nullopt;
}

CastType cast_type_from_type_name(std::string_view name) {
  std::string upper;
  unicode::append_ascii_upper(upper, name);
  auto contains = [&](std::string_view part) { return upper.find(part) != std::string::npos; };
  if (contains("INT") || contains("SIGNED")) return CastType::Integer;
  for (std::string_view part : {"CHAR", "TEXT", "CLOB", "BINARY", "DATE", "TIME"}) {
    if (contains(part)) return CastType::Text;
  }
  return CastType::Real;
}

std::string_view cast_type_name(CastType t) {
  switch (t) {
    case CastType::Integer: return "Integer";
    case CastType::Real: return "Real";
    case CastType::Text: return "Text";
  }
  return "?";
}

}  // namespace vbk
