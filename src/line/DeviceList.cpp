#include "line/DeviceList.h"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <set>

#include "formats/text.h"

namespace {

// Outside text in a message, cut when it runs away.
std::string Quoted(const std::string& text) {
  return "\"" + Excerpt(text) + "\"";
}

std::vector<std::string> SplitBlanks(const std::string& text) {
  std::vector<std::string> fields;
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    size_t end = at;
    while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
    if (end > at) fields.push_back(text.substr(at, end - at));
    at = end;
  }
  return fields;
}

// Where a link leads, so that COM1 and its device path, or two names of one adapter, are one.
std::string LinkKey(const TLinkOption& link, const TSettingsLines& settings) {
  TLinkDescription d = DescribeConnection(ConnectionFromLink(link, settings));
  if (d.Transport == "serial") {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::weakly_canonical(d.Link, ec);
    if (!ec) d.Link = real.string();
  }
  return d.Transport + " " + d.Link;
}

}  // namespace

std::vector<std::string> TDeviceListCheck::Add(int line_number, const std::string& text,
                                               TLineDevice& device) {
  auto earlier = [](const TSeen& seen) {
    return " by " + Quoted(seen.Name) + " on line " + std::to_string(seen.LineNumber);
  };
  const std::vector<std::string> fields = SplitBlanks(text);
  if (fields.size() != 2) return {"NAME LINK expected, not " + Quoted(Trim(text))};
  // Written back to a list, it would read as a comment.
  if (fields[0][0] == '#') return {"the name " + Quoted(fields[0]) + " begins with \"#\""};
  // A child is told its name as an argument, which a NUL would cut short.
  if (std::any_of(fields[0].begin(), fields[0].end(),
                  [](unsigned char c) { return c < ' ' || c == 0x7F; }))
    return {"the name " + Quoted(EscapeControls(fields[0])) + " holds a control character"};
  TLineDevice found{fields[0], {}, line_number};
  std::string why;
  if (!ParseLinkOption(fields[1], found.Link, why)) return {why + "; LINK is " + LinkForms()};
  const std::string key = LinkKey(found.Link, Settings);
  const bool udp = found.Link.Kind == TLinkOption::lkUDP;
  const auto name = Names.find(found.Name);
  const auto link = Links.find(key);
  const auto port = udp ? LocalPorts.find(found.Link.LocalPort) : LocalPorts.end();
  std::vector<std::string> reasons;
  if (name != Names.end())
    reasons.push_back("the name " + Quoted(found.Name) + " is already used" +
                      earlier(name->second));
  if (link != Links.end())
    reasons.push_back("the link " + Quoted(fields[1]) + " (" + Excerpt(key) + ") is already used" +
                      earlier(link->second));
  if (port != LocalPorts.end())
    reasons.push_back("the UDP local port " + std::to_string(found.Link.LocalPort) +
                      " is already bound" + earlier(port->second));
  if (!reasons.empty()) return reasons;
  const TSeen seen{found.Name, line_number};
  Names[found.Name] = seen;
  Links[key] = seen;
  if (udp) LocalPorts[found.Link.LocalPort] = seen;
  device = std::move(found);
  return {};
}

bool ParseDeviceList(const std::string& path, const std::vector<std::string>& lines,
                     const TSettingsLines& settings, std::vector<TLineDevice>& devices,
                     std::string& error) {
  std::vector<TLineDevice> found;
  TDeviceListCheck check(settings);
  std::string errors;
  size_t count = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const int n = static_cast<int>(i + 1);
    const std::string text = Trim(lines[i]);
    if (text.empty() || text[0] == '#') continue;
    TLineDevice device;
    const std::vector<std::string> reasons = check.Add(n, text, device);
    // Every bad line is said at once, not one per try.
    for (const std::string& why : reasons)
      if (++count <= kMaxListErrors)
        errors += Excerpt(path) + ":" + std::to_string(n) + ": " + why + "\n";
    if (reasons.empty()) found.push_back(std::move(device));
  }
  if (count > kMaxListErrors)
    errors +=
        Excerpt(path) + ": " + std::to_string(count - kMaxListErrors) + " more errors not listed\n";
  if (found.empty() && count == 0) errors = Excerpt(path) + ": no device listed\n";
  if (!errors.empty()) {
    error = errors.substr(0, errors.size() - 1);
    return false;
  }
  devices = std::move(found);
  return true;
}

std::vector<TLineDevice> ReadDeviceEntries(const std::vector<std::string>& lines) {
  std::vector<TLineDevice> entries;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string text = Trim(lines[i]);
    if (text.empty() || text[0] == '#') continue;
    size_t blank = text.find_first_of(" \t");
    TLineDevice entry;
    entry.Name = text.substr(0, blank);
    entry.Link.Text = blank == std::string::npos ? "" : Trim(text.substr(blank));
    entry.LineNumber = static_cast<int>(i + 1);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<std::string> WriteDeviceEntries(const std::vector<std::string>& lines,
                                            const std::vector<TLineDevice>& devices) {
  // The comments and blank lines before each entry's line, by its number.
  std::map<int, std::vector<std::string>> before;
  std::vector<std::string> pending;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string text = Trim(lines[i]);
    if (text.empty() || text[0] == '#') {
      pending.push_back(lines[i]);
    } else {
      before[static_cast<int>(i + 1)] = std::move(pending);
      pending.clear();
    }
  }
  std::set<int> kept;
  for (const TLineDevice& d : devices) kept.insert(d.LineNumber);
  std::vector<std::string> out;
  const auto removed_before = [&](int number) {
    for (auto it = before.begin(); it != before.end() && it->first < number;) {
      if (kept.count(it->first)) {
        ++it;
        continue;
      }
      out.insert(out.end(), it->second.begin(), it->second.end());
      it = before.erase(it);
    }
  };
  for (const TLineDevice& d : devices) {
    std::string text = d.Link.Text.empty() ? d.Name : d.Name + " " + d.Link.Text;
    if (const auto it = before.find(d.LineNumber); it != before.end()) {
      removed_before(d.LineNumber);
      out.insert(out.end(), it->second.begin(), it->second.end());
      before.erase(it);
      // Unchanged, it keeps its own spacing.
      const std::string& line = lines[static_cast<size_t>(d.LineNumber - 1)];
      const TLineDevice was = ReadDeviceEntries({line})[0];
      if (was.Name == d.Name && was.Link.Text == d.Link.Text) text = line;
    }
    out.push_back(std::move(text));
  }
  removed_before(std::numeric_limits<int>::max());
  out.insert(out.end(), pending.begin(), pending.end());
  return out;
}
