#include "check/ScriptCheck.h"

#include <optional>
#include <utility>

#include "app/EngineSet.h"
#include "convert/svfconvert.h"
#include "engines/InstCourante.h"
#include "engines/progboot.h"
#include "engines/progjtag.h"
#include "engines/progpsd.h"
#include "engines/svf.h"
#include "formats/constante.h"
#include "formats/hex.h"
#include "formats/text.h"
#include "sys/Files.h"

namespace {

// Beyond this many bad lines in one file, one more finding says how many were left out.
constexpr int32_t kMaxLineFaults = 10;

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Not there at all, as opposed to there but not readable.
bool Missing(const std::string& path) {
  TFileStatus st;
  std::string ignored;
  return FileStatus(path, st, ignored) == TLook::NotFound;
}

std::string NotFound(const std::string& path) {
  return Excerpt(path) + " File not found !!!";
}

// The run's own text, and why, when the file is there but cannot be read.
std::string NotRead(const std::string& path, const std::string& why) {
  return NotFound(path) + (Missing(path) ? "" : " (" + why + ")");
}

std::string SyntaxError(int32_t n) {
  return "Syntax Error in script file line : " + std::to_string(n);
}

// Why one line of a HEX file is not a sound Intel HEX record, or "".
std::string HexLineFault(const std::string& line) {
  if (line.empty() || line[0] != ':') return "not an Intel HEX record";
  for (size_t i = 1; i < line.size(); ++i)
    if (!IsHexDigit(line[i]))
      return "character " + std::to_string(i + 1) + " is not an upper-case hex digit";
  const HexRecord r = ParseHexRecord(line);
  if (!r.complete || line.size() != 11 + 2 * static_cast<size_t>(r.count))
    return "record length does not match its byte count";
  if (!HexRecordChecksumOk(line)) return "bad record checksum";
  if (r.type == 0 && r.address + r.count > 0x10000) return "data past 0xFFFF";
  // The device knows 16-bit addresses only: a non-zero base would move the data past 0xFFFF.
  if ((r.type == 2 || r.type == 4) && r.data != std::string(r.count, '\0'))
    return "extended address record: data past 0xFFFF";
  if (r.type > 5) return "unknown record type " + ByteToHex(r.type);
  return {};
}

}  // namespace

TScriptCheck::TScriptCheck(std::string program_dir) : ProgramDir(std::move(program_dir)) {}

void TScriptCheck::Run(const std::string& script_path) {
  Named.insert(script_path);
  std::vector<std::string> lines;
  if (!ReadTextLines(script_path, lines)) {
    Add(script_path, 0, NotFound(script_path));
    return;
  }
  Checked.insert(script_path);
  WalkMainScript(script_path, lines);
  // The run closes a standard script with the boot area update from the program folder.
  if (FileName(script_path) == "script.ini") {
    TDryEngines engines(ProgramDir);
    const std::string closing = "PB BOOT_EXT_OPTION.HEX";
    if (engines.Offer(closing)) {
      const TNamedFile file = engines.NamedFile();
      if (file.Kind == TNamedFile::nfBOOT_HEX)
        CheckHexFile(script_path, 0, file.Path,
                     "closing \"" + closing + "\": " + NotFound(file.Missing),
                     "Boot File Empty !!!");
    }
  }
}

void TScriptCheck::WalkMainScript(const std::string& path, const std::vector<std::string>& lines) {
  const std::string name = FileName(path);
  for (size_t i = 0; i < lines.size(); ++i) {
    const int32_t n = static_cast<int32_t>(i + 1);
    const std::string line = Trim(lines[i]);
    if (StartsWith(line, "CM"))
      CheckMotherboardLine(path, n, name);
    else if (StartsWith(line, "C"))
      CheckDaughterLine(path, n, line, name);
    else if (!IsComment(line))
      CheckInstruction(path, n, line, ProgramDir);
  }
}

// Which motherboard folder a run takes depends on the device type: the run of a device whose
// folder is missing or unreadable stops at this line.
void TScriptCheck::CheckMotherboardLine(const std::string& script, int32_t n,
                                        const std::string& name) {
  const std::pair<card_rec, const char*> folders[] = {{MotherboardCardRec, "30"},
                                                      {MotherboardCardRecU, "35"}};
  std::vector<std::string> faults;
  for (const auto& [card, type] : folders) {
    const std::string dir = ProgramDir + card.folder;
    std::string why;
    if (WalkCardScript(dir + name, dir, why)) continue;
    why = Missing(dir + name) ? "" : why + "; ";
    faults.push_back(NotFound(dir + name) + " (" + why + "a device of type " + type +
                     " stops here)");
  }
  const std::string qubra = ProgramDir + MotherboardCardRec.folder + name;
  const std::string uqubra = ProgramDir + MotherboardCardRecU.folder + name;
  if (faults.size() == 2 && Missing(qubra) && Missing(uqubra))
    faults = {NotFound(qubra) + " (nor is there " + Excerpt(uqubra) + ")"};
  for (const std::string& fault : faults) Add(script, n, fault);
}

void TScriptCheck::CheckDaughterLine(const std::string& script, int32_t n, const std::string& line,
                                     const std::string& name) {
  const std::string rest = Trim(std::string_view(line).substr(1));
  if (rest.empty() || HexValue(rest[0]) >= 1) {
    Add(script, n, SyntaxError(n));
    return;
  }
  const std::string dir = ProgramDir + DaughterCards[0].folder;
  std::string why;
  if (!WalkCardScript(dir + name, dir, why)) Add(script, n, NotRead(dir + name, why));
}

