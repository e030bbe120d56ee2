#include "cli/CommandLine.h"

#include <QCoreApplication>
#include <algorithm>

#include "app/LinkOption.h"
#include "app/SerialPorts.h"
#include "check/ScriptCheck.h"
#include "cli/Batch.h"
#include "cli/ConvertSvf.h"
#include "cli/HistoryOptions.h"
#include "cli/LineCommand.h"
#include "cli/SealCommand.h"
#include "convert/svfconvert.h"
#include "formats/text.h"
#include "sys/ExitStatus.h"
#include "version.h"

namespace {

// Longest --timeout that still fits in milliseconds of 32 bits.
constexpr int64_t kMaxTimeoutSeconds = INT32_MAX / 1000;
constexpr int64_t kMaxJobs = 1000;
// Where --help's texts begin, and how wide the usage lines run.
constexpr size_t kHelpColumn = 21;
constexpr size_t kUsageWidth = 88;

// The modes SCRIPT works with.
constexpr TCommandMode kScriptModes[] = {cmWINDOW, cmCHECK, cmBATCH, cmLINE};

using TValues = std::vector<std::string>;

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

const char* ModeName(TCommandMode mode) {
  switch (mode) {
    case cmWINDOW:
      return "the window";
    case cmCHECK:
      return "--check";
    case cmBATCH:
      return "--batch";
    case cmCONVERT:
      return "--convert-svf";
    case cmLISTPORTS:
      return "--list-ports";
    case cmLINE:
      return "--line";
    case cmSEAL:
      return "--seal";
    case cmLINEWINDOW:
      return "--line-window";
    case cmHISTORY:
      return "--history";
    case cmHISTORYIMPORT:
      return "--history-import";
    case cmHISTORYSYNC:
      return "--history-sync";
    default:
      return "";
  }
}

// "--batch, --check or --line".
std::string ModeList(const std::vector<TCommandMode>& modes) {
  std::string text;
  for (size_t i = 0; i < modes.size(); ++i)
    text += (i == 0 ? "" : i + 1 == modes.size() ? " or " : ", ") + std::string(ModeName(modes[i]));
  return text;
}

bool TakeSeconds(const char* name, int32_t& seconds, const TValues& v, std::string& error) {
  const std::optional<int64_t> s = StrToInt(v[0], 0, kMaxTimeoutSeconds);
  if (s) {
    seconds = static_cast<int32_t>(*s);
    return true;
  }
  error = std::string(name) + " needs a whole number of seconds from 0 (no limit) to " +
          std::to_string(kMaxTimeoutSeconds) + ", not \"" + Excerpt(v[0]) + "\"";
  return false;
}

bool TakeTimeout(Options& o, const TValues& v, std::string& error) {
  return TakeSeconds("--timeout", o.TimeoutSeconds, v, error);
}

bool TakeConnectTimeout(Options& o, const TValues& v, std::string& error) {
  return TakeSeconds("--connect-timeout", o.ConnectSeconds, v, error);
}

bool TakeLink(Options& o, const TValues& v, std::string& error) {
  TLinkOption link;
  if (ParseLinkOption(v[0], link, error)) {
    o.Link = v[0];
    return true;
  }
  error = "--link " + error + "; LINK is " + LinkForms();
  return false;
}

bool TakeJobs(Options& o, const TValues& v, std::string& error) {
  const std::optional<int64_t> n = StrToInt(v[0], 1, kMaxJobs);
  if (n) {
    o.Jobs = static_cast<int32_t>(*n);
    return true;
  }
  error = "-j needs a whole number of devices from 1 to " + std::to_string(kMaxJobs) + ", not \"" +
          Excerpt(v[0]) + "\"";
  return false;
}

bool TakeTckHz(Options& o, const TValues& v, std::string& error) {
  const std::optional<TSvfReal> hz = ParseSvfReal(v[0]);
  if (hz && hz->Mantissa > 0) {
    o.TckHz = v[0];
    return true;
  }
  error = "--tck-hz needs a TCK rate in Hz above 0, such as 1E6, not \"" + Excerpt(v[0]) + "\"";
  return false;
}

std::vector<TOptionSpec> MakeOptionTable() {
  using enum TOptionValue;
  const std::vector<TCommandMode> sealed = {cmWINDOW, cmBATCH, cmCHECK, cmLINE, cmLINEWINDOW};
  const std::vector<TCommandMode> runs = {cmBATCH, cmLINE, cmLINEWINDOW};
  const std::vector<TCommandMode> lines = {cmLINE, cmLINEWINDOW};
  // clang-format off
  std::vector<TOptionSpec> table = {
    {"--check", None, "", cmCHECK, {}, false,
     "check the update package without a device: scripts, card\n"
     "sub-scripts, HEX and effect files; exit 0 when sound, 1 when not"},
    {"--batch", None, "", cmBATCH, {}, false,
     "run the update without a window, as START pressed at once,\n"
     "with the connection of Updater.prm in the package folder;\n"
     "status lines on stdout, the error and script on stderr;\n"
     "exit 0 completed, 1 error, 129/130/141/143 stopped by\n"
     "SIGHUP/SIGINT/SIGPIPE/SIGTERM"},
    {"--readid", None, "", cmWINDOW, {cmBATCH, cmCHECK, cmLINE}, false,
     "readid.ini instead of a\nscript",
     [](Options& o, const TValues&, std::string&) { return o.ReadId = true; }},
    {"--timeout", Required, "SECONDS", cmWINDOW, runs, false,
     "end the run as an error\n"
     "when the device sends nothing for that long while it is waited\n"
     "for (default: " + std::to_string(kDefaultTimeoutSeconds) + "; 0 waits for ever)",
     TakeTimeout},
    {"--connect-timeout", Required, "SECONDS", cmWINDOW, runs, false,
     "\nend the run as an error when the link has not connected within\n"
     "SECONDS (a TCP device that refuses or does not answer; default:\n" +
     std::to_string(kDefaultConnectSeconds) + "; 0 waits for ever)",
     TakeConnectTimeout},
    {"--trace", Required, "FILE", cmWINDOW, {cmBATCH}, false,
     "write every byte sent (>) and received (<) to FILE,\n"
     "with milliseconds since start, in hex and as text",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::TraceFile, o, v); }},
    {"--folder", Required, "DIR", cmWINDOW, {}, false,
     "the package folder, in every mode: scripts, card folders,\n"
     "BOOT_EXT_OPTION.HEX, readid.ini and Updater.prm are found in\n"
     "DIR; without it, in the program's own folder, SCRIPT's folder\n"
     "or the current folder, the first that holds the script",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::Folder, o, v); }},
    {"--list-ports", None, "", cmLISTPORTS, {}, false,
     "list the serial devices present (by-id name, driver, USB ids,\n"
     "manufacturer, product, serial number) and their COM slots"},
    {"--link", Required, "LINK", cmWINDOW, {cmBATCH, cmWINDOW}, false,
     "the connection for this process\n"
     "instead of Updater.prm's (which is then not rewritten): COM1..COM9,\n"
     "a device path, tcp:A.B.C.D:PORT or udp:A.B.C.D:PORT[:LOCALPORT]",
     TakeLink},
    {"--report", Required, "FILE", cmWINDOW, runs, false,
     "append a JSON record of\neach run to FILE",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::ReportFile, o, v); }},
    {"--events", None, "", cmWINDOW, {cmBATCH}, false,
     "JSON lines on stdout instead of the status lines",
     [](Options& o, const TValues&, std::string&) { return o.Events = true; }},
    {"--name", Required, "NAME", cmWINDOW, {cmBATCH}, false,
     "the device's name in the record and the events",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::Name, o, v); }},
    {"--line", Required, "FILE", cmLINE, {}, false,
     "update every device FILE lists (NAME LINK per line), each in a\n"
     "process of its own; exit 0 when every device completed, else 1",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::LineFile, o, v); }},
    {"-j", Required, "N", cmWINDOW, lines, false,
     "at most N devices at a time\n(default: all)",
     TakeJobs},
    {"--line-window", Inline, "[FILE]", cmLINEWINDOW, {}, false,
     "the production line in a window: one row per device of FILE,\n"
     "each run as --line runs it, started and stopped one by one or\n"
     "all at once; the list can be edited and saved",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::LineFile, o, v); }},
    {"--start", None, "", cmWINDOW, {cmLINEWINDOW}, false,
     "start every device when the window opens",
     [](Options& o, const TValues&, std::string&) { return o.StartAll = true; }},
    {"--convert-svf", Pair, "IN OUT", cmCONVERT, {}, false,
     "convert the SVF file IN, as FPGA, PROM and CPLD tools write it,\n"
     "into the effect file OUT that the device plays; OUT is written\n"
     "only when all of IN converts; exit 0 converted, 1 not",
     [](Options& o, const TValues& v, std::string&) {
       o.ConvertIn = v[0];
       o.ConvertOut = v[1];
       return true;
     }},
    {"--tck-hz", Required, "F", cmWINDOW, {cmCONVERT}, false,
     "the device's TCK rate in Hz, for RUNTEST\ntimes (default: the file's FREQUENCY)",
     TakeTckHz},
    // DIR is optional: "--seal --folder DIR" works as well.
    {"--seal", Optional, "[DIR]", cmSEAL, {}, false,
     "write package.manifest in the package folder (DIR, --folder or\n"
     "the program's): every file a run may read with its SHA-256 and\n"
     "size; a package --check faults is not sealed. The author then\n"
     "signs it: minisign -Sm package.manifest",
     [](Options& o, const TValues& v, std::string&) { return Store(&Options::SealFolder, o, v); }},
    // Keys add up.
    {"--trust", Required, "FILE", cmWINDOW, sealed, true,
     "\ntrust the minisign public key FILE (repeatable), besides the\n"
     "*.pub files in\n/etc/qubra-updater/trusted.d/ and in\n~/.config/qubra-updater/trusted.d/",
     [](Options& o, const TValues& v, std::string&) {
       o.TrustFiles.push_back(v[0]);
       return true;
     }},
    {"--require-seal", None, "", cmWINDOW, sealed, false,
     "\nrefuse a package that is not sealed, as REQUIRE_SEAL=1 in\n"
     "/etc/qubra-updater/policy does for a station",
     [](Options& o, const TValues&, std::string&) { return o.RequireSeal = true; }},
  };
  // clang-format on
  for (TOptionSpec& option : HistoryOptionRows()) table.push_back(std::move(option));
  table.push_back({"--help", None, "", cmHELP, {}, false, "print this help"});
  table.push_back(
      {"--version", None, "", cmVERSION, {}, false, "print the program name and version"});
  return table;
}

