// Tool output arrives in pieces that end anywhere, also inside a line; this cuts it into lines.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tessaro {

class LineAssembler {
 public:
  // Calls `line` with every line that `piece` completes, without its line feed.
  template <typename Line>
  void feed(std::string_view piece, Line&& line) {
    while (!piece.empty()) {
      const size_t end = piece.find('\n');
      if (end == std::string_view::npos) {
        partial_.append(piece);
        return;
      }
      if (partial_.empty()) {
        line(piece.substr(0, end));
      } else {
        partial_.append(piece.substr(0, end));
        line(std::string_view(partial_));
        partial_.clear();
      }
      piece.remove_prefix(end + 1);
    }
  }

  // Calls `line` with the text after the last line feed, when there is any.
  template <typename Line>
  void finish(Line&& line) {
    if (partial_.empty()) return;
    const std::string last = std::exchange(partial_, std::string());
    line(std::string_view(last));
  }

 private:
  std::string partial_;  // the unfinished last line so far
};

}  // namespace tessaro
