#pragma once

// The engines keep the names they have always had:
//   gestionnaire  the engines' manager: the base every instruction engine derives from
//   InstCourante  the card engine's current instruction (TInstCrt)
//   progboot      the boot-loader programmer (TProgBoot)
//   progpsd       the PSD bank programmer (TProgPsd)
//   progjtag      the JTAG programmer (TProgJtag)

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engines/receivebuffer.h"

// Reads a file a run names into `bytes` as the package's owner allows; false when it cannot be
// read (`refusal` empty) or its bytes must not reach the device (`refusal` says why). The owner
// installs one for a sealed package; without one files are read as they always were.
using TFileCheck =
    std::function<bool(const std::string& path, std::string& bytes, std::string& refusal)>;

// The one way a run reads a file its scripts name: whole, or through `check` when there is
// one. False when it cannot be read (`refusal` empty) or `check` refuses it (`refusal` says why).
bool ReadRunFile(const std::string& path, const TFileCheck& check, std::string& bytes,
                 std::string& refusal);

// A version number the card engine read from the device or wrote to it.
struct TVersionNote {
  std::string Word;      // "T" read; "V", "UV" or "OP" written
  char Component = 0;    // the component letter of "T" and "V", 0 otherwise
  std::string Version;   // "T": what the device holds; otherwise what was written
  std::string Expected;  // "T": the version the script expects
};

// Common base of the instruction engines. An engine is a pure state machine over byte strings:
// everything it has to tell the outside world becomes a field change followed by a notification
// that fires only when assigned, synchronously, after the field is written.
class TGestionnaire {
 public:
  using TNotifyEvent = std::function<void(TGestionnaire& sender)>;

  TGestionnaire() = default;
  virtual ~TGestionnaire() = default;
  TGestionnaire(const TGestionnaire&) = delete;
  TGestionnaire& operator=(const TGestionnaire&) = delete;

  void SetInstruction(const std::string& text) { Instruction = text; }
  bool IsBusy() const { return Busy; }
  void BeginBusy();
  void EndBusy();
  void Send(const std::string& text);
  // Asks the owner to copy its received text in through SetReceived.
  void FetchReceived();
  void SetReceived(std::string_view text) { Received.Assign(text); }
  // Catches up with the owner's buffer: only what changed since the last fetch is copied.
  void SetReceived(const TReceiveBuffer& owner) { Received.CatchUp(owner); }
  // Removes as many characters from the front of Received as `token` has; only its length counts.
  void Consume(const std::string& token) { Consume(token.size()); }
  void Consume(size_t count);
  void ClearReceived();
  // Wires OnFetchReceived and OnReceivedChange to `owner`, the one buffer of received text: a
  // fetch catches up with it, and what the engine consumes is dropped from its front, while
  // characters that reached it in between are kept.
  void ShareReceived(TReceiveBuffer& owner);
  void SetStatus(const std::string& text);
  // Stores the text and fires OnError; engines override it to end their instruction as well.
  virtual void ReportError(const std::string& text);
  // Back to the values after creation; CardDir, FileCheck and DeviceVariant are kept; no event
  // fires.
  virtual void Reset();
  void SetProgressMax(int32_t n);
  void ProgressStep();
  void SetDeviceId(int32_t n);
  void SetUpdateAllowed(bool b) { FUpdateAllowed = b; }
  bool UpdateAllowed() const { return FUpdateAllowed; }
  void SetDeviceVariant(bool b);
  void NotifyOperationEnd();
  // Observer hooks for records of a run; they change nothing in the engine's work.
  // A file named by the instruction was read; `sha256` is of the very bytes read.
  void NoteFileRead(const std::string& path, const std::string& sha256);
  void ChargeRetry();  // one "R" charged to the instruction
  void NoteVersion(const TVersionNote& note);
  // The boot checksum as shown, and the device identifier as the device sent it, both set
  // before the identifier is reported.
  void SetBootChecksum(const std::string& text) { BootChecksum = text; }
  void SetDeviceIdText(const std::string& text) { DeviceIdText = text; }

  const std::string& GetInstruction() const { return Instruction; }
  const std::string& GetSendText() const { return SendText; }
  std::string_view GetReceived() const { return Received.View(); }
  const TReceiveBuffer& ReceivedBuffer() const { return Received; }
  const std::string& GetErrorText() const { return ErrorText; }
  const std::string& GetStatusText() const { return StatusText; }
  int32_t GetProgressMax() const { return ProgressMax; }
  int32_t GetDeviceId() const { return DeviceId; }
  bool GetDeviceVariant() const { return DeviceVariant; }
  int32_t GetRetryCount() const { return RetryCount; }
  const std::string& GetCardDir() const { return CardDir; }
  const std::string& GetFileRead() const { return FileRead; }
  const std::string& GetFileReadSha256() const { return FileReadSha256; }
  const TVersionNote& GetVersionNote() const { return VersionNote; }
  const std::string& GetBootChecksum() const { return BootChecksum; }
  const std::string& GetDeviceIdText() const { return DeviceIdText; }
  void SetCardDir(const std::string& dir) { CardDir = dir; }
  void SetFileCheck(TFileCheck check) { FileCheck = std::move(check); }

  TNotifyEvent OnSend;
  TNotifyEvent OnReceivedChange;
  TNotifyEvent OnFetchReceived;
  TNotifyEvent OnProgressStep;
  TNotifyEvent OnProgressMax;
  TNotifyEvent OnStatus;
  TNotifyEvent OnError;
  TNotifyEvent OnBusyChange;
  TNotifyEvent OnDeviceId;
  TNotifyEvent OnOperationEnd;
  TNotifyEvent OnDeviceVariant;
  TNotifyEvent OnFileRead;
  TNotifyEvent OnRetry;
  TNotifyEvent OnVersion;

 protected:
  void Fire(const TNotifyEvent& event) {
    if (event) event(*this);
  }
  // The lines of a file an instruction names, through FileCheck, as ReadRunFile; the read is
  // noted (NoteFileRead).
  bool ReadFileLines(const std::string& path, std::vector<std::string>& lines,
                     std::string& refusal);
  // The reply character at the front of Received, as the engines test it.
  bool Begins(char c) const { return !Received.empty() && Received[0] == c; }

  std::string Instruction;
  TReceiveBuffer Received;
  std::string SendText;
  std::string ErrorText;
  std::string StatusText;
  int32_t ProgressMax = 100;
  int32_t DeviceId = 0;
  bool FUpdateAllowed = false;
  int32_t RetryCount = 0;
  bool Busy = false;
  std::string CardDir;
  TFileCheck FileCheck;
  bool DeviceVariant = false;
  std::string FileRead;
  std::string FileReadSha256;
  TVersionNote VersionNote;
  std::string BootChecksum;
  std::string DeviceIdText;
};

// Retransmission requests ("R") accepted per instruction; one more ends it.
inline constexpr int32_t kMaxRetries = 300;
