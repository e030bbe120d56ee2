#include "cli/CommandLine.h"

#include <QCoreApplication>
#include <set>

#include "app/LinkOption.h"
#include "app/SerialPorts.h"
#include "check/ScriptCheck.h"
#include "cli/Batch.h"
#include "cli/ConvertSvf.h"
#include "cli/LineCommand.h"
#include "cli/SealCommand.h"
#include "engines/svfconvert.h"
#include "formats/text.h"
#include "version.h"

namespace {

// Longest --timeout that still fits in milliseconds of 32 bits.
constexpr int64_t kMaxTimeoutSeconds = INT32_MAX / 1000;
constexpr int64_t kMaxJobs = 1000;

bool TakesValue(const std::string& name) {
  for (const char* option : {"--timeout", "--trace", "--tck-hz", "--folder", "--link", "--report",
                             "--name", "--line", "--line-window", "--seal", "--trust"})
    if (name == option) return true;
  return false;
}

bool StartsWith(const std::string& s, const char* prefix) {
  return s.rfind(prefix, 0) == 0;
}

const char* ModeOption(TCommandMode mode) {
  switch (mode) {
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
    default:
      return "";
  }
}

bool SetMode(Options& o, TCommandMode mode, const std::string& option, std::string& error) {
  if (o.Mode != cmWINDOW) {
    error = option + " cannot be combined with " + ModeOption(o.Mode);
    return false;
  }
  o.Mode = mode;
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
    error = name + " needs a value";
    return false;
  }
  if (value.empty()) {
    error = name + " needs a value";
    return false;
  }
  return true;
}

