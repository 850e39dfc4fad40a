#pragma once

// The syntax tree: what parser::parse returns, one Statement per statement of
// the text. The compiler and the engine read it constantly, so the sum types
// Expr, Statement, InsertSource and OnConflict share one shape: a `Kind` enum
// whose numbers are fixed, a std::variant `node` of payload structs in that
// same order (so `node.index()` is the kind), and `get_if<P>()` / `as<P>()`
// to reach a payload; a node is built from its payload
// (`Expr e = Expr::Integer{5};`). SelectItem and Constraint, whose variants
// carry at most one field, are a `kind` and plain fields with factories named
// after the variants. A tree is plain data: every node owns its children
// outright, nothing is shared, and nothing points back into the SQL text.
//
// Optional children are `std::optional` where the child's type is complete at
// that point, and an empty Box inside Expr payloads (Box doubles as "absent").

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "error.h"

namespace vbk {

// An owning pointer with value semantics: copying copies the pointee and
// comparing compares the pointees (two empty boxes are equal, an empty and a
// full one are not). Used for the children of recursive nodes.
template <typename T>
class Box {
 public:
  Box() = default;
  // From anything a T can be made of (a T, or for Expr one of its payloads);
  // implicit on purpose, so that payloads read naturally.
  template <typename U>
    requires(!std::is_same_v<std::remove_cvref_t<U>, Box>) && std::is_constructible_v<T, U&&>
  Box(U&& value) : p_(std::make_unique<T>(std::forward<U>(value))) {}  // NOLINT
  explicit Box(std::unique_ptr<T> p) : p_(std::move(p)) {}
  Box(const Box& o) : p_(o.p_ ? std::make_unique<T>(*o.p_) : nullptr) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& o) {
    if (this != &o) p_ = o.p_ ? std::make_unique<T>(*o.p_) : nullptr;
    return *this;
  }
  Box& operator=(Box&& o) noexcept {
    // Take the source out first: it may live inside what this box owns.
    std::unique_ptr<T> keep = std::move(o.p_);
    p_ = std::move(keep);
    return *this;
  }
  ~Box() = default;

  explicit operator bool() const { return p_ != nullptr; }
  T& operator*() const { return *p_; }
  T* operator->() const { return p_.get(); }
  T* get() const { return p_.get(); }
  std::unique_ptr<T> take() { return std::move(p_); }

  friend bool operator==(const Box& a, const Box& b) {
    if (!a.p_ || !b.p_) return !a.p_ && !b.p_;
    return *a.p_ == *b.p_;
  }

 private:
  std::unique_ptr<T> p_;
};

// Whether P is one of the alternatives of the std::variant V: the payload
// types from which a node may be built implicitly.
template <typename P, typename V>
inline constexpr bool kIsAlternative = false;
template <typename P, typename... Ts>
inline constexpr bool kIsAlternative<P, std::variant<Ts...>> = (std::is_same_v<P, Ts> || ...);

// Shared accessors of the tree's sum types. Derived types hold `node`, a
// std::variant whose alternative index equals their Kind.
template <typename Self>
struct NodeAccess {
  template <typename P>
  bool is() const { return std::holds_alternative<P>(self().node); }
  template <typename P>
  P* get_if() { return std::get_if<P>(&self().node); }
  template <typename P>
  const P* get_if() const { return std::get_if<P>(&self().node); }
  // The payload, which the caller knows to be of this kind.
  template <typename P>
  P& as() {
    P* p = get_if<P>();
    if (p == nullptr) fault("syntax tree node read as the wrong kind");
    return *p;
  }
  template <typename P>
  const P& as() const {
    const P* p = get_if<P>();
    if (p == nullptr) fault("syntax tree node read as the wrong kind");
    return *p;
  }

  // The derived type's defaulted equality compares `node`; this base adds nothing.
  friend bool operator==(const NodeAccess&, const NodeAccess&) = default;

