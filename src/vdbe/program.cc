#include "vdbe/program.h"

#include <array>

#include "util/debug_text.h"
#include "util/number_format.h"

namespace vbk::vdbe {

namespace {

constexpr std::array kOpNames = {
#define VBK_OP_NAME(kind_name, fields) std::string_view(#kind_name),
    VBK_OPS(VBK_OP_NAME)
#undef VBK_OP_NAME
};

// One printer per operand type; literals print bare, not as a Value's debug
// text.
void put(std::string& out, uint32_t v) { out += std::to_string(v); }
void put(std::string& out, int64_t v) { out += std::to_string(v); }
void put(std::string& out, double v) { append_real(out, v); }
void put(std::string& out, bool v) { out += v ? "true" : "false"; }
void put(std::string& out, const Target& t) { out += std::to_string(t.at); }
void put(std::string& out, const std::string& s) { append_quoted_debug(out, s); }
void put(std::string& out, BinKind k) { out += bin_kind_name(k); }
void put(std::string& out, UnKind k) { out += un_kind_name(k); }
void put(std::string& out, ScalarKind k) { out += scalar_kind_name(k); }
void put(std::string& out, CastType k) { out += cast_type_name(k); }
void put(std::string& out, const ParamSrc& p) { append_debug(out, p); }

template <typename List>
void put_list(std::string& out, const List& list) {
  out += '[';
  bool first = true;
  for (const auto& e : list) {
    if (!first) out += ", ";
    first = false;
    if constexpr (std::is_same_v<List, std::vector<bool>>) {
      put(out, static_cast<bool>(e));
    } else if constexpr (std::is_same_v<List, Bytes>) {
      put(out, uint32_t{e});
    } else {
      put(out, e);
    }
  }
  out += ']';
}
void put(std::string& out, const Bytes& v) { put_list(out, v); }
void put(std::string& out, const std::vector<bool>& v) { put_list(out, v); }
void put(std::string& out, const std::vector<uint32_t>& v) { put_list(out, v); }
void put(std::string& out, const std::vector<ParamSrc>& v) { put_list(out, v); }

// Appends " { a: 1, b: 2 }" (nothing for a kind without fields).
class FieldPrinter {
 public:
  explicit FieldPrinter(std::string& out) : out_(out) {}
  template <typename T>
  void field(const char* name, const T& value) {
    out_ += first_ ? " { " : ", ";
    first_ = false;
    out_ += name;
    out_ += ": ";
    put(out_, value);
  }
  void finish() {
    if (!first_) out_ += " }";
  }

 private:
  std::string& out_;
  bool first_ = true;
};

}  // namespace

std::string_view op_kind_name(Op::Kind k) { return kOpNames[static_cast<size_t>(k)]; }

void append_debug(std::string& out, const ParamSrc& p) {
  switch (p.kind) {
    case ParamSrc::Kind::Rowid:
      out += "Rowid(" + std::to_string(p.a) + ")";
      return;
    case ParamSrc::Kind::Column:
      out += "Column(" + std::to_string(p.a) + ", " + std::to_string(p.b) + ")";
      return;
    case ParamSrc::Kind::Param:
      out += "Param(" + std::to_string(p.a) + ")";
      return;
  }
}

void Op::append_debug(std::string& out) const {
  out += op_kind_name(kind());
  FieldPrinter fp(out);
  std::visit(
      [&](const auto& o) {
        using T = std::decay_t<decltype(o)>;
#define F(type, name) fp.field(#name, o.name);
#define VBK_OP_PRINT(kind_name, fields)             \
  if constexpr (std::is_same_v<T, Op::kind_name>) { \
    fields                                          \
  }
        VBK_OPS(VBK_OP_PRINT)
#undef VBK_OP_PRINT
#undef F
        (void)o;
      },
      v);
  fp.finish();
}

std::string Op::debug() const {
  std::string out;
  append_debug(out);
  return out;
}

Target* Op::jump_target() {
  return const_cast<Target*>(static_cast<const Op*>(this)->jump_target());
}

const Target* Op::jump_target() const {
  const Target* t = nullptr;
  std::visit(
      [&](const auto& o) {
        using T = std::decay_t<decltype(o)>;
#define F(type, name)                               \
  if constexpr (std::is_same_v<type, Target>) { \
    t = &o.name;                                \
  }
#define VBK_OP_TARGET(kind_name, fields)            \
  if constexpr (std::is_same_v<T, Op::kind_name>) { \
    fields                                          \
  }
        VBK_OPS(VBK_OP_TARGET)
#undef VBK_OP_TARGET
#undef F
        (void)o;
      },
      v);
  return t;
}

std::string Program::listing() const {
  std::string out;
  for (size_t i = 0; i < ops.size(); ++i) {
    out += std::to_string(i);
    out += ": ";
    ops[i].append_debug(out);
    out += '\n';
  }
  return out;
}

}  // namespace vbk::vdbe
