#include "cli/ConvertSvf.h"

#include "app/AtomicFile.h"
#include "engines/svfconvert.h"
#include "formats/text.h"

namespace {

std::string Where(const std::string& path, const TSvfConvertNote& note) {
  const std::string name = Excerpt(path);
  return note.Line > 0 ? name + ":" + std::to_string(note.Line) + ": " : name + ": ";
}

}  // namespace

int RunConvertSvf(const Options& options, std::ostream& out, std::ostream& err) {
  TSvfConvertOptions convert;
  if (!options.TckHz.empty()) convert.TckHz = ParseSvfReal(options.TckHz);
  TAtomicFile file(options.ConvertOut);
  if (!file.Open()) {
    err << "qubra-updater: " << file.Error() << std::endl;
    return 1;
  }
  const auto write = [&file](std::string_view line) {
    return file.Write(line) && file.Write("\r\n");
  };
  write("// Converted from " + FileName(options.ConvertIn) + " by qubra-updater --convert-svf" +
        (options.TckHz.empty() ? std::string() : " --tck-hz " + options.TckHz));
  const TSvfConvertResult r = ConvertSvfFile(options.ConvertIn, convert, write);
  for (const TSvfConvertNote& w : r.Warnings)
    err << Where(options.ConvertIn, w) << "warning: " << w.Text << '\n';
  if (!r.Ok) {
    err << Where(options.ConvertIn, r.Error) << r.Error.Text << '\n';
    if (!file.Error().empty()) err << "qubra-updater: " << file.Error() << '\n';
    err << Excerpt(options.ConvertOut) << " not written" << std::endl;
    return 1;
  }
  if (!file.Commit()) {
    err << "qubra-updater: " << file.Error() << std::endl;
    return 1;
  }
  out << Excerpt(options.ConvertIn) << ": " << r.Statements << " statements converted into "
      << Excerpt(options.ConvertOut) << " (" << r.Lines + 1 << " lines)" << std::endl;
  return 0;
}
