// Text made safe for HTML element content and quoted attribute values: the
// characters < > & " become entity references, every other byte stays.
//
// Used by the diagnostics folder's index and by the program's reports.
#pragma once

#include <string>

namespace mxhtml {

inline std::string escape(const std::string& s) {
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

}  // namespace mxhtml
