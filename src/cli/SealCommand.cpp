#include "cli/SealCommand.h"

#include <algorithm>
#include <cctype>
#include <ostream>

#include "check/ScriptCheck.h"
#include "cli/Options.h"
#include "formats/text.h"
#include "sys/ExitStatus.h"
#include "sys/Files.h"

namespace {

// A file that cannot be looked at counts as absent, as no file to seal or to warn about.
bool Exists(const std::string& path) {
  TFileStatus status;
  std::string ignored;
  return FileStatus(path, status, ignored) == TLook::Found;
}

// `text` as one word of a POSIX shell: bare when nothing in it means anything to the shell.
std::string ShellWord(std::string_view text) {
  const bool bare = !text.empty() && std::ranges::all_of(text, [](char c) {
    const auto u = static_cast<unsigned char>(c);  // UTF-8 beyond ASCII is plain to a shell
    return std::isalnum(u) || u >= 0x80 ||
           std::string_view("/._-+,:@%=").find(c) != std::string_view::npos;
  });
  if (bare) return std::string(text);
  std::string word = "'";
  for (char c : text) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}

}  // namespace

TSealPolicy SealPolicyFor(const Options& options, const std::string& policy_file) {
  TSealPolicy policy;
  policy.Trust.Files = options.TrustFiles;
  const std::string config = EnvironmentValue("XDG_CONFIG_HOME");
  const std::string home = EnvironmentValue("HOME");
  policy.Trust.Folders = DefaultTrustFolders(config.c_str(), home.c_str());
  policy.KeyFolder = UserTrustFolder(config.c_str(), home.c_str());
  ReadStationPolicy(policy_file, policy);
  if (options.RequireSeal) {
    policy.RequireSeal = true;
    policy.RequiredBy = "--require-seal";
  }
  return policy;
}

bool CheckTrustFiles(const Options& options, std::string& error) {
  error.clear();
  for (const std::string& problem : LoadTrustedKeys({options.TrustFiles, {}}).Errors)
    error += (error.empty() ? "--trust " : "\n--trust ") + EscapeControls(problem);
  return error.empty();
}

int RunSeal(const std::string& program_dir, std::ostream& out, std::ostream& err) {
  TScriptCheck check(program_dir);
  check.Run(program_dir + "script.ini");
  if (Exists(program_dir + "readid.ini"))
    check.Run(program_dir + "readid.ini");
  const std::string manifest_path = program_dir + kManifestName;
  if (!check.Findings().empty()) {
    for (const TCheckFinding& f : check.Findings()) err << FormatFinding(f) << '\n';
    err << "qubra-updater: " << Excerpt(manifest_path) << " not written: the package check found "
        << FormatSummary(check.Findings(), check.FilesChecked()) << std::endl;
    return kExitFailed;
  }
  std::string old, error;
  const bool had_manifest = ReadWholeFile(manifest_path, old, error) == TLook::Found;
  TManifest manifest;
  if (!BuildManifest(program_dir, PackageFiles(program_dir, check), manifest, error) ||
      !WriteManifest(program_dir, manifest, error)) {
    err << "qubra-updater: " << Excerpt(manifest_path) << " not written: " << error << std::endl;
    return kExitFailed;
  }
  out << Excerpt(manifest_path) << ": " << manifest.Entries.size() << " files sealed\n";
  if (had_manifest && old != FormatManifest(manifest) &&
      Exists(program_dir + kSignatureName)) {
    out << Excerpt(program_dir + kSignatureName)
        << " signs the manifest as it was before and no longer matches\n";
  }
  out << "sign it with: minisign -Sm " << ShellWord(Excerpt(manifest_path)) << std::endl;
  return kExitCompleted;
}
