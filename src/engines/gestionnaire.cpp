#include "engines/gestionnaire.h"

#include "formats/text.h"
#include "sys/Files.h"
#include "sys/Sha256.h"

bool ReadRunFile(const std::string& path, const TFileCheck& check, std::string& bytes,
                 std::string& refusal) {
  std::string error;
  refusal.clear();
  if (check) return check(path, bytes, refusal) && refusal.empty();
  return ReadWholeFile(path, bytes, error) == TLook::Found;
}

bool TGestionnaire::ReadFileLines(const std::string& path, std::vector<std::string>& lines,
                                  std::string& refusal) {
  std::string bytes;
  lines.clear();
  if (!ReadRunFile(path, FileCheck, bytes, refusal)) return false;
  lines = SplitLines(bytes);
  NoteFileRead(path, Sha256Hex(bytes));
  return true;
}

void TGestionnaire::BeginBusy() {
  Busy = true;
  Fire(OnBusyChange);
}

void TGestionnaire::EndBusy() {
  Busy = false;
  Fire(OnBusyChange);
}

void TGestionnaire::Send(const std::string& text) {
  SendText = text;
  Fire(OnSend);
}

void TGestionnaire::FetchReceived() {
  Fire(OnFetchReceived);
}

void TGestionnaire::Consume(size_t count) {
  Received.Consume(count);
  Fire(OnReceivedChange);
}

void TGestionnaire::ClearReceived() {
  Received.Clear();
  Fire(OnReceivedChange);
}

void TGestionnaire::ShareReceived(TReceiveBuffer& owner) {
  OnFetchReceived = [&owner](TGestionnaire& g) { g.SetReceived(owner); };
  OnReceivedChange = [&owner](TGestionnaire& g) { owner.CatchUp(g.ReceivedBuffer()); };
}

void TGestionnaire::SetStatus(const std::string& text) {
  StatusText = text;
  Fire(OnStatus);
}

void TGestionnaire::ReportError(const std::string& text) {
  ErrorText = text;
  Fire(OnError);
}

void TGestionnaire::Reset() {
  Instruction.clear();
  Received.Clear();
  SendText.clear();
  ErrorText.clear();
  StatusText.clear();
  ProgressMax = 100;
  DeviceId = 0;
  BootChecksum.clear();
  DeviceIdText.clear();
  RetryCount = 0;
  FUpdateAllowed = false;
  Busy = false;
}

void TGestionnaire::SetProgressMax(int32_t n) {
  ProgressMax = n;
  Fire(OnProgressMax);
}

void TGestionnaire::ProgressStep() {
  Fire(OnProgressStep);
}

void TGestionnaire::SetDeviceId(int32_t n) {
  DeviceId = n;
  Fire(OnDeviceId);
}

void TGestionnaire::SetDeviceVariant(bool b) {
  DeviceVariant = b;
  Fire(OnDeviceVariant);
}

void TGestionnaire::NotifyOperationEnd() {
  Fire(OnOperationEnd);
}

void TGestionnaire::NoteFileRead(const std::string& path, const std::string& sha256) {
  FileRead = path;
  FileReadSha256 = sha256;
  Fire(OnFileRead);
}

void TGestionnaire::ChargeRetry() {
  ++RetryCount;
  Fire(OnRetry);
}

void TGestionnaire::NoteVersion(const TVersionNote& note) {
  VersionNote = note;
  Fire(OnVersion);
}
