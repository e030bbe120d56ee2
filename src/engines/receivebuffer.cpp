#include "engines/receivebuffer.h"

#include <algorithm>
#include <atomic>

namespace {

uint64_t NewStream() {
  static std::atomic<uint64_t> next{1};
  return next++;
}

// Below this many consumed characters the front is left in place.
constexpr size_t kCompactFrom = 4096;

}  // namespace

TReceiveBuffer::TReceiveBuffer() : Stream(NewStream()) {}

std::string TReceiveBuffer::substr(size_t pos, size_t n) const {
  return pos >= size() ? std::string() : std::string(View().substr(pos, n));
}

size_t TReceiveBuffer::find_first_of(std::string_view chars) const {
  if (SearchSet != chars) {
    SearchSet = chars;
    SearchedTo = Start;
  }
  const size_t from = SearchedTo > Start ? static_cast<size_t>(SearchedTo - Start) : 0;
  const size_t p = View().find_first_of(chars, from);
  SearchedTo = Start + (p == npos ? size() : p);
  return p;
}

void TReceiveBuffer::Append(std::string_view text) {
  Data.append(text);
}

void TReceiveBuffer::Consume(size_t n) {
  n = std::min(n, size());
  Front += n;
  Start += n;
  // Moving the rest down only once it is no longer than what was dropped keeps each character's
  // share of the moves constant.
  if (Front == Data.size()) {
    Data.clear();
    Front = 0;
  } else if (Front >= kCompactFrom && Front >= Data.size() / 2) {
    Data.erase(0, Front);
    Front = 0;
  }
}

void TReceiveBuffer::Assign(std::string_view text) {
  Data.assign(text);
  Front = 0;
  Stream = NewStream();
  Start = 0;
  SearchSet.clear();
}

void TReceiveBuffer::CatchUp(const TReceiveBuffer& source) {
  if (&source == this) return;
  if (source.Stream != Stream || source.Start < Start || source.Start > End()) {
    Data.assign(source.View());
    Front = 0;
    Stream = source.Stream;
    Start = source.Start;
    SearchSet.clear();
    return;
  }
  Consume(static_cast<size_t>(source.Start - Start));
  if (source.End() > End()) Append(source.View().substr(static_cast<size_t>(End() - source.Start)));
}