bool CheckCombination(const Options& o, bool help_or_version, std::string& error) {
  if (help_or_version) return true;
  const bool batch = o.Mode == cmBATCH;
  const bool line = o.Mode == cmLINE || o.Mode == cmLINEWINDOW;
  if (o.Mode == cmLINEWINDOW && (o.ReadId || !o.Script.empty())) {
    error = "--line-window takes one FILE, and no SCRIPT or --readid";
  } else if (o.StartAll && o.Mode != cmLINEWINDOW) {
    error = "--start needs --line-window";
  } else if (o.ReadId && !o.Script.empty()) {
    error = "--readid runs readid.ini and takes no SCRIPT";
  } else if (o.ReadId && o.Mode != cmCHECK && !batch && !line) {
    error = "--readid needs --batch, --check or --line";
  } else if (o.Mode == cmLISTPORTS && !o.Script.empty()) {
    error = "--list-ports takes no SCRIPT";
  } else if (o.TimeoutSeconds >= 0 && !batch && !line) {
    error = "--timeout needs --batch, --line or --line-window";
  } else if (!o.TraceFile.empty() && !batch) {
    error = "--trace needs --batch";
  } else if (!o.Link.empty() && line) {
    error = "--link cannot be combined with " + std::string(ModeOption(o.Mode)) +
            ": the device list names each link";
  } else if (!o.Link.empty() && !batch && o.Mode != cmWINDOW) {
    error = "--link needs --batch or the window";
  } else if (!o.ReportFile.empty() && !batch && !line) {
    error = "--report needs --batch, --line or --line-window";
  } else if ((o.Events || !o.Name.empty()) && !batch) {
    error = std::string(o.Events ? "--events" : "--name") + " needs --batch";
  } else if (o.Jobs > 0 && !line) {
    error = "-j needs --line or --line-window";
  } else if (o.Mode == cmCONVERT && (!o.Script.empty() || o.ReadId)) {
    error = "--convert-svf takes IN and OUT only, not \"" +
            (o.ReadId ? std::string("--readid") : Excerpt(o.Script)) + "\"";
  } else if (!o.TckHz.empty() && o.Mode != cmCONVERT) {
    error = "--tck-hz needs --convert-svf";
  } else if (o.Mode == cmSEAL && (!o.Script.empty() || o.ReadId)) {
    error = "--seal seals the whole package (script.ini and readid.ini) and takes no " +
            std::string(o.ReadId ? "--readid" : "SCRIPT");
  } else if (!o.SealFolder.empty() && !o.Folder.empty() && o.SealFolder != o.Folder) {
    error = "--seal " + Excerpt(o.SealFolder) + " and --folder " + Excerpt(o.Folder) +
            " name two folders";
  } else if ((!o.TrustFiles.empty() || o.RequireSeal) &&
             (o.Mode == cmSEAL || o.Mode == cmCONVERT || o.Mode == cmLISTPORTS)) {
    error = std::string(o.RequireSeal ? "--require-seal" : "--trust") +
            " needs the window, --batch, --check, --line or --line-window";
  }
  return error.empty();
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error) {
  Options o;
  bool help = false;
  bool version = false;
  std::set<std::string> given;
  error.clear();
  for (size_t i = 0; i < args.size() && error.empty(); ++i) {
    const std::string& arg = args[i];
    std::string name = arg;
    std::optional<std::string> inline_value;
    if (const size_t eq = arg.find('='); StartsWith(arg, "--") && eq != std::string::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    std::string value;
    // A second value would silently win over the first: which one was meant? Keys add up.
    if ((arg == "-j" || StartsWith(arg, "--")) && name != "--trust" && !given.insert(name).second) {
      error = Excerpt(name) + " may be given once";
    } else if (arg == "-j") {
      if (!TakeValue(args, i, arg, std::nullopt, value, error)) break;
      std::optional<int64_t> n = StrToInt(value, 1, kMaxJobs);
      if (n)
        o.Jobs = static_cast<int32_t>(*n);
      else
        error = "-j needs a whole number of devices from 1 to " + std::to_string(kMaxJobs) +
                ", not \"" + Excerpt(value) + "\"";
    } else if (!StartsWith(arg, "--")) {
      if (o.Script.empty())
        o.Script = arg;
      else
        error = std::string(o.Mode == cmLINEWINDOW ? "only one FILE" : "only one SCRIPT") +
                " may be given, \"" + Excerpt(arg) + "\" is a second one";
    } else if (inline_value && !TakesValue(name)) {
      error = Excerpt(name) + " takes no value";
    } else if (name == "--check") {
      SetMode(o, cmCHECK, name, error);
    } else if (name == "--batch") {
      SetMode(o, cmBATCH, name, error);
    } else if (name == "--list-ports") {
      SetMode(o, cmLISTPORTS, name, error);
    } else if (name == "--folder") {
      if (TakeValue(args, i, name, inline_value, value, error)) o.Folder = value;
    } else if (name == "--readid") {
      o.ReadId = true;
    } else if (name == "--help") {
      help = true;
    } else if (name == "--version") {
      version = true;
    } else if (name == "--timeout") {
      if (!TakeValue(args, i, name, inline_value, value, error)) break;
      std::optional<int64_t> s = StrToInt(value, 0, kMaxTimeoutSeconds);
      if (s)
        o.TimeoutSeconds = static_cast<int32_t>(*s);
      else
        error = "--timeout needs a whole number of seconds from 0 (no limit) to " +
                std::to_string(kMaxTimeoutSeconds) + ", not \"" + Excerpt(value) + "\"";
    } else if (name == "--trace") {
      if (TakeValue(args, i, name, inline_value, value, error)) o.TraceFile = value;
    } else if (name == "--link") {
      if (!TakeValue(args, i, name, inline_value, value, error)) break;
      TLinkOption link;
      if (ParseLinkOption(value, link, error))
        o.Link = value;
      else
        error = "--link " + error + "; LINK is " + LinkForms();
    } else if (name == "--report") {
      if (TakeValue(args, i, name, inline_value, value, error)) o.ReportFile = value;
    } else if (name == "--name") {
      if (TakeValue(args, i, name, inline_value, value, error)) o.Name = value;
    } else if (name == "--events") {
      o.Events = true;
    } else if (name == "--seal") {
      if (!SetMode(o, cmSEAL, name, error)) break;
      // DIR is optional: "--seal --folder DIR" works as well.
      if (inline_value || (i + 1 < args.size() && !StartsWith(args[i + 1], "--")))
        TakeValue(args, i, name, inline_value, o.SealFolder, error);
    } else if (name == "--trust") {
      if (TakeValue(args, i, name, inline_value, value, error)) o.TrustFiles.push_back(value);
    } else if (name == "--require-seal") {
      o.RequireSeal = true;
    } else if (name == "--line") {
      if (TakeValue(args, i, name, inline_value, value, error) && SetMode(o, cmLINE, name, error))
        o.LineFile = value;
    } else if (name == "--line-window") {
      // FILE is optional: "--line-window=FILE", or the argument that does not begin with "-".
      if (SetMode(o, cmLINEWINDOW, name, error) && inline_value) {
        if (inline_value->empty()) error = name + " needs a value";
        o.LineFile = *inline_value;
      }
    } else if (name == "--start") {
      o.StartAll = true;
    } else if (name == "--convert-svf") {
      if (!SetMode(o, cmCONVERT, name, error)) break;
      if (!TakeValue(args, i, name, {}, o.ConvertIn, error) ||
          !TakeValue(args, i, name, {}, o.ConvertOut, error))
        error = "--convert-svf needs IN and OUT";
    } else if (name == "--tck-hz") {
      if (!TakeValue(args, i, name, inline_value, value, error)) break;
      const std::optional<TSvfReal> hz = ParseSvfReal(value);
      if (hz && hz->Mantissa > 0)
        o.TckHz = value;
      else
        error =
            "--tck-hz needs a TCK rate in Hz above 0, such as 1E6, not \"" + Excerpt(value) + "\"";
    } else {
      error = "unknown option " + Excerpt(name);
    }
  }
  if (o.Mode == cmLINEWINDOW && o.LineFile.empty()) std::swap(o.LineFile, o.Script);
  if (!error.empty() || !CheckCombination(o, help || version, error)) return false;
  if (o.Folder.empty()) o.Folder = o.SealFolder;
  if (help)
    o.Mode = cmHELP;
  else if (version)
    o.Mode = cmVERSION;
  options = o;
  return true;
}

std::string UsageLine() {
  return "usage: qubra-updater [--folder DIR] [--link LINK] [SEAL] [SCRIPT]\n"
         "       qubra-updater [--folder DIR] --check [SCRIPT | --readid] [SEAL]\n"
         "       qubra-updater [--folder DIR] --batch [SCRIPT | --readid] [--link LINK]\n"
         "                     [--timeout SECONDS] [--trace FILE] [--report FILE] [--events]\n"
         "                     [--name NAME] [SEAL]\n"
         "       qubra-updater [--folder DIR] --line FILE [-j N] [SCRIPT | --readid]\n"
         "                     [--timeout SECONDS] [--report FILE] [SEAL]\n"
         "       qubra-updater [--folder DIR] --line-window [FILE] [-j N] [--start]\n"
         "                     [--timeout SECONDS] [--report FILE] [SEAL]\n"
         "       qubra-updater [--folder DIR] --list-ports\n"
         "       qubra-updater --seal [DIR] | --folder DIR --seal\n"
         "       qubra-updater --convert-svf IN OUT [--tck-hz F]\n"
         "       qubra-updater --help | --version\n"
         "SEAL is [--trust FILE]... [--require-seal]";
}

std::string HelpText() {
  return UsageLine() +
         "\n\n"
         "Updates the firmware and programmable parts of a Qubra device.\n"
         "  SCRIPT             update script (default: script.ini in the program folder);\n"
         "                     without an option the window opens with it\n"
         "  --check            check the update package without a device: scripts, card\n"
         "                     sub-scripts, HEX and effect files; exit 0 when sound, 1 when not\n"
         "  --batch            run the update without a window, as START pressed at once,\n"
         "                     with the connection of Updater.prm in the program folder;\n"
         "                     status lines on stdout, the error and script on stderr;\n"
         "                     exit 0 completed, 1 error, 130/143 stopped by SIGINT/SIGTERM\n"
         "  --readid           with --check, --batch or --line: readid.ini instead of a\n"
         "                     script\n"
         "  --timeout SECONDS  with --batch, --line or --line-window: end the run as an error\n"
         "                     when the device sends nothing for that long while it is waited\n"
         "                     for (default: " +
         std::to_string(kDefaultTimeoutSeconds) +
         "; 0 waits for ever)\n"
         "  --trace FILE       with --batch: write every byte sent (>) and received (<) to FILE,\n"
         "                     with milliseconds since start, in hex and as text\n"
         "  --folder DIR       the package folder, in every mode: scripts, card folders,\n"
         "                     BOOT_EXT_OPTION.HEX, readid.ini and Updater.prm are found in\n"
         "                     DIR; without it, in the program's own folder, SCRIPT's folder\n"
         "                     or the current folder, the first that holds the script\n"
         "  --list-ports       list the serial devices present (by-id name, driver, USB ids,\n"
         "                     manufacturer, product, serial number) and their COM slots\n"
         "  --link LINK        with --batch or the window: the connection for this process\n"
         "                     instead of Updater.prm's (which is then not rewritten): "
         "COM1..COM9,\n"
         "                     a device path, tcp:A.B.C.D:PORT or udp:A.B.C.D:PORT[:LOCALPORT]\n"
         "  --report FILE      with --batch, --line or --line-window: append a JSON record of\n"
         "                     each run to FILE\n"
         "  --events           with --batch: JSON lines on stdout instead of the status lines\n"
         "  --name NAME        with --batch: the device's name in the record and the events\n"
         "  --line FILE        update every device FILE lists (NAME LINK per line), each in a\n"
         "                     process of its own; exit 0 when every device completed, else 1\n"
         "  -j N               with --line or --line-window: at most N devices at a time\n"
         "                     (default: all)\n"
         "  --line-window [FILE]\n"
         "                     the production line in a window: one row per device of FILE,\n"
         "                     each run as --line runs it, started and stopped one by one or\n"
         "                     all at once; the list can be edited and saved\n"
         "  --start            with --line-window: start every device when the window opens\n"
         "  --convert-svf IN OUT\n"
         "                     convert the SVF file IN, as FPGA, PROM and CPLD tools write it,\n"
         "                     into the effect file OUT that the device plays; OUT is written\n"
         "                     only when all of IN converts; exit 0 converted, 1 not\n"
         "  --tck-hz F         with --convert-svf: the device's TCK rate in Hz, for RUNTEST\n"
         "                     times (default: the file's FREQUENCY)\n"
         "  --seal [DIR]       write package.manifest in the package folder (DIR, --folder or\n"
         "                     the program's): every file a run may read with its SHA-256 and\n"
         "                     size; a package --check faults is not sealed. The author then\n"
         "                     signs it: minisign -Sm package.manifest\n"
         "  --trust FILE       with the window, --check, --batch, --line or --line-window:\n"
         "                     trust the minisign public key FILE (repeatable), besides the\n"
         "                     *.pub files in\n"
         "                     /etc/qubra-updater/trusted.d/ and in\n"
         "                     ~/.config/qubra-updater/trusted.d/\n"
         "  --require-seal     with the window, --check, --batch, --line or --line-window:\n"
         "                     refuse a package that is not sealed, as REQUIRE_SEAL=1 in\n"
         "                     /etc/qubra-updater/policy does for a station\n"
         "  --help             print this help\n"
         "  --version          print the program name and version\n"
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
  const TSealState seal = CheckPackageSeal(program_dir, script, SealPolicyFor(options));
  for (const std::string& problem : seal.Problems)
    findings.push_back({program_dir + kManifestName, 0, problem});
  for (const TCheckFinding& f : findings) out << FormatFinding(f) << '\n';
  if (seal.Verified) out << SealStatusText(seal) << '\n';
  out << FormatSummary(findings, check.FilesChecked()) << '\n';
  out.flush();
  return findings.empty() ? 0 : 1;
}

namespace {

// A folder holding one of these is a package folder for the mode.
std::vector<std::string> StartScripts(const Options& o) {
  if (o.Mode == cmLISTPORTS) return {"Updater.prm"};
  if (o.Mode == cmWINDOW) return {"script.ini", "readid.ini"};
  return {o.ReadId ? "readid.ini" : "script.ini"};
}

std::string UseGivenFolder(const Options& options) {
  std::string problem;
  // A SCRIPT named apart, or files to convert, need no script in the folder.
  if (!options.Script.empty() || options.Mode == cmCONVERT)
    problem = PackageFolderProblem(options.Folder, {});
  else if (options.Mode == cmSEAL)
    problem = PackageFolderProblem(options.Folder, {"script.ini"});
  else if (options.Mode == cmCHECK || options.Mode == cmBATCH || options.Mode == cmLINE ||
           options.Mode == cmLINEWINDOW)
    problem = PackageFolderProblem(options.Folder, {options.ReadId ? "readid.ini" : "script.ini"});
  else
    problem = PackageFolderProblem(options.Folder, {"script.ini", "readid.ini"});
  if (!problem.empty()) return "--folder " + problem;
  SetProgramDir(options.Folder);
  return {};
}

}  // namespace

std::string UseFolder(const Options& options, bool& usage_error) {
  usage_error = true;
  if (options.Mode == cmHELP || options.Mode == cmVERSION) return {};
  if (!options.Folder.empty()) return UseGivenFolder(options);
  if (options.Mode == cmCONVERT) return {};
  const std::vector<std::string> starts = StartScripts(options);
  const TPackageFound found =
      FindPackageFolder({options.Script, starts, ProgramFileDir(), CurrentDir()});
  if (!found.Dir.empty()) {
    // The program's own folder stays unnamed, so a portable folder works as it always did.
    SetProgramDir(found.Own ? std::string() : found.Dir);
    return {};
  }
  if (options.Mode == cmWINDOW) {
    ForgetProgramDir();  // the window asks the operator
    return {};
  }
  // Ports are listed all the same, with the default COM slots.
  if (options.Mode == cmLISTPORTS) return {};
  usage_error = false;
  return "no package folder: " + NoPackageText(found, starts) +
         "; name the package folder with --folder DIR";
}

std::optional<int> RunWithoutWindow(int argc, char** argv, Options& options) {
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
  std::string error;
  bool usage_error = true;
  if (!ParseCommandLine(args, options, error) ||
      !(error = UseFolder(options, usage_error)).empty() || !TrustFilesServe(options, error)) {
    std::cerr << "qubra-updater: " << error << "\n";
    if (usage_error) std::cerr << UsageLine() << "\n";
    std::cerr << std::flush;
    return 2;
  }
  switch (options.Mode) {
    case cmHELP:
      std::cout << HelpText() << std::flush;
      return 0;
    case cmVERSION:
      std::cout << QUBRA_PRODUCT << " " << QUBRA_VERSION << std::endl;
      return 0;
    case cmCHECK:
      return RunCheck(options, ProgramDir());
    case cmSEAL:
      return RunSeal(ProgramDir(), std::cout, std::cerr);
    case cmCONVERT:
      return RunConvertSvf(options);
    case cmBATCH: {
      // No window and no display: the event loop of Qt Core is all a run needs.
      QCoreApplication app(argc, argv);
      return RunBatch(options, ProgramDir());
    }
    case cmLINE: {
      QCoreApplication app(argc, argv);
      return RunLine(options, ProgramDir());
    }
    case cmLISTPORTS:
      return RunListPorts(*MakeSystemSerialDevices(), ProgramDir(), std::cout, std::cerr);
    case cmWINDOW:
    case cmLINEWINDOW:
      break;
  }
  return std::nullopt;
}