const TOptionSpec* FindOption(const std::string& name) {
  for (const TOptionSpec& option : OptionTable())
    if (option.Name == name) return &option;
  return nullptr;
}

bool Works(const TOptionSpec& option, TCommandMode mode) {
  return option.With.empty() ||
         std::find(option.With.begin(), option.With.end(), mode) != option.With.end();
}

bool TakesScript(TCommandMode mode) {
  return std::find(std::begin(kScriptModes), std::end(kScriptModes), mode) !=
         std::end(kScriptModes);
}

// What the arguments said so far.
struct TParse {
  Options O;
  bool Help = false, Version = false;
  std::vector<const TOptionSpec*> Given;

  bool WasGiven(const TOptionSpec& option) const {
    return std::find(Given.begin(), Given.end(), &option) != Given.end();
  }
};

bool SelectMode(TParse& p, const TOptionSpec& option, std::string& error) {
  if (option.Mode == cmHELP || option.Mode == cmVERSION) {
    (option.Mode == cmHELP ? p.Help : p.Version) = true;
  } else if (option.Mode != cmWINDOW) {
    if (p.O.Mode != cmWINDOW) {
      error = option.Name + " cannot be combined with " + ModeName(p.O.Mode);
      return false;
    }
    p.O.Mode = option.Mode;
  }
  return true;
}

