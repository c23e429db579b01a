// Text made safe for HTML element content and quoted attribute values, for
// the program's reports: the characters < > & " become entity references,
// every other byte (UTF-8 included) stays.
#pragma once

#include <string>

namespace imgnormcli {

inline std::string htmlEscape(const std::string& s) {
  std::string o;
  o.reserve(s.size());
  for (char c : s) {
    switch (c) {
      case '<':
        o += "&lt;";
        break;
      case '>':
        o += "&gt;";
        break;
      case '&':
        o += "&amp;";
        break;
      case '"':
        o += "&quot;";
        break;
      default:
        o += c;
    }
  }
  return o;
}

}  // namespace imgnormcli
