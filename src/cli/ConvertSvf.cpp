#include "cli/ConvertSvf.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "convert/svfconvert.h"
#include "formats/text.h"
#include "sys/AtomicFile.h"
#include "sys/ExitStatus.h"
#include "sys/Files.h"
#include "sys/StopSignals.h"

namespace {

std::string Where(const std::string& path, const TSvfConvertNote& note) {
  const std::string name = Excerpt(path);
  return note.Line > 0 ? name + ":" + std::to_string(note.Line) + ": " : name + ": ";
}

// Links and hard links included: writing OUT would replace IN.
bool SameFile(const std::string& a, const std::string& b) {
  TFileStatus sa, sb;
  std::string ignored;
  return FileStatus(a, sa, ignored) == TLook::Found && FileStatus(b, sb, ignored) == TLook::Found &&
         sa.SameFile(sb);
}

}  // namespace

int RunConvertSvf(const Options& options, std::ostream& out, std::ostream& err) {
  if (SameFile(options.ConvertIn, options.ConvertOut)) {
    err << "qubra-updater: --convert-svf " << Excerpt(options.ConvertIn) << " "
        << Excerpt(options.ConvertOut)
        << ": IN and OUT are the same file; the vendor original would be replaced" << std::endl;
    return kExitUsage;
  }
  TSvfConvertOptions convert;
  if (!options.TckHz.empty()) convert.TckHz = ParseSvfReal(options.TckHz);
  TAtomicFile file(options.ConvertOut);
  if (!file.Open()) {
    err << "qubra-updater: " << file.Error() << std::endl;
    return kExitFailed;
  }
  // A conversion cut short must not leave hundreds of MB of temporary file behind.
  const TRemoveOnSignal remove_on_signal(file.TempPath());
  const auto write = [&file](std::string_view line) {
    return file.Write(line) && file.Write("\r\n");
  };
  write("// Converted from " + FileName(options.ConvertIn) + " by qubra-updater --convert-svf" +
        (options.TckHz.empty() ? std::string() : " --tck-hz " + options.TckHz));
  const TSvfConvertResult r = ConvertSvfFile(options.ConvertIn, convert, write);
  std::vector<TSvfConvertNote> notes;
  for (const TSvfConvertNote& w : r.Warnings) notes.push_back({w.Line, "warning: " + w.Text});
  if (!r.Ok) notes.insert(notes.end(), r.Errors.begin(), r.Errors.end());
  // In the order of the file; what concerns the file as a whole comes last.
  std::ranges::stable_sort(
      notes, {}, [](const TSvfConvertNote& n) { return n.Line > 0 ? n.Line : INT64_MAX; });
  for (const TSvfConvertNote& n : notes) err << Where(options.ConvertIn, n) << n.Text << '\n';
  if (!r.Ok) {
    if (!file.Error().empty()) err << "qubra-updater: " << file.Error() << '\n';
    err << Excerpt(options.ConvertOut) << " not written" << std::endl;
    return kExitFailed;
  }
  if (!file.Commit()) {
    err << "qubra-updater: " << file.Error() << std::endl;
    return kExitFailed;
  }
  out << Excerpt(options.ConvertIn) << ": " << r.Statements << " statements converted into "
      << Excerpt(options.ConvertOut) << " (" << r.Lines + 1 << " lines)" << std::endl;
  return kExitCompleted;
}