 private:
  const Self& self() const { return static_cast<const Self&>(*this); }
  Self& self() { return static_cast<Self&>(*this); }
};

// The numbers of these four enums are shared with the virtual machine and
// must not change.
enum class BinaryOp : uint8_t { Add, Sub, Mul, Div, Mod, Eq, Ne, Lt, Le, Gt, Ge, And, Or };

// The virtual machine numbers its unary kinds the other way round; the
// compiler converts.
enum class UnaryOp : uint8_t { Neg, Not };

enum class AggFunc : uint8_t { Count, Sum, Avg, Min, Max, Any };

// COUNT, SUM, AVG, MIN and MAX by name, ASCII case ignored; nothing for any
// other name. Any is made only by the query compiler.
std::optional<AggFunc> agg_func_from_name(std::string_view name);

enum class CastType : uint8_t { Integer, Real, Text };

// The target of CAST(x AS name): the first rule that matches the name,
// upper-cased in ASCII: contains INT or SIGNED: Integer; contains CHAR, TEXT,
// CLOB, BINARY, DATE or TIME: Text; anything else (DECIMAL, BLOB ...): Real.
CastType cast_type_from_type_name(std::string_view name);

// "Integer", "Real" or "Text".
std::string_view cast_type_name(CastType t);

struct SelectStmt;
struct CaseWhen;

// An expression node.
//
// Operator chains are unbounded: the parser builds a OR b OR c ... with a loop,
// and the engine folds IN lists into chains of comparisons. The left operand
// of Binary, IsNull, Like, InList and InSubquery (the "chain link") is
// therefore never followed by recursion: destroying, copying and comparing
// walk it iteratively. Every other child is at most as deep as the parser
// allows nesting, and is handled recursively.
struct Expr : NodeAccess<Expr> {
  enum class Kind : uint8_t {
    Null,
    Integer,
    Real,
    Text,
    Column,
    Unary,
    Binary,
    IsNull,
    Aggregate,
    Function,
    Cast,
    Subquery,
    InSubquery,
    InList,
    OuterParam,
    Param,
    Like,
    Blob,
    Case,
  };

  struct Null {
    friend bool operator==(const Null&, const Null&) = default;
  };
  struct Integer {
    int64_t value = 0;  // never negative in a parsed expression
    friend bool operator==(const Integer&, const Integer&) = default;
  };
  struct Real {
    double value = 0;  // compared as IEEE values: NaN unequal to itself, -0.0 == 0.0
    friend bool operator==(const Real&, const Real&) = default;
  };
  struct Text {
    std::string value;
    friend bool operator==(const Text&, const Text&) = default;
  };
  struct Column {
    std::optional<std::string> table;  // the qualifier, as written
    std::string name;
    friend bool operator==(const Column&, const Column&) = default;
  };
  struct Unary {
    UnaryOp op = UnaryOp::Neg;
    Box<Expr> expr;
    friend bool operator==(const Unary&, const Unary&) = default;
  };
  struct Binary {
    BinaryOp op = BinaryOp::Add;
    Box<Expr> left;  // chain link
    Box<Expr> right;
    friend bool operator==(const Binary&, const Binary&) = default;
  };
  struct IsNull {
    Box<Expr> expr;  // chain link
    bool negated = false;  // IS NOT NULL
    friend bool operator==(const IsNull&, const IsNull&) = default;
  };
  struct Aggregate {
    AggFunc func = AggFunc::Count;
    Box<Expr> arg;  // empty for the star form, COUNT(*)
    bool distinct = false;
    friend bool operator==(const Aggregate&, const Aggregate&) = default;
  };
  struct Function {
    std::string name;  // upper-cased in ASCII
    std::vector<Expr> args;
    friend bool operator==(const Function&, const Function&) = default;
  };
  struct Cast {
    Box<Expr> expr;
    CastType target = CastType::Integer;
    friend bool operator==(const Cast&, const Cast&) = default;
  };
  struct Subquery {
    Box<SelectStmt> select;
    friend bool operator==(const Subquery&, const Subquery&) = default;
  };
  struct InSubquery {
    Box<Expr> expr;  // chain link
    Box<SelectStmt> select;
    bool negated = false;
    friend bool operator==(const InSubquery&, const InSubquery&) = default;
  };
  struct InList {
    Box<Expr> expr;  // chain link
    std::vector<Expr> list;  // never empty
    bool negated = false;
    friend bool operator==(const InList&, const InList&) = default;
  };
  // A value a correlated subquery takes from its enclosing query; made only
  // by the query compiler.
  struct OuterParam {
    uint64_t slot = 0;
    friend bool operator==(const OuterParam&, const OuterParam&) = default;
  };
  // A ? mark, numbered from 0 across the whole text of one parse call.
  struct Param {
    uint64_t index = 0;
    friend bool operator==(const Param&, const Param&) = default;
  };
  struct Like {
    Box<Expr> expr;  // chain link
    Box<Expr> pattern;
    bool negated = false;
    friend bool operator==(const Like&, const Like&) = default;
  };
  struct Blob {
    std::vector<uint8_t> bytes;
    friend bool operator==(const Blob&, const Blob&) = default;
  };
  struct Case {
    Box<Expr> operand;                // empty without an operand
    std::vector<CaseWhen> whens;      // never empty
    Box<Expr> else_expr;              // empty without ELSE
    friend bool operator==(const Case&, const Case&);
  };

