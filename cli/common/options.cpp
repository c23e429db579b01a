#include "common/options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cwctype>

#include "baseif/mxStr.h"
#include "common/cli_error.h"
#include "imgnorm/checks.h"

namespace imgnormcli {

using namespace mxImageNormalizerDefs;

const std::vector<MethodInfo>& methodTable() {
  static const std::vector<MethodInfo> table = [] {
    std::vector<MethodInfo> t;
    for (const MethodInfo& m : kMethods)
      if (m.method != eIdentity) t.push_back(m);
    t.push_back(*methodInfo(eIdentity));
    return t;
  }();
  return table;
}

std::string methodNameList() {
  std::string s;
  for (const MethodInfo& m : methodTable()) s += (s.empty() ? "" : ", ") + std::string(m.name);
  return s;
}

Method parseMethod(const std::string& text, const std::string& option) {
  if (const MethodInfo* m = methodByName(text)) return m->method;
  throw CliError(kExitUsage, option + ": unknown method '" + text + "' (known: " + methodNameList() + ")");
}

Method parseMethodList(const std::string& text, const std::string& option) {
  std::uint32_t set = 0;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (item == "all")
      set |= kAllMethods;
    else if (item.empty())
      throw CliError(kExitUsage, option + ": empty method name in '" + text + "'");
    else
      set |= parseMethod(item, option);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return Method(set);
}

std::string methodCliName(Method method) {
  for (const MethodInfo& m : methodTable())
    if (m.method == method) return m.name;
  return "method " + std::to_string(std::uint32_t(method));
}

std::string methodSetText(std::uint32_t methods) {
  std::string s;
  for (const MethodInfo& m : methodTable())
    if (m.method != eIdentity && (methods & m.method)) s += (s.empty() ? "" : ", ") + std::string(m.name);
  if (methods & ~kAllMethods) s += (s.empty() ? "" : ", ") + std::string("unknown bits");
  return s.empty() ? "none" : s;
}

std::string userMessage(const std::wstring& toolMessage) {
  switch (ruleOf(toolMessage)) {
    case Rule::eTailFractions:
      return "the tail fractions must satisfy 0 <= LOW <= HIGH <= 1";
    case Rule::eNeighborhoodSize:
      return "the neighbourhood's width and height must be at least 1";
    case Rule::eGranularity:
      return "the granularity's width and height must be at least 1";
    case Rule::eIntensityRange:
      return "the intensity range must satisfy LOW <= 0 <= HIGH";
    case Rule::eReferenceBound:
      return "there is no reference image";
    default:
      return mfToUtf8(toolMessage);
  }
}

const std::vector<ParameterOption>& parameterOptions() {
  static const std::vector<ParameterOption> table = {
      {L"trainedMethods", "--methods"},        {L"method", "--method"},
      {L"keepMaskedPixels", "--keep-masked"},  {L"tailFractions", "--tail-fractions"},
      {L"neighborhoodSize", "--neighborhood"}, {L"granularity", "--granularity"},
      {L"intensityRange", "--intensity-range"}};
  return table;
}

std::pair<std::string, std::string> parameterAsOption(const std::wstring& field, const std::wstring& value) {
  std::string option = mfToUtf8(field);
  for (const ParameterOption& p : parameterOptions())
    if (field == p.field) option = p.option;
  if (field == L"method") {
    for (const MethodInfo& m : kMethods)
      if (value == m.enumerator) return {option, m.name};
    return {option, mfToUtf8(value)};
  }
  if (field == L"trainedMethods") {
    // "(1 | 4 | )": the flags' values.
    std::uint32_t set = 0;
    for (std::size_t i = 0; i < value.size();) {
      if (std::iswdigit(value[i])) {
        std::size_t end = i;
        set |= std::uint32_t(std::wcstoul(value.c_str() + i, nullptr, 10));
        while (end < value.size() && std::iswdigit(value[end])) ++end;
        i = end;
      } else {
        ++i;
      }
    }
    return {option, methodSetText(set)};
  }
  if (value == L"true" || value == L"false") return {option, value == L"true" ? "yes" : "no"};
  std::wstring v;
  for (wchar_t c : value)
    if (c != L'(' && c != L')' && c != L' ') v += c;
  return {option, mfToUtf8(v.empty() ? value : v)};
}

namespace {

bool parseReal(const std::string& t, double& v) {
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  v = std::strtod(t.c_str(), &end);
  return errno == 0 && end == t.c_str() + t.size() && std::isfinite(v);
}

bool parseInt(const std::string& t, std::int32_t& v) {
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long x = std::strtoll(t.c_str(), &end, 10);
  if (errno != 0 || end != t.c_str() + t.size() || x < INT32_MIN || x > INT32_MAX) return false;
  v = std::int32_t(x);
  return true;
}

// Splits "a,b" (or "axb" when allowX) into two parts; false when there is no separator.
bool splitPair(const std::string& text, bool allowX, std::string& a, std::string& b) {
  std::size_t sep = text.find(',');
  if (sep == std::string::npos && allowX) sep = text.find_first_of("xX");
  if (sep == std::string::npos) return false;
  a = text.substr(0, sep);
  b = text.substr(sep + 1);
  return true;
}

}  // namespace

mxPair<double> parseRealPair(const std::string& text, const std::string& option) {
  std::string a, b;
  double x, y;
  if (!splitPair(text, false, a, b) || !parseReal(a, x) || !parseReal(b, y))
    throw CliError(kExitUsage, option + ": expected two numbers LOW,HIGH, got '" + text + "'");
  return {x, y};
}

mxPair<std::int32_t> parseIntPair(const std::string& text, const std::string& option, bool allowSingle) {
  std::string a, b;
  std::int32_t x, y;
  if (splitPair(text, allowSingle, a, b)) {
    if (parseInt(a, x) && parseInt(b, y)) return {x, y};
  } else if (allowSingle && parseInt(text, x)) {
    return {x, x};
  }
  throw CliError(kExitUsage, option + ": expected " + std::string(allowSingle ? "N, W,H or WxH" : "two integers A,B") +
                                 ", got '" + text + "'");
}

}  // namespace imgnormcli