// The value of "--name VALUE" or "--name=VALUE"; advances `i` past a separate value.
bool TakeValue(const std::vector<std::string>& args, size_t& i, const std::string& name,
               const std::optional<std::string>& inline_value, std::string& value,
               std::string& error) {
  if (inline_value) {
    value = *inline_value;
  } else if (i + 1 < args.size() && !StartsWith(args[i + 1], "--")) {
    value = args[++i];
  } else {
    value.clear();
  }
  if (value.empty()) error = name + " needs a value";
  return error.empty();
}

// The values `option` takes from the arguments at `i`.
bool TakeValues(const TOptionSpec& option, const std::vector<std::string>& args, size_t& i,
                const std::optional<std::string>& inline_value, TValues& values,
                std::string& error) {
  values.clear();
  const bool next_is_value = i + 1 < args.size() && !StartsWith(args[i + 1], "--");
  switch (option.Value) {
    case TOptionValue::None:
      return true;
    case TOptionValue::Optional:
      if (!inline_value && !next_is_value) return true;
      [[fallthrough]];
    case TOptionValue::Required:
      values.emplace_back();
      return TakeValue(args, i, option.Name, inline_value, values[0], error);
    case TOptionValue::Inline:
      if (!inline_value) return true;
      values.push_back(*inline_value);
      if (inline_value->empty()) error = option.Name + " needs a value";
      return error.empty();
    case TOptionValue::Pair:
      values.resize(2);
      if (TakeValue(args, i, option.Name, {}, values[0], error) &&
          TakeValue(args, i, option.Name, {}, values[1], error))
        return true;
      error = option.Name + " needs IN and OUT";
      return false;
  }
  return false;
}