  using Node = std::variant<Null, Integer, Real, Text, Column, Unary, Binary, IsNull, Aggregate,
                            Function, Cast, Subquery, InSubquery, InList, OuterParam, Param, Like,
                            Blob, Case>;

  Node node;

  Kind kind() const { return static_cast<Kind>(node.index()); }

  Expr() = default;  // the NULL literal
  template <typename P>
    requires kIsAlternative<std::remove_cvref_t<P>, Node>
  Expr(P&& payload) : node(std::forward<P>(payload)) {}  // NOLINT: implicit on purpose

  Expr(const Expr& other);
  Expr(Expr&& other) noexcept = default;
  Expr& operator=(const Expr& other);
  Expr& operator=(Expr&& other) noexcept;
  ~Expr();

  // The chain link: the left operand of Binary, IsNull, Like, InList and
  // InSubquery; nullptr for every other kind. Whoever walks a whole tree
  // follows these iteratively.
  Box<Expr>* chain_link();
  const Box<Expr>* chain_link() const;

  friend bool operator==(const Expr& a, const Expr& b);
};

// One WHEN pair of CASE: the condition (or the value compared with the
// operand), then the result.
struct CaseWhen {
  Expr when;
  Expr then;
  friend bool operator==(const CaseWhen&, const CaseWhen&) = default;
};

// One result column.
struct SelectItem {
  enum class Kind : uint8_t { Expr, Star, TableStar };

  Kind kind = Kind::Star;
  vbk::Expr expr;                      // Kind::Expr
  std::optional<std::string> alias;    // Kind::Expr
  std::string qualifier;               // Kind::TableStar, as written

  static SelectItem Expr(vbk::Expr e, std::optional<std::string> alias = std::nullopt);
  static SelectItem Star() { return SelectItem{}; }
  static SelectItem TableStar(std::string qualifier);

  friend bool operator==(const SelectItem&, const SelectItem&) = default;
};

// One FROM entry. The first entry never has an ON condition and is never
// outer; an outer entry (the NULL-extended side of a LEFT JOIN, or of a RIGHT
// JOIN after the parser swapped its two tables) always has one.
struct JoinedTable {
  std::string table;
  std::optional<std::string> alias;
  std::optional<Expr> on;
  bool outer = false;
  friend bool operator==(const JoinedTable&, const JoinedTable&) = default;
};

