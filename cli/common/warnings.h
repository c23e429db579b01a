// The warnings of one command of the imgnorm program: each kind printed once,
// however many images meet it, and listed again in summaries and reports.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace imgnormcli {

// Warnings of one command: each kind printed once on standard error (the
// first occurrence, naming its file), however many images meet it.  Safe to
// use from several threads.  Warnings never change a result.
class Warnings {
public:
  struct Entry {
    std::string kind;   // a short name ("overlap", "histogram-count")
    std::string text;   // the first message
    std::size_t count;  // how often it was met
  };
  // Prints "imgnorm: warning: TEXT" the first time kind is met.
  void warn(const std::string& kind, const std::string& text);
  std::vector<Entry> entries() const;
  // Where the first occurrences go (standard error when none): a batch routes
  // them past its progress line.
  void printer(std::function<void(const std::string&)> print) {
    std::lock_guard<std::mutex> lock(mutex_);
    printer_ = std::move(print);
  }

private:
  std::function<void(const std::string&)> printer_;
  mutable std::mutex mutex_;
  std::vector<std::string> order_;
  std::map<std::string, Entry> byKind_;
};

}  // namespace imgnormcli
