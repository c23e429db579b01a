#include "common/warnings.h"

#include <cstdio>

namespace imgnormcli {

void Warnings::warn(const std::string& kind, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto [it, fresh] = byKind_.emplace(kind, Entry{kind, text, 0});
  ++it->second.count;
  if (!fresh) return;
  order_.push_back(kind);
  if (printer_)
    printer_("warning: " + text);
  else
    std::fprintf(stderr, "imgnorm: warning: %s\n", text.c_str());
}

std::vector<Warnings::Entry> Warnings::entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Entry> out;
  for (const std::string& k : order_) out.push_back(byKind_.at(k));
  return out;
}

}  // namespace imgnormcli