bool ParseOption(const std::vector<std::string>& args, size_t& i, TParse& p, std::string& error) {
  const std::string& arg = args[i];
  std::string name = arg;
  std::optional<std::string> inline_value;
  if (const size_t eq = arg.find('='); StartsWith(arg, "--") && eq != std::string::npos) {
    name = arg.substr(0, eq);
    inline_value = arg.substr(eq + 1);
  }
  const TOptionSpec* option = FindOption(name);
  if (!option) {
    error = "unknown option " + Excerpt(name);
    return false;
  }
  if (!option->Repeatable && p.WasGiven(*option)) {
    // A second value would silently win over the first: which one was meant?
    error = Excerpt(name) + " may be given once";
    return false;
  }
  if (inline_value &&
      (option->Value == TOptionValue::None || option->Value == TOptionValue::Pair)) {
    error = Excerpt(name) + " takes no value";
    return false;
  }
  TValues values;
  if (!SelectMode(p, *option, error) || !TakeValues(*option, args, i, inline_value, values, error))
    return false;
  // An optional value left out leaves the option's field as it is.
  const bool store = !values.empty() || option->Value == TOptionValue::None;
  if (option->Take && store && !option->Take(p.O, values, error)) return false;
  p.Given.push_back(option);
  return true;
}

bool ParseScript(const std::string& arg, Options& o, std::string& error) {
  // The history's WHO and files stand where a SCRIPT would.
  if (o.Mode == cmHISTORYIMPORT) {
    o.HistoryFiles.push_back(arg);
    return true;
  }
  if (o.Mode == cmHISTORY) {
    if (!o.Who.empty()) {
      error = "only one WHO may be given, \"" + Excerpt(arg) + "\" is a second one";
      return false;
    }
    o.Who = arg;
    return true;
  }
  if (o.Script.empty()) {
    o.Script = arg;
    return true;
  }
  error = std::string(o.Mode == cmLINEWINDOW ? "only one FILE" : "only one SCRIPT") +
          " may be given, \"" + Excerpt(arg) + "\" is a second one";
  return false;
}

// Why a mode that takes no SCRIPT refuses the one given.
std::string ScriptRefused(const Options& o) {
  switch (o.Mode) {
    case cmCONVERT:
      return "--convert-svf takes IN and OUT only, not \"" + Excerpt(o.Script) + "\"";
    case cmSEAL:
      return "--seal seals the whole package (script.ini and readid.ini) and takes no SCRIPT";
    default:
      return std::string(ModeName(o.Mode)) + " takes no SCRIPT";
  }
}

// The first option given that does not work with the mode.
const TOptionSpec* FirstRefused(const TParse& p) {
  for (const TOptionSpec& option : OptionTable())
    if (p.WasGiven(option) && !Works(option, p.O.Mode)) return &option;
  return nullptr;
}

