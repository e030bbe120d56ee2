#include "app/OverallProgress.h"

#include <algorithm>

#include "app/EngineSet.h"
#include "engines/svf.h"
#include "formats/constante.h"
#include "formats/text.h"

namespace {

constexpr int64_t kLineEnd = 2;
constexpr int64_t kCommand = 2;  // "P0", "T8", "M1" ...
constexpr int64_t kSync = 3;     // "%" and the device type
// The checksum record that closes a HEX upload: ":0200000C" and four digits, sum, line end.
constexpr int64_t kChecksumRecord = 17;
// Below this the rate says more about the start than about the run.
constexpr int64_t kMinMeasureMs = 1000;
// Nor is it measured before a twentieth of the bytes has gone: version checks and the pause
// after an effect file is opened send next to nothing, and a run of seconds would be told
// minutes.
constexpr int64_t kMinMeasureShare = 20;

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

// The run's own steps have line 0: they are told apart by their word.
std::string Key(const std::string& script, int32_t line, const std::string& text) {
  std::string key = script + '\n' + std::to_string(line);
  if (line == 0) key += '\n' + text.substr(0, text.find(' '));
  return key;
}

int64_t HexBytes(const std::string& path) {
  std::vector<std::string> lines;
  if (!ReadTextLines(path, lines)) return 0;
  int64_t bytes = kChecksumRecord;
  for (const std::string& line : lines) bytes += static_cast<int64_t>(line.size()) + kLineEnd;
  return bytes;
}

int64_t EffectBytes(const std::string& path) {
  LineReader reader;
  if (!reader.Open(path)) return 0;
  int64_t bytes = static_cast<int64_t>(sizeof kSvfEndRecord - 1) + kLineEnd;
  TSvfStatement st;
  for (std::string line; reader.Next(line);) {
    const TSvfEncoding enc = EncodeSvfLine(line, st);
    if (enc.Outcome != esRECORD) continue;
    bytes += static_cast<int64_t>(enc.Record.size()) + kLineEnd;
    if (st.BlockPending) bytes += static_cast<int64_t>(st.TdiData.size());
    if (st.StatementType & kSvfFlagTdo) ++bytes;  // the reply acknowledged
  }
  return bytes;
}

}  // namespace

int64_t PlannedBytes(const std::string& line, const std::string& card_dir) {
  TDryEngines engines(card_dir);
  if (!engines.Offer(line)) return 0;
  const TNamedFile file = engines.NamedFile();
  switch (file.Kind) {
    case TNamedFile::nfBOOT_HEX:
    case TNamedFile::nfPSD_HEX:
      return kCommand + HexBytes(file.Path);
    case TNamedFile::nfEFFECT:
      return kCommand + EffectBytes(file.Path);
    case TNamedFile::nfNONE:
      break;
  }
  return kCommand;
}

void TOverallProgress::Reset() {
  *this = TOverallProgress();
}

void TOverallProgress::Plan(const std::string& script, const std::vector<std::string>& lines,
                            const std::string& program_dir, const std::string& card_folder,
                            bool closing) {
  Weights.clear();
  auto add = [&](const std::string& key, int64_t weight) {
    Weights[key] = weight;
    return weight;
  };
  int64_t total = add(Key(script, 0, "SYN"), kSync);
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string line = Trim(lines[i]);
    const std::string key = Key(script, static_cast<int32_t>(i + 1), line);
    if (IsComment(line)) continue;
    std::string card_dir;
    if (StartsWith(line, "CM"))
      card_dir = program_dir + card_folder;
    else if (StartsWith(line, "C"))
      card_dir = program_dir + DaughterCards[0].folder;
    // A card line stands for its whole sub-script: passing over it takes all of that out.
    total += add(key, card_dir.empty() ? PlannedBytes(line, program_dir)
                                       : PlanCardScript(card_dir + FileName(script), card_dir));
  }
  if (closing) {
    total += add(Key(script, 0, "PB"), PlannedBytes("PB BOOT_EXT_OPTION.HEX", program_dir));
    total += add(Key(script, 0, "OP"), kCommand + 4);
  }
  total += add(Key(script, 0, "FI"), kCommand);
  Total = std::max(total, Position());
}

int64_t TOverallProgress::PlanCardScript(const std::string& path, const std::string& card_dir) {
  std::vector<std::string> lines;
  if (!ReadTextLines(path, lines)) return 0;
  int64_t total = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string line = Trim(lines[i]);
    if (IsComment(line)) continue;
    const int64_t weight = PlannedBytes(line, card_dir);
    Weights[Key(path, static_cast<int32_t>(i + 1), line)] = weight;
    total += weight;
  }
  return total;
}

int64_t TOverallProgress::Weight(const TInstructionRef& line) const {
  const auto it = Weights.find(Key(line.Script, line.Line, line.Text));
  return it == Weights.end() ? 0 : it->second;
}

void TOverallProgress::Begin(const TInstructionRef& line) {
  Done += CurrentSent;
  Current = Weight(line);
  CurrentSent = 0;
}

// Retries send more than planned: the instruction never counts for more than its share.
void TOverallProgress::Sent(int64_t bytes) {
  CurrentSent = std::clamp<int64_t>(bytes, CurrentSent, Current);
}

void TOverallProgress::End() {
  Done += Current;
  Current = CurrentSent = 0;
  Total = std::max(Total, Position());
}

void TOverallProgress::Skip(const TInstructionRef& line) {
  Total = std::max(Total - Weight(line), Position());
}

void TOverallProgress::Complete() {
  Done = Total = std::max(Total, Position());
  Current = CurrentSent = 0;
}

void TOverallProgress::StartClock(int64_t now_ms) {
  ClockMs = now_ms;
  ClockPosition = Position();
}

double TOverallProgress::EtaSeconds(int64_t now_ms) const {
  if (Total > 0 && Position() >= Total) return 0;
  const int64_t moved = Position() - ClockPosition;
  const int64_t elapsed = now_ms - ClockMs;
  if (ClockMs < 0 || elapsed < kMinMeasureMs || moved <= 0) return -1;
  if (moved * kMinMeasureShare < Total - ClockPosition) return -1;
  return static_cast<double>(Total - Position()) * static_cast<double>(elapsed) /
         static_cast<double>(moved) / 1000.0;
}
