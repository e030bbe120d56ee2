#pragma once

#include <string>
#include <string_view>

// Outside data (script lines, file names, settings values, device replies) as a message quotes
// it: unchanged up to `max` characters, otherwise its first `max` characters and a mark that
// says how many more were cut. A quote never floods the status box or a terminal.
inline constexpr size_t kExcerptMax = 256;
std::string Excerpt(std::string_view text, size_t max = kExcerptMax);