bool CheckCombination(const TParse& p, std::string& error) {
  const Options& o = p.O;
  if (p.Help || p.Version) return true;
  if (o.Mode == cmLINEWINDOW && (o.ReadId || !o.Script.empty())) {
    error = "--line-window takes one FILE, and no SCRIPT or --readid";
  } else if (o.ReadId && !o.Script.empty()) {
    error = "--readid runs readid.ini and takes no SCRIPT";
  } else if (!o.Link.empty() && (o.Mode == cmLINE || o.Mode == cmLINEWINDOW)) {
    error = "--link cannot be combined with " + std::string(ModeName(o.Mode)) +
            ": the device list names each link";
  } else if (const TOptionSpec* refused = FirstRefused(p)) {
    error = refused->Name + " needs " + ModeList(refused->With);
  } else if (!o.Script.empty() && !TakesScript(o.Mode)) {
    error = ScriptRefused(o);
  } else if (!o.SealFolder.empty() && !o.Folder.empty() && o.SealFolder != o.Folder) {
    error = "--seal " + Excerpt(o.SealFolder) + " and --folder " + Excerpt(o.Folder) +
            " name two folders";
  }
  return error.empty();
}

std::string Head(const TOptionSpec& option) {
  return option.Name + (option.ValueName.empty() ? "" : " " + option.ValueName);
}

std::string Optional(const TOptionSpec& option) {
  return "[" + Head(option) + "]" + (option.Repeatable ? "..." : "");
}

