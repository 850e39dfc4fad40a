#include "vdbe/kinds.h"

#include <array>

namespace vbk::vdbe {

namespace {

constexpr std::array<std::string_view, 13> kBinNames = {
    "Add", "Sub", "Mul", "Div", "Mod", "Eq", "Ne", "Lt", "Le", "Gt", "Ge", "And", "Or"};

constexpr std::array<std::string_view, 2> kUnNames = {"Not", "Neg"};

constexpr std::array<std::string_view, 24> kScalarNames = {
    "Abs",    "Length", "Upper",  "Lower",   "Coalesce", "Typeof",    "Substr",   "Round",
    "Replace", "Trim",  "Ltrim",  "Rtrim",   "Ifnull",   "Nullif",    "Concat",   "Year",
    "Month",  "Day",    "Hour",   "Minute",  "Second",   "Week",      "DayOfWeek", "DayOfYear"};

constexpr std::array<std::string_view, 7> kAggNames = {"CountStar", "Count", "Sum", "Avg",
                                                       "Min",       "Max",   "Any"};

// SQL names (upper case, as the parser stores them) and the function each
// calls. Some functions have two names.
struct SqlName {
  std::string_view name;
  ScalarKind kind;
};
constexpr SqlName kSqlNames[] = {
    {"ABS", ScalarKind::Abs},           {"LENGTH", ScalarKind::Length},
    {"CHAR_LENGTH", ScalarKind::Length}, {"CHARACTER_LENGTH", ScalarKind::Length},
    {"UPPER", ScalarKind::Upper},       {"UCASE", ScalarKind::Upper},
    {"LOWER", ScalarKind::Lower},       {"LCASE", ScalarKind::Lower},
    {"COALESCE", ScalarKind::Coalesce}, {"TYPEOF", ScalarKind::Typeof},
    {"SUBSTR", ScalarKind::Substr},     {"SUBSTRING", ScalarKind::Substr},
    {"ROUND", ScalarKind::Round},
    {"REPLACE", ScalarKind::Replace},   {"TRIM", ScalarKind::Trim},
    {"LTRIM", ScalarKind::Ltrim},       {"RTRIM", ScalarKind::Rtrim},
    {"IFNULL", ScalarKind::Ifnull},     {"NULLIF", ScalarKind::Nullif},
    {"CONCAT", ScalarKind::Concat},     {"YEAR", ScalarKind::Year},
    {"MONTH", ScalarKind::Month},       {"DAY", ScalarKind::Day},
    {"DAYOFMONTH", ScalarKind::Day},    {"HOUR", ScalarKind::Hour},
    {"MINUTE", ScalarKind::Minute},     {"SECOND", ScalarKind::Second},
    {"WEEK", ScalarKind::Week},         {"WEEKOFYEAR", ScalarKind::Week},
    {"DAYOFWEEK", ScalarKind::DayOfWeek}, {"DAYOFYEAR", ScalarKind::DayOfYear},
};

}  // namespace

std::string_view bin_kind_name(BinKind k) { return kBinNames[static_cast<size_t>(k)]; }
std::string_view un_kind_name(UnKind k) { return kUnNames[static_cast<size_t>(k)]; }
std::string_view scalar_kind_name(ScalarKind k) { return kScalarNames[static_cast<size_t>(k)]; }
std::string_view agg_kind_name(AggKind k) { return kAggNames[static_cast<size_t>(k)]; }

std::optional<ScalarKind> scalar_kind_from_name(std::string_view name) {
  for (const SqlName& n : kSqlNames) {
    if (n.name == name) return n.kind;
  }
  return std::nullopt;
}

}  // namespace vbk::vdbe
