#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Characters received from the device and not yet consumed, oldest first. Each character keeps
// its position in the stream of arrivals for good, so a copy that catches up with another only
// touches what changed since: appending, consuming from the front, catching up and searching
// again after more arrived all cost time in proportion to the characters moved or newly seen.
class TReceiveBuffer {
 public:
  static constexpr size_t npos = std::string_view::npos;

  TReceiveBuffer();
  // A copy would share positions with text it never saw.
  TReceiveBuffer(const TReceiveBuffer&) = delete;
  TReceiveBuffer& operator=(const TReceiveBuffer&) = delete;

  std::string_view View() const { return std::string_view(Data).substr(Front); }
  size_t size() const { return Data.size() - Front; }
  bool empty() const { return size() == 0; }
  // REQUIRES: i < size().
  char operator[](size_t i) const { return Data[Front + i]; }
  std::string substr(size_t pos, size_t n = npos) const;
  // Index of the first character that is one of `chars`, or npos. Asked again with the same set,
  // it does not search again the characters it has already searched.
  size_t find_first_of(std::string_view chars) const;
  size_t find(char c) const { return find_first_of(std::string_view(&c, 1)); }

  void Append(std::string_view text);
  void Consume(size_t n);  // drops up to n characters from the front
  void Clear() { Consume(size()); }
  // Replaces the content by `text`, as a stream of its own.
  void Assign(std::string_view text);
  // Drops from the front what `source` has consumed and appends what it holds beyond this end,
  // so the two agree from the front to the shorter end. A source of another stream, or one that
  // still holds characters this one has consumed, is copied whole.
  void CatchUp(const TReceiveBuffer& source);

 private:
  uint64_t End() const { return Start + size(); }

  std::string Data;
  size_t Front = 0;    // index in Data of the first character not consumed
  uint64_t Stream;     // which stream of arrivals the characters belong to
  uint64_t Start = 0;  // stream position of the first character not consumed
  mutable std::string SearchSet;
  mutable uint64_t SearchedTo = 0;  // no character of SearchSet stands before this position
};
