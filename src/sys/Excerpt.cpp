#include "sys/Excerpt.h"

std::string Excerpt(std::string_view text, size_t max) {
  if (text.size() <= max) return std::string(text);
  return std::string(text.substr(0, max)) + "...[" + std::to_string(text.size() - max) +
         " more characters cut]";
}
