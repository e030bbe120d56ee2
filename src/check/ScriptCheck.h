#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// Something a run of the update package would stop at, found without a device.
struct TCheckFinding {
  std::string Path;  // "" when the message names its own place
  int32_t Line = 0;  // counted from 1; 0 when the finding is about the file as a whole
  std::string Message;
};

// Walks an update package the way a run would, without a device: the main script, the card
// sub-scripts of every folder a card line can select, and for "script.ini" the closing boot file.
// Each instruction is offered to fresh engines to learn which one takes it; the files and values
// it names are then checked here, so no engine ever talks to a device.
class TScriptCheck {
 public:
  // `program_dir` is the program folder, ending with the path separator.
  explicit TScriptCheck(std::string program_dir);

  // Checks the package of `script_path`; findings accumulate over calls.
  void Run(const std::string& script_path);

  const std::vector<TCheckFinding>& Findings() const { return Findings_; }
  // Files read: scripts, HEX files and effect files, each counted once.
  int32_t FilesChecked() const { return static_cast<int32_t>(Checked.size()); }
  // Every file a run of the package may read, found or not: the scripts, HEX files and effect
  // files named, and of the two motherboard folders those present.
  const std::set<std::string>& NamedFiles() const { return Named; }

 private:
  void WalkMainScript(const std::string& path, const std::vector<std::string>& lines);
  void CheckMotherboardLine(const std::string& script, int32_t n, const std::string& name);
  void CheckDaughterLine(const std::string& script, int32_t n, const std::string& line,
                         const std::string& name);
  // False, with the reason, when the sub-script cannot be read.
  bool WalkCardScript(const std::string& path, const std::string& card_dir, std::string& why);
  void CheckInstruction(const std::string& script, int32_t n, const std::string& line,
                        const std::string& card_dir);
  void CheckHexFile(const std::string& script, int32_t n, const std::string& path,
                    const std::string& not_found, const std::string& empty_text);
  void CheckHexLines(const std::string& path, const std::vector<std::string>& lines);
  void CheckEffectFile(const std::string& script, int32_t n, const std::string& path);
  void SuggestConversion(const std::string& path);
  void Add(const std::string& path, int32_t line, const std::string& message);
  // As Add, but a file full of bad lines does not flood the report.
  void AddLineFault(const std::string& path, int32_t line, const std::string& message);

  std::string ProgramDir;
  std::vector<TCheckFinding> Findings_;
  std::set<std::string> Checked;
  std::set<std::string> Named;
  std::map<std::string, int32_t> LineFaults;  // per file, for AddLineFault
};

// "path:line: message", or "path: message" when the finding is not bound to a line.
std::string FormatFinding(const TCheckFinding& f);
// "N findings in M files (K files checked)", or "no findings, K files checked".
std::string FormatSummary(const std::vector<TCheckFinding>& findings, int32_t files_checked);
