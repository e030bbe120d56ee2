#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "jtag_chain.h"

// How the simulated device is built and which faults it injects.
struct TSimConfig {
  int type = 30;                         // answered to "?" and accepted by the type check
  std::string id = "0001";               // four upper-case hex digits
  bool off = false;                      // silent in variable mode: only "%" wakes the boot loader
  std::map<char, std::string> versions;  // component letter -> four characters
  std::string cards = "0";               // digits of the cards that answer a ping
  double retry_rate = 0;                 // probability of answering "R" to a line
  uint32_t seed = 1;
  int64_t fail_line = 0;     // answer "X" to this line (1-based); 0: never
  int64_t hangup_after = 0;  // drop the link after this many lines; 0: never
  // The parts behind a JTAG target ('8', '9', 'A'), from TDI to TDO (see TJtagChain); a target
  // left out has the modelled part alone. A modelled part without an IDCODE gets the target's.
  std::map<char, std::vector<TJtagPart>> jtag_chains;
};

// The device side of the wire: variable mode, the boot loader and every engine's exchanges.
// A pure byte machine: Feed takes what arrived (in any fragmentation) and returns the reply.
// Memories survive PowerOn; they start erased (0xFF).
class TSimDevice {
 public:
  static constexpr uint16_t kBootFirst = 0x4000, kBootLast = 0x5FFF;
  static constexpr size_t kBankSize = 0x8000;
  static constexpr size_t kEdidSize = 256;

  explicit TSimDevice(const TSimConfig& config);

  std::string Feed(std::string_view bytes);
  // Back to the state after switching on (a new connection): variable mode, or waiting for
  // "%" when built "off". Memories and versions are kept.
  void PowerOn();
  // Gives up an instruction whose traffic stopped (the updater was stopped mid-way).
  void Abort();
  bool MidInstruction() const;
  bool HungUp() const { return mode_ == Mode::kHungUp; }
  int64_t LinesReceived() const { return lines_; }

  const std::string& BootArea() const { return boot_; }  // 0x4000..0x5FFF
  const std::string& Bank(int n) const { return banks_.at(n); }
  const std::string& Edid() const { return edid_; }
  const TJtagChain& Jtag(char target) const { return chains_.at(JtagIndex(target)); }
  std::string Version(char letter) const;
  uint16_t BootSum() const;

  // Every image by file name ("boot.bin", "bank0.bin".."bank7.bin", "edid.bin",
  // "jtag8.bin", "jtag9.bin", "jtagA.bin"), and the version table as text.
  std::vector<std::pair<std::string, std::string>> Images() const;
  std::string VersionTable() const;

  std::function<void(const std::string& image_name)> OnComplete;  // an image is complete
  std::function<void(const std::string& text)> OnLog;

 private:
  enum class Mode {
    kVariable,
    kSync,
    kType,
    kCommand,
    kVersionText,
    kUpload,
    kJtag,
    kJtagBlock,
    kJtagTdo,
    kHungUp
  };
  enum class Fault { kNone, kRetry, kFail, kHangUp };
  struct Upload {
    std::string* memory = nullptr;
    uint32_t base = 0;
    std::string name;
    bool checksum = false;  // ends with a checksum record (boot and banks)
    bool seen_eof = false;
  };

  static size_t JtagIndex(char target);
  static TJtagChain MakeChain(const TSimConfig& config, char target);
  bool Step();
  bool StepVariable();
  bool StepSync();
  bool StepType();
  bool StepCommand();
  bool StepVersionText();
  bool StepUpload();
  bool StepJtag();
  bool StepJtagBlock();
  bool StepJtagTdo();
  bool TakeLine(std::string& line);
  void Command(char c0, char c1);
  void StartUpload(std::string* memory, uint32_t base, const std::string& name, bool checksum);
  void UploadLine(const std::string& line);
  void UploadChecksum(const std::string& data);
  void JtagRecord(const std::string& line);
  void JtagScan(int type, int bits, std::string tdi);
  void ChainRefused();
  bool InJtag() const;
  Fault LineFault();
  std::optional<bool> ActOnFault(Fault fault);
  void Reply(const std::string& text);
  void Fail();
  void Complete(const std::string& name);
  void Log(const std::string& text);

  TSimConfig config_;
  std::mt19937 rng_;
  Mode mode_ = Mode::kVariable;
  // Input arrived and not yet taken: in_ from in_pos_ on. Steps move in_pos_, never the bytes.
  std::string_view Input() const { return std::string_view(in_).substr(in_pos_); }
  void Drop(size_t n) { in_pos_ += n; }
  void DropAll() {
    in_.clear();
    in_pos_ = 0;
  }
  std::string in_;
  size_t in_pos_ = 0;
  std::string out_;
  std::string var_digits_;
  uint32_t last_updater_ = 0;
  char version_key_ = 0;
  Upload upload_;
  char jtag_target_ = 0;
  int block_type_ = 0, block_bits_ = 0;
  size_t block_length_ = 0;
  std::string tdo_reply_;
  int64_t lines_ = 0;

  std::string boot_;
  std::array<std::string, 8> banks_;
  std::string edid_;
  std::array<TJtagChain, 3> chains_;
  std::map<char, std::string> versions_;
};