struct OrderTerm {
  Expr expr;
  bool desc = false;
  friend bool operator==(const OrderTerm&, const OrderTerm&) = default;
};

struct UnionMember;

// One SELECT with its UNION members. Members never have members of their
// own: the chain is flat.
struct SelectStmt {
  std::vector<SelectItem> items;  // never empty
  std::vector<JoinedTable> from;  // empty without FROM
  std::optional<Expr> where;
  std::vector<Expr> group_by;
  std::optional<Expr> having;
  std::vector<OrderTerm> order_by;
  std::optional<Expr> limit;
  std::optional<Expr> offset;
  bool distinct = false;
  bool calc_found_rows = false;  // SQL_CALC_FOUND_ROWS
  std::vector<UnionMember> unions;

  friend bool operator==(const SelectStmt&, const SelectStmt&);
};

struct UnionMember {
  bool all = false;  // UNION ALL
  SelectStmt select;
  friend bool operator==(const UnionMember&, const UnionMember&) = default;
};

// One column constraint.
struct Constraint {
  enum class Kind : uint8_t { Default, PrimaryKey, NotNull, Unique, AutoIncrement };

  Kind kind = Kind::PrimaryKey;
  Expr value;  // Kind::Default: always a literal (Null, Integer, Real or Text)

  static Constraint Default(Expr value) { return Constraint{Kind::Default, std::move(value)}; }
  static Constraint PrimaryKey() { return Constraint{Kind::PrimaryKey, {}}; }
  static Constraint NotNull() { return Constraint{Kind::NotNull, {}}; }
  static Constraint Unique() { return Constraint{Kind::Unique, {}}; }
  static Constraint AutoIncrement() { return Constraint{Kind::AutoIncrement, {}}; }

  friend bool operator==(const Constraint&, const Constraint&) = default;
};

struct ColumnDef {
  std::string name;
  std::optional<std::string> type_name;  // the type's first word as written
  std::vector<Constraint> constraints;   // in the order written
  friend bool operator==(const ColumnDef&, const ColumnDef&) = default;
};

// A table-level KEY, INDEX or UNIQUE clause of CREATE TABLE, or a PRIMARY KEY
// clause of two or more columns (made unique). `primary` is set only while
// the parser reads the statement; no returned tree has it.
struct TableIndex {
  std::optional<std::string> name;
  std::vector<std::string> columns;
  bool unique = false;
  bool primary = false;
  friend bool operator==(const TableIndex&, const TableIndex&) = default;
};

// Where an INSERT's rows come from.
struct InsertSource : NodeAccess<InsertSource> {
  enum class Kind : uint8_t { Values, Select };
  // All rows flattened: row r, column c is values[r * width + c].
  struct Values {
    std::vector<Expr> values;
    uint64_t width = 0;
    friend bool operator==(const Values&, const Values&) = default;
  };
  struct Select {
    SelectStmt select;
    friend bool operator==(const Select&, const Select&) = default;
  };
  using Node = std::variant<Values, Select>;
  Node node;
  Kind kind() const { return static_cast<Kind>(node.index()); }

  template <typename P>
    requires kIsAlternative<std::remove_cvref_t<P>, Node>
  InsertSource(P&& payload) : node(std::forward<P>(payload)) {}  // NOLINT: implicit on purpose

  friend bool operator==(const InsertSource&, const InsertSource&) = default;
};

struct Assignment {
  std::string column;
  Expr value;
  friend bool operator==(const Assignment&, const Assignment&) = default;
};

struct OnConflict : NodeAccess<OnConflict> {
  enum class Kind : uint8_t { None, Ignore, Replace, Update };
  struct None {
    friend bool operator==(const None&, const None&) = default;
  };
  struct Ignore {
    friend bool operator==(const Ignore&, const Ignore&) = default;
  };
  struct Replace {
    friend bool operator==(const Replace&, const Replace&) = default;
  };
  // ON DUPLICATE KEY UPDATE, the pairs in the order written.
  struct Update {
    std::vector<Assignment> assignments;
    friend bool operator==(const Update&, const Update&) = default;
  };
  using Node = std::variant<None, Ignore, Replace, Update>;
  Node node;
  Kind kind() const { return static_cast<Kind>(node.index()); }

