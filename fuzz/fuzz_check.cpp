// The package check over a package written from the input.
//
// Input: the main script; a line "@@ NAME" starts the file NAME of the package (a card script,
// a HEX or effect file), up to the next such line.
#include <cctype>
#include <filesystem>
#include <fstream>

#include "check/ScriptCheck.h"
#include "formats/text.h"
#include "fuzz_util.h"

namespace {

bool SafeName(const std::string& name) {
  if (name.empty() || name.size() > 40 || name[0] == '/' || name.find("..") != std::string::npos)
    return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '/')
      return false;
  return true;
}

void WritePackage(const std::string& dir, std::string_view in) {
  std::string name = "script.ini";
  std::string text;
  const auto flush = [&] {
    if (!SafeName(name)) return;
    const std::filesystem::path path = dir + name;
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream(path, std::ios::binary) << text;
  };
  for (const std::string& line : SplitLines(in)) {
    if (line.rfind("@@ ", 0) == 0) {
      flush();
      name = line.substr(3);
      text.clear();
    } else {
      text += line + "\r\n";
    }
  }
  flush();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = FreshFolder();
  WritePackage(dir, AsText(data, size));
  TScriptCheck check(dir);
  check.Run(dir + "script.ini");
  for (const TCheckFinding& f : check.Findings()) {
    FUZZ_REQUIRE(f.Path.rfind(dir, 0) == 0);
    FUZZ_REQUIRE(f.Line >= 0 && !f.Message.empty());
  }
  // Checking is reading only: a second check finds the same.
  TScriptCheck again(dir);
  again.Run(dir + "script.ini");
  FUZZ_REQUIRE(again.Findings().size() == check.Findings().size());
  FUZZ_REQUIRE(again.FilesChecked() == check.FilesChecked());
  return 0;
}
