// The log entries of one file that create mode publishes on a worker
// thread, kept until the file's turn comes: queued then in the order of the
// files, the log reads as if one file were published after another. One
// thread at a time may use an object; replay() after the writer is done.
#pragma once

#include <string>
#include <vector>

namespace quor {

class DeferredLog {
 public:
  void line(std::string text) { entries_.push_back({false, std::move(text)}); }
  void error(std::string text) { entries_.push_back({true, std::move(text)}); }

  // Queues the entries with logLine and logError, in the order they came.
  void replay() const;

 private:
  struct Entry {
    bool error;
    std::string text;
  };
  std::vector<Entry> entries_;
};

}  // namespace quor