// One form of the command line: the options of every mode, the mode's option, then every option
// that works with it, in the table's order; SCRIPT where --readid would stand, or last.
std::string UsageForm(TCommandMode mode) {
  std::vector<std::string> words = {"qubra-updater"};
  for (const TOptionSpec& option : OptionTable())
    if (option.Mode == cmWINDOW && option.With.empty()) words.push_back(Optional(option));
  for (const TOptionSpec& option : OptionTable())
    if (option.Mode == mode && mode != cmWINDOW) words.push_back(Head(option));
  const bool script = TakesScript(mode);
  bool script_shown = false;
  for (const TOptionSpec& option : OptionTable()) {
    if (option.Mode != cmWINDOW || option.With.empty() || !Works(option, mode)) continue;
    if (option.Name == "--readid" && script) {
      words.push_back("[SCRIPT | --readid]");
      script_shown = true;
    } else {
      words.push_back(Optional(option));
    }
  }
  if (script && !script_shown) words.push_back("[SCRIPT]");
  std::string text, line;
  for (const std::string& word : words) {
    if (!line.empty() && kHelpColumn + line.size() + 1 + word.size() > kUsageWidth) {
      text += line + "\n" + std::string(kHelpColumn, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return text + line;
}

// "  --timeout SECONDS  with --batch, --line or --line-window: end the run as an error" and
// the lines after it.
std::string HelpEntry(const TOptionSpec& option) {
  const std::string head = "  " + Head(option);
  const std::string indent(kHelpColumn, ' ');
  std::string text = head.size() + 2 <= kHelpColumn
                         ? head + std::string(kHelpColumn - head.size(), ' ')
                         : head + "\n" + indent;
  std::string help = option.Help;
  if (!option.With.empty())
    help = "with " + ModeList(option.With) + ":" + (help.rfind('\n', 0) == 0 ? "" : " ") + help;
  for (size_t from = 0;;) {
    const size_t end = help.find('\n', from);
    text += help.substr(from, end - from) + "\n";
    if (end == std::string::npos) break;
    text += indent;
    from = end + 1;
  }
  return text;
}

}  // namespace

const std::vector<TOptionSpec>& OptionTable() {
  static const std::vector<TOptionSpec> table = MakeOptionTable();
  return table;
}

bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error) {
  TParse p;
  error.clear();
  for (size_t i = 0; i < args.size(); ++i) {
    const bool parsed = StartsWith(args[i], "-") ? ParseOption(args, i, p, error)
                                                 : ParseScript(args[i], p.O, error);
    if (!parsed) return false;
  }
  Options& o = p.O;
  if (o.Mode == cmLINEWINDOW && o.LineFile.empty()) std::swap(o.LineFile, o.Script);
  if (o.Mode == cmHISTORYIMPORT && !o.Script.empty())
    o.HistoryFiles.insert(o.HistoryFiles.begin(), std::exchange(o.Script, ""));
  if (o.Mode == cmHISTORY && o.Who.empty()) std::swap(o.Who, o.Script);
  if (!CheckCombination(p, error)) return false;
  if (o.Folder.empty()) o.Folder = o.SealFolder;
  if (p.Help)
    o.Mode = cmHELP;
  else if (p.Version)
    o.Mode = cmVERSION;
  options = o;
  return true;
}

std::string UsageLine() {
  std::string text = "usage: ";
  for (const TCommandMode mode : {cmWINDOW, cmCHECK, cmBATCH, cmLINE, cmLINEWINDOW, cmLISTPORTS,
                                  cmSEAL, cmCONVERT, cmHISTORY, cmHISTORYIMPORT, cmHISTORYSYNC})
    text += UsageForm(mode) + "\n       ";
  return text + "qubra-updater --help | --version";
}

std::string UsageHint(const std::string& error) {
  const TOptionSpec* option = FindOption(error.substr(0, error.find_first_of(" =:")));
  std::string form;
  if (option && option->Mode != cmWINDOW && option->Mode != cmHELP && option->Mode != cmVERSION) {
    form = UsageForm(option->Mode);
    for (size_t at; (at = form.find("\n" + std::string(kHelpColumn, ' '))) != form.npos;)
      form.replace(at, kHelpColumn + 1, " ");
  } else if (option) {
    form = "qubra-updater " + Head(*option) +
           (option->With.empty() ? "" : ", with " + ModeList(option->With));
  }
  return (form.empty() ? "" : "usage: " + form + "\n") +
         "see qubra-updater --help for every option";
}

std::string HelpText() {
  std::string text = UsageLine() +
                     "\n\n"
                     "Updates the firmware and programmable parts of a Qubra device.\n"
                     "  SCRIPT             update script (default: script.ini in the program "
                     "folder);\n"
                     "                     without an option the window opens with it\n";
  for (const TOptionSpec& option : OptionTable()) text += HelpEntry(option);
  return text +
         "A sealed package runs only when a trusted key signed its manifest and every file is\n"
         "as it was sealed; otherwise the run ends before the device is contacted (exit 1).\n"
         "Usage errors exit with status 2.\n";
}

std::string ScriptPathFor(const Options& options, const std::string& program_dir) {
  if (!options.Script.empty()) return options.Script;
  return program_dir + (options.ReadId ? "readid.ini" : "script.ini");
}

int RunCheck(const Options& options, const std::string& program_dir, std::ostream& out) {
  const std::string script = ScriptPathFor(options, program_dir);
  TScriptCheck check(program_dir);
  check.Run(script);
  std::vector<TCheckFinding> findings = check.Findings();
  // Every way the package differs from its seal, not only the first a run would stop at.
  const TSealPolicy policy = SealPolicyFor(options);
  const TSealState seal = CheckPackageSeal(program_dir, script, policy);
  for (const std::string& problem : seal.Problems) {
    // The policy's lines name their own file, and an unsealed package has no manifest.
    const bool policy_said =
        std::find(policy.Errors.begin(), policy.Errors.end(), problem) != policy.Errors.end();
    findings.push_back({seal.Sealed && !policy_said ? program_dir + kManifestName : "", 0, problem});
  }
  // A package is outside data: nothing in it may steer the terminal.
  for (const TCheckFinding& f : findings) out << EscapeControls(FormatFinding(f)) << '\n';
  if (seal.Verified) out << EscapeControls(SealStatusText(seal)) << '\n';
  out << FormatSummary(findings, check.FilesChecked()) << '\n';
  out.flush();
  return findings.empty() ? kExitCompleted : kExitFailed;
}

namespace {

// A folder holding one of these is a package folder for the mode.
std::vector<std::string> StartScripts(const Options& o) {
  if (o.Mode == cmLISTPORTS) return {"Updater.prm"};
  if (o.Mode == cmWINDOW) return {"script.ini", "readid.ini"};
  return {o.ReadId ? "readid.ini" : "script.ini"};
}

// The scripts --folder DIR must hold: a SCRIPT named apart, or files to convert, need none.
std::vector<std::string> GivenFolderScripts(const Options& o) {
  if (!o.Script.empty() || o.Mode == cmCONVERT) return {};
  if (o.Mode == cmSEAL) return {"script.ini"};
  if (o.Mode == cmWINDOW || o.Mode == cmLISTPORTS) return {"script.ini", "readid.ini"};
  return {o.ReadId ? "readid.ini" : "script.ini"};
}

bool UseGivenFolder(const Options& options, std::string& error) {
  if (!UsablePackageFolder(options.Folder, GivenFolderScripts(options), error)) {
    error = "--folder " + error;
    return false;
  }
  SetProgramDir(options.Folder);
  return true;
}

}  // namespace

bool UseFolder(const Options& options, bool& usage_error, std::string& error) {
  usage_error = true;
  // The history is the station's, not a package's.
  if (options.Mode == cmHELP || options.Mode == cmVERSION || HistoryMode(options.Mode)) return true;
  if (!options.Folder.empty()) return UseGivenFolder(options, error);
  if (options.Mode == cmCONVERT) return true;
  const std::vector<std::string> starts = StartScripts(options);
  const TPackageFound found =
      FindPackageFolder({options.Script, starts, ProgramFileDir(), CurrentDir()});
  if (!found.Dir.empty()) {
    // The program's own folder stays unnamed, so a portable folder works as it always did.
    SetProgramDir(found.Own ? std::string() : found.Dir);
    return true;
  }
  if (options.Mode == cmWINDOW || options.Mode == cmLINEWINDOW) {
    ForgetProgramDir();  // the window asks the operator
    return true;
  }
  // Ports are listed all the same, with the default COM slots.
  if (options.Mode == cmLISTPORTS) return true;
  usage_error = false;
  error = "no package folder: " + NoPackageText(found, starts) +
          "; name the package folder with --folder DIR";
  return false;
}

std::optional<int> RunWithoutWindow(int argc, char** argv, Options& options,
                                    std::string& window_error) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  std::string error;
  bool usage_error = true;
  if (!ParseCommandLine(args, options, error) || !UseFolder(options, usage_error, error) ||
      !CheckTrustFiles(options, error) ||
      !StationHistoryAllowed(options, SealPolicyFor(options), error)) {
    std::cerr << "qubra-updater: " << error << "\n";
    if (usage_error) std::cerr << UsageHint(error) << "\n";
    std::cerr << std::flush;
    if (options.Mode == cmWINDOW || options.Mode == cmLINEWINDOW) window_error = error;
    return kExitUsage;
  }
  UseRunHistory(StationHistory(options, SealPolicyFor(options)));
  switch (options.Mode) {
    case cmHELP:
      std::cout << HelpText() << std::flush;
      return kExitCompleted;
    case cmVERSION:
      std::cout << QUBRA_PRODUCT << " " << QUBRA_VERSION << std::endl;
      return kExitCompleted;
    case cmCHECK:
      return RunCheck(options, ProgramDir());
    case cmSEAL:
      return RunSeal(ProgramDir(), std::cout, std::cerr);
    case cmCONVERT:
      return RunConvertSvf(options);
    case cmBATCH: {
      // No window and no display: the event loop of Qt Core is all a run needs.
      QCoreApplication app(argc, argv);
      return FinishRunHistory(RunBatch(options, ProgramDir()));
    }
    case cmLINE: {
      QCoreApplication app(argc, argv);
      return FinishRunHistory(RunLine(options, ProgramDir(), *MakeSystemChildRunner()));
    }
    case cmLISTPORTS:
      return RunListPorts(*MakeSystemSerialDevices(), ProgramDir(), std::cout, std::cerr);
    case cmHISTORY:
      if (!options.Chart.empty()) return RunHistoryChart(argc, argv, options);
      [[fallthrough]];
    case cmHISTORYIMPORT:
    case cmHISTORYSYNC: {
      QCoreApplication app(argc, argv);  // the database drivers are Qt's plugins
      return RunHistoryCommand(options);
    }
    case cmWINDOW:
    case cmLINEWINDOW:
      break;
  }
  return std::nullopt;
}