  OnConflict() = default;
  template <typename P>
    requires kIsAlternative<std::remove_cvref_t<P>, Node>
  OnConflict(P&& payload) : node(std::forward<P>(payload)) {}  // NOLINT: implicit on purpose

  friend bool operator==(const OnConflict&, const OnConflict&) = default;
};

// One parsed statement. Statement and InsertSource have no default
// constructor: their first payloads have member initialisers, which the
// compiler does not see as defaultable inside the enclosing class.
struct Statement : NodeAccess<Statement> {
  enum class Kind : uint8_t {
    CreateTable,
    DropTable,
    CreateIndex,
    DropIndex,
    Insert,
    Select,
    Update,
    Delete,
    AlterTableAdd,
    Begin,
    Commit,
    Rollback,
    Pragma,
  };

  struct CreateTable {
    bool if_not_exists = false;
    std::string name;
    std::vector<ColumnDef> columns;
    // KEY, INDEX and UNIQUE clauses and PRIMARY KEY clauses of two or more
    // columns; a one-column PRIMARY KEY clause arrives on its column.
    std::vector<TableIndex> indexes;
    friend bool operator==(const CreateTable&, const CreateTable&) = default;
  };
  struct DropTable {
    bool if_exists = false;
    std::string name;
    friend bool operator==(const DropTable&, const DropTable&) = default;
  };
  struct CreateIndex {
    bool unique = false;
    bool if_not_exists = false;
    std::string name;
    std::string table;
    std::vector<std::string> columns;
    friend bool operator==(const CreateIndex&, const CreateIndex&) = default;
  };
  struct DropIndex {
    bool if_exists = false;
    std::string name;
    friend bool operator==(const DropIndex&, const DropIndex&) = default;
  };
  struct Insert {
    std::string table;
    std::optional<std::vector<std::string>> columns;  // absent without a column list
    InsertSource source = InsertSource::Values{};
    OnConflict on_conflict;
    friend bool operator==(const Insert&, const Insert&) = default;
  };
  struct Select {
    SelectStmt select;
    friend bool operator==(const Select&, const Select&) = default;
  };
  struct Update {
    std::string table;
    std::vector<Assignment> assignments;  // in SET order
    std::optional<Expr> where;
    friend bool operator==(const Update&, const Update&) = default;
  };
  struct Delete {
    std::string table;
    std::optional<Expr> where;
    friend bool operator==(const Delete&, const Delete&) = default;
  };
  struct AlterTableAdd {
    std::string table;
    ColumnDef column;
    friend bool operator==(const AlterTableAdd&, const AlterTableAdd&) = default;
  };
  struct Begin {
    friend bool operator==(const Begin&, const Begin&) = default;
  };
  struct Commit {
    friend bool operator==(const Commit&, const Commit&) = default;
  };
  struct Rollback {
    friend bool operator==(const Rollback&, const Rollback&) = default;
  };
  struct Pragma {
    std::string name;  // as written
    std::optional<std::string> value;
    friend bool operator==(const Pragma&, const Pragma&) = default;
  };

  using Node = std::variant<CreateTable, DropTable, CreateIndex, DropIndex, Insert, Select, Update,
                            Delete, AlterTableAdd, Begin, Commit, Rollback, Pragma>;
  Node node;
  Kind kind() const { return static_cast<Kind>(node.index()); }

  template <typename P>
    requires kIsAlternative<std::remove_cvref_t<P>, Node>
  Statement(P&& payload) : node(std::forward<P>(payload)) {}  // NOLINT: implicit on purpose

  friend bool operator==(const Statement&, const Statement&) = default;
};

}  // namespace vbk