bool TScriptCheck::WalkCardScript(const std::string& path, const std::string& card_dir,
                                  std::string& why) {
  Named.insert(path);
  if (Checked.count(path)) return true;
  std::vector<std::string> lines;
  if (!ReadTextLines(path, lines, &why)) return false;
  Checked.insert(path);
  // Card sub-scripts have no card lines: a "C" line there is an instruction no engine takes.
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string line = Trim(lines[i]);
    if (!IsComment(line)) CheckInstruction(path, static_cast<int32_t>(i + 1), line, card_dir);
  }
  return true;
}

void TScriptCheck::CheckInstruction(const std::string& script, int32_t n, const std::string& line,
                                    const std::string& card_dir) {
  TDryEngines e(card_dir);
  if (!e.Offer(line)) {
    Add(script, n, SyntaxError(n));
    return;
  }
  for (const std::string& error : e.Errors) Add(script, n, error);
  if (e.P.Card->IsBusy()) {
    if (std::string fault = TInstCrt::ValueFault(e.P.Card->GetState(), line); !fault.empty())
      Add(script, n, fault);
  }
  const TNamedFile file = e.NamedFile();
  switch (file.Kind) {
    case TNamedFile::nfBOOT_HEX: {
      // A run names the rest of the line, checksum included.
      CheckHexFile(script, n, file.Path, NotFound(file.Missing), "Boot File Empty !!!");
      const auto args = TProgBoot::PbArguments(e.P.Boot->GetInstruction());
      if (std::string fault = TProgBoot::ChecksumFault(line, args.Checksum); !fault.empty())
        Add(script, n, fault);
      break;
    }
    case TNamedFile::nfPSD_HEX:
      CheckHexFile(script, n, file.Path, NotFound(file.Path), "Keyb File Empty !!!");
      break;
    case TNamedFile::nfEFFECT:
      CheckEffectFile(script, n, file.Path);
      break;
    case TNamedFile::nfNONE:
      break;
  }
}

void TScriptCheck::CheckHexFile(const std::string& script, int32_t n, const std::string& path,
                                const std::string& not_found, const std::string& empty_text) {
  Named.insert(path);
  if (Checked.count(path)) return;
  std::vector<std::string> lines;
  if (!ReadTextLines(path, lines)) {
    Add(script, n, not_found);
    return;
  }
  Checked.insert(path);
  if (lines.empty())
    Add(path, 0, empty_text);
  else
    CheckHexLines(path, lines);
}

void TScriptCheck::CheckHexLines(const std::string& path, const std::vector<std::string>& lines) {
  bool end_record = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string fault = HexLineFault(lines[i]);
    if (!fault.empty())
      AddLineFault(path, static_cast<int32_t>(i + 1), fault);
    else if (ParseHexRecord(lines[i]).type == 1)
      end_record = true;
  }
  if (!end_record) Add(path, 0, "no end record");
}

void TScriptCheck::CheckEffectFile(const std::string& script, int32_t n, const std::string& path) {
  Named.insert(path);
  if (Checked.count(path)) return;
  const std::optional<int64_t> count = CountTextLines(path);
  LineReader reader;
  if (!count || !reader.Open(path)) {
    Add(script, n, NotFound(path));
    return;
  }
  Checked.insert(path);
  if (*count == 0) Add(path, 0, "Effect File Empty !!!");
  TSvfStatement statement;
  std::string text;
  bool faulty = false;
  for (int32_t line = 1; reader.Next(text); ++line) {
    const TSvfEncoding enc = EncodeSvfLine(text, statement);
    if (enc.Outcome != esERROR) continue;
    faulty = true;
    std::string message = "Error in Effect file line : " + std::to_string(line);
    if (!enc.Reason.empty()) message += " (" + enc.Reason + ")";
    AddLineFault(path, line, message);
  }
  if (faulty) SuggestConversion(path);
}

// A file exported by a vendor tool is standard SVF: say so when the converter would take it.
void TScriptCheck::SuggestConversion(const std::string& path) {
  const auto discard = [](std::string_view) { return true; };
  const char* kConverts = "standard SVF: \"qubra-updater --convert-svf\" ";
  if (ConvertSvfFile(path, {}, discard).Ok)
    Add(path, 0, std::string(kConverts) + "converts it into an effect file the device plays");
  else if (ConvertSvfFile(path, {TSvfReal{1, 0}}, discard).Ok)
    Add(path, 0,
        std::string(kConverts) +
            "with --tck-hz, the device's TCK rate, converts it into an effect file the device "
            "plays");
}

void TScriptCheck::Add(const std::string& path, int32_t line, const std::string& message) {
  Findings_.push_back({path, line, message});
}

void TScriptCheck::AddLineFault(const std::string& path, int32_t line, const std::string& message) {
  const int32_t count = ++LineFaults[path];
  if (count <= kMaxLineFaults) {
    Add(path, line, message);
  } else if (count == kMaxLineFaults + 1) {
    Add(path, line, "more bad lines from here on are not listed");
  }
}

std::string FormatFinding(const TCheckFinding& f) {
  if (f.Path.empty()) return f.Message;
  const std::string path = Excerpt(f.Path);
  if (f.Line > 0) return path + ":" + std::to_string(f.Line) + ": " + f.Message;
  return path + ": " + f.Message;
}

std::string FormatSummary(const std::vector<TCheckFinding>& findings, int32_t files_checked) {
  const auto plural = [](size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
  };
  if (findings.empty()) return "no findings, " + plural(files_checked, "file") + " checked";
  std::set<std::string> files;
  for (const TCheckFinding& f : findings) files.insert(f.Path);
  return plural(findings.size(), "finding") + " in " + plural(files.size(), "file") + " (" +
         plural(files_checked, "file") + " checked)";
}
