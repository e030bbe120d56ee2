#include "cli/CommandLine.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/ProgramDir.h"
#include "app/package.h"
#include "cli/ConvertSvf.h"
#include "formats/text.h"

namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, ParsesModesAndValues) {
  struct Case {
    Args args;
    TCommandMode mode;
    std::string script;
    bool readid;
    int32_t timeout;
    std::string trace;
  };
  const Case cases[] = {
      {{}, cmWINDOW, "", false, 0, ""},
      {{"my.ini"}, cmWINDOW, "my.ini", false, 0, ""},
      {{"--check"}, cmCHECK, "", false, 0, ""},
      {{"--check", "a/b.ini"}, cmCHECK, "a/b.ini", false, 0, ""},
      {{"a.ini", "--check"}, cmCHECK, "a.ini", false, 0, ""},
      {{"--check", "--readid"}, cmCHECK, "", true, 0, ""},
      {{"--batch", "--timeout", "30", "--trace", "t.log", "x.ini"},
       cmBATCH,
       "x.ini",
       false,
       30,
       "t.log"},
      {{"--batch", "--readid", "--timeout=5", "--trace=t"}, cmBATCH, "", true, 5, "t"},
      {{"-x"}, cmWINDOW, "-x", false, 0, ""},
      {{"--check", "--help"}, cmHELP, "", false, 0, ""},
      {{"--version", "s.ini"}, cmVERSION, "s.ini", false, 0, ""},
  };
  for (const Case& c : cases) {
    Options o;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(c.args, o, error)) << error;
    EXPECT_EQ(o.Mode, c.mode) << error;
    EXPECT_EQ(o.Script, c.script);
    EXPECT_EQ(o.ReadId, c.readid);
    EXPECT_EQ(o.TimeoutSeconds, c.timeout);
    EXPECT_EQ(o.TraceFile, c.trace);
  }

  struct LineCase {
    Args args;
    TCommandMode mode;
    std::string link, report, name, line;
    bool events;
    int32_t jobs;
  };
  const LineCase line_cases[] = {
      {{"--batch", "--link", "COM3", "--report", "r.jsonl", "--events", "--name", "dev 1"},
       cmBATCH,
       "COM3",
       "r.jsonl",
       "dev 1",
       "",
       true,
       0},
      {{"--batch", "--link=udp:127.0.0.1:10500:0x2905", "--name=-x"},
       cmBATCH,
       "udp:127.0.0.1:10500:0x2905",
       "",
       "-x",
       "",
       false,
       0},
      {{"--link", "/dev/serial/by-id/usb-1"},
       cmWINDOW,
       "/dev/serial/by-id/usb-1",
       "",
       "",
       "",
       false,
       0},
      {{"--line", "devices.txt", "-j", "4", "--report", "r", "--timeout", "9", "x.ini"},
       cmLINE,
       "",
       "r",
       "",
       "devices.txt",
       false,
       4},
  };
  for (const LineCase& c : line_cases) {
    Options o;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(c.args, o, error)) << error;
    EXPECT_EQ(o.Mode, c.mode);
    EXPECT_EQ(o.Link, c.link);
    EXPECT_EQ(o.ReportFile, c.report);
    EXPECT_EQ(o.Name, c.name);
    EXPECT_EQ(o.LineFile, c.line);
    EXPECT_EQ(o.Events, c.events);
    EXPECT_EQ(o.Jobs, c.jobs);
  }
}

TEST(CommandLine, UsageErrors) {
  const std::pair<Args, std::string> cases[] = {
      {{"--frobnicate"}, "unknown option --frobnicate"},
      {{"a.ini", "b.ini"}, "only one SCRIPT may be given, \"b.ini\" is a second one"},
      {{"--check", "--batch"}, "--batch cannot be combined with --check"},
      {{"--batch", "--timeout"}, "--timeout needs a value"},
      {{"--batch", "--timeout", "--readid"}, "--timeout needs a value"},
      {{"--batch", "--timeout", "0"},
       "--timeout needs a whole number of seconds from 1 to 2147483, not \"0\""},
      {{"--batch", "--timeout", "5s"},
       "--timeout needs a whole number of seconds from 1 to 2147483, not \"5s\""},
      {{"--batch", "--trace="}, "--trace needs a value"},
      {{"--check=1"}, "--check takes no value"},
      {{"--readid"}, "--readid needs --batch, --check or --line"},
      {{"--check", "--readid", "x.ini"}, "--readid runs readid.ini and takes no SCRIPT"},
      {{"--check", "--timeout", "3"}, "--timeout needs --batch or --line"},
      {{"--trace", "f"}, "--trace needs --batch"},
      {{"--line", "l", "--trace", "f"}, "--trace needs --batch"},
      {{"--line", "l", "--batch"}, "--batch cannot be combined with --line"},
      {{"--batch", "--link"}, "--link needs a value"},
      {{"--check", "--link", "COM1"}, "--link needs --batch or the window"},
      {{"--line", "l", "--link", "COM1"},
       "--link cannot be combined with --line: the device list names each link"},
      {{"--report", "r"}, "--report needs --batch or --line"},
      {{"--events"}, "--events needs --batch"},
      {{"--line", "l", "--name", "a"}, "--name needs --batch"},
      {{"--batch", "-j", "2"}, "-j needs --line"},
      {{"--line", "l", "-j", "0"}, "-j needs a whole number of devices from 1 to 1000, not \"0\""},
      {{"--line", "l", "-j"}, "-j needs a value"},
      {{"--events=1"}, "--events takes no value"},
      {{"--convert-svf", "a.svf"}, "--convert-svf needs IN and OUT"},
      {{"--convert-svf", "a", "b", "--check"}, "--check cannot be combined with --convert-svf"},
      {{"--convert-svf", "a", "b", "--convert-svf", "c", "d"}, "--convert-svf may be given once"},
      {{"--convert-svf", "a", "b", "c"}, "--convert-svf takes IN and OUT only, not \"c\""},
      {{"--convert-svf", "a", "b", "--tck-hz", "0"},
       "--tck-hz needs a TCK rate in Hz above 0, such as 1E6, not \"0\""},
      {{"--tck-hz=1E6"}, "--tck-hz needs --convert-svf"},
      {{"--" + std::string(5000, 'x')},
       "unknown option --" + std::string(254, 'x') + "...[4746 more characters cut]"},
  };
  for (const auto& [args, message] : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(ParseCommandLine(args, o, error)) << message;
    EXPECT_EQ(error, message);
  }

  // A bad --link quotes the text, says what is wrong with it and shows every accepted form.
  const std::string forms =
      "; LINK is COM1..COM9, a device path (/dev/ttyUSB0), tcp:A.B.C.D:PORT or "
      "udp:A.B.C.D:PORT[:LOCALPORT]";
  const std::pair<std::string, std::string> links[] = {
      {"COM0", "\"COM0\" is not a link"},
      {"COM10", "\"COM10\" is not a link"},
      {"com1", "\"com1\" is not a link"},
      {"ttyUSB0", "\"ttyUSB0\" is not a link"},
      {"tcp:127.0.0.1", "\"tcp:127.0.0.1\" is not tcp:A.B.C.D:PORT"},
      {"tcp:127.0.0.1:1:2", "\"tcp:127.0.0.1:1:2\" is not tcp:A.B.C.D:PORT"},
      {"udp:127.0.0.1:1:2:3", "\"udp:127.0.0.1:1:2:3\" is not udp:A.B.C.D:PORT[:LOCALPORT]"},
      {"tcp:127.0.0.256:10500",
       "bad address \"127.0.0.256\" in \"tcp:127.0.0.256:10500\": A.B.C.D expected"},
      {"udp:127.0.0:10500", "bad address \"127.0.0\" in \"udp:127.0.0:10500\": A.B.C.D expected"},
      {"tcp:127.0.0.1:65536",
       "bad port \"65536\" in \"tcp:127.0.0.1:65536\": a port from 1 to 65535 expected"},
      {"tcp:127.0.0.1:", "bad port \"\" in \"tcp:127.0.0.1:\": a port from 1 to 65535 expected"},
      {"udp:127.0.0.1:10500:x",
       "bad local port \"x\" in \"udp:127.0.0.1:10500:x\": a port from 1 to 65535 expected"},
  };
  for (const auto& [link, message] : links) {
    Options o;
    std::string error;
    EXPECT_FALSE(ParseCommandLine({"--batch", "--link", link}, o, error)) << link;
    EXPECT_EQ(error, "--link " + message + forms);
  }
}

TEST(CommandLine, FolderAndListPorts) {
  const std::pair<Args, std::string> good[] = {
      {{"--folder", "pkg"}, "pkg"},
      {{"--check", "--folder=/a b/"}, "/a b/"},
      {{"--list-ports", "--folder", "p"}, "p"},
      {{"--batch", "--readid", "--folder", "p"}, "p"},
  };
  for (const auto& [args, folder] : good) {
    Options o;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(args, o, error)) << error;
    EXPECT_EQ(o.Folder, folder);
  }
  Options o;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"--list-ports"}, o, error));
  EXPECT_EQ(o.Mode, cmLISTPORTS);

  const std::pair<Args, std::string> bad[] = {
      {{"--folder"}, "--folder needs a value"},
      {{"--folder", "--check"}, "--folder needs a value"},
      {{"--folder="}, "--folder needs a value"},
      {{"--list-ports", "x.ini"}, "--list-ports takes no SCRIPT"},
      {{"--list-ports", "--readid"}, "--readid needs --batch, --check or --line"},
      {{"--check", "--list-ports"}, "--list-ports cannot be combined with --check"},
      {{"--list-ports", "--batch"}, "--batch cannot be combined with --list-ports"},
      {{"--list-ports=1"}, "--list-ports takes no value"},
  };
  for (const auto& [args, message] : bad) {
    EXPECT_FALSE(ParseCommandLine(args, o, error)) << message;
    EXPECT_EQ(error, message);
  }
}

// DIR stands in for the program folder once it is found fit for the mode.
TEST(CommandLine, UseFolder) {
  TPackage pkg;
  pkg.Write("readid.ini", "M0\n");
  pkg.Write("notes.txt", "");
  struct Case {
    Args args;
    std::string error;  // after "--folder " + the folder given
  };
  const Case cases[] = {
      {{"--check"}, ": holds no script.ini"},
      {{"--batch", "--readid"}, ""},
      {{}, ""},  // the window: readid.ini will do
      {{"--list-ports"}, ""},
      {{"--check", "other.ini"}, ""},  // a SCRIPT named apart: only the folder must be there
  };
  for (const Case& c : cases) {
    Args args = c.args;
    args.insert(args.end(), {"--folder", pkg.Path()});
    Options o;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(args, o, error)) << error;
    EXPECT_EQ(UseFolder(o), c.error.empty() ? "" : "--folder " + pkg.Path() + c.error);
  }
  EXPECT_EQ(ProgramDir(), pkg.Path());
  for (const auto& [folder, problem] :
       {std::pair<std::string, std::string>{pkg.Path() + "none", ": no such folder"},
        {pkg.Path() + "notes.txt", ": not a folder"}}) {
    Options o;
    o.Folder = folder;
    EXPECT_EQ(UseFolder(o), "--folder " + folder + problem);
  }
  Options help;
  help.Mode = cmHELP;
  help.Folder = pkg.Path() + "none";
  EXPECT_EQ(UseFolder(help), "");

  // Relative folders are made whole, so messages name files wherever the program started.
  SetProgramDir("rel/./x");
  EXPECT_EQ(ProgramDir(), (std::filesystem::current_path() / "rel/x/").string());
  EXPECT_TRUE(ProgramDirGiven());
  SetProgramDir("");
  EXPECT_FALSE(ProgramDirGiven());
  EXPECT_TRUE(std::filesystem::equivalent(ProgramDir(), QUBRA_BINARY_DIR));
}

TEST(CommandLine, ScriptPath) {
  Options o;
  EXPECT_EQ(ScriptPathFor(o, "/p/"), "/p/script.ini");
  o.ReadId = true;
  EXPECT_EQ(ScriptPathFor(o, "/p/"), "/p/readid.ini");
  o.ReadId = false;
  o.Script = "rel/x.ini";
  EXPECT_EQ(ScriptPathFor(o, "/p/"), "rel/x.ini");
}

// The help is the user's reference: the usage line and the option list name the same options,
// and each is one the parser takes, alone or beside one other, with a value for each
// placeholder the help shows.
TEST(CommandLine, HelpDescribesTheOptionsTheParserTakes) {
  const std::vector<std::string> lines = SplitLines(HelpText());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(HelpText().rfind(UsageLine() + "\n\n", 0), 0u);
  std::map<std::string, Args> described;  // option -> its words, a value for each placeholder
  for (const std::string& line : lines) {
    std::istringstream words(line);
    std::string option, word;
    if (line.rfind("  --", 0) != 0 || !(words >> option)) continue;
    Args& args = described[option] = {option};
    // Placeholders are written in capitals: "--convert-svf IN OUT".
    while (words >> word &&
           std::all_of(word.begin(), word.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
      args.push_back(word == "LINK" ? "COM1" : "5");
  }
  for (const auto& [option, args] : described) {
    Options o;
    std::string error;
    bool taken = ParseCommandLine(args, o, error);
    for (const auto& [other, other_args] : described) {
      Args both = other_args;
      both.insert(both.end(), args.begin(), args.end());
      taken = taken || (other != option && ParseCommandLine(both, o, error));
    }
    EXPECT_TRUE(taken) << option;
  }
  std::set<std::string> in_usage, in_list;
  for (size_t at = 0; (at = UsageLine().find("--", at)) != std::string::npos; at += 2)
    in_usage.insert(UsageLine().substr(at, UsageLine().find_first_of(" ]|\n", at) - at));
  for (const auto& entry : described) in_list.insert(entry.first);
  EXPECT_EQ(in_list, in_usage);
  EXPECT_GE(in_list.size(), 11u);
}

TEST(CommandLine, RunCheckPrintsFindingsAndStatus) {
  TPackage pkg;
  pkg.WriteSound();
  Options o;
  o.Mode = cmCHECK;
  std::ostringstream sound;
  EXPECT_EQ(RunCheck(o, pkg.Path(), sound), 0);
  EXPECT_EQ(sound.str(), "no findings, 9 files checked\n");

  pkg.Write("DVI/script.ini", "UV 0200\nXX\n");
  std::ostringstream faulty;
  EXPECT_EQ(RunCheck(o, pkg.Path(), faulty), 1);
  EXPECT_EQ(faulty.str(), pkg.Path() + "DVI/script.ini:2: Syntax Error in script file line : 2\n" +
                              "1 finding in 1 file (8 files checked)\n");
}

// OUT is replaced only by a whole conversion; what went wrong or was dropped is said with the line.
TEST(CommandLine, ConvertSvf) {
  TPackage pkg;
  Options o;
  std::string error;
  ASSERT_TRUE(ParseCommandLine(
      {"--convert-svf", pkg.Path() + "in.svf", pkg.Path() + "out.svf", "--tck-hz=2E6"}, o, error))
      << error;
  EXPECT_EQ(o.Mode, cmCONVERT);
  pkg.Write("in.svf", "TRST ON;\nRUNTEST 1E-3 SEC;\n");
  std::ostringstream out, err;
  EXPECT_EQ(RunConvertSvf(o, out, err), 0);
  EXPECT_EQ(err.str(), o.ConvertIn +
                           ":1: warning: TRST ON: the device does not drive TRST, the "
                           "chain is not reset\n");
  EXPECT_EQ(out.str(),
            o.ConvertIn + ": 2 statements converted into " + o.ConvertOut + " (3 lines)\n");
  const std::string converted =
      "// Converted from in.svf by qubra-updater --convert-svf --tck-hz 2E6\r\n"
      "TRST ON;\r\nRUNTEST IDLE 2000 TCK;\r\n";
  std::ifstream written(o.ConvertOut, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(written), {}), converted);

  pkg.Write("in.svf", "SIR 8 TDI (FE);\nPIO (HL);\n");
  std::ostringstream out2, err2;
  EXPECT_EQ(RunConvertSvf(o, out2, err2), 1);
  EXPECT_EQ(out2.str(), "");
  EXPECT_EQ(err2.str(), o.ConvertIn +
                            ":2: PIO: the device drives no parallel pins; it cannot play this "
                            "file\n" +
                            o.ConvertOut + " not written\n");
  std::ifstream kept(o.ConvertOut, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), converted);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(pkg.Path()), {}), 2)
      << "no temporary file left behind";
}

// The real program, in a folder of its own (the program folder is where the program file is),
// with no display at all.
class Executable : public ::testing::Test {
 protected:
  struct TResult {
    int status = -1;
    std::string out, err;
  };

  void SetUp() override {
    const std::filesystem::path exe = std::string(QUBRA_BINARY_DIR) + "/qubra-updater";
    if (!std::filesystem::exists(exe)) GTEST_SKIP() << exe << " is not built";
    std::filesystem::copy_file(exe, pkg.Path() + "qubra-updater");
    std::filesystem::permissions(pkg.Path() + "qubra-updater", std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
  }

  TResult Run(const std::string& args) {
    const std::string out = pkg.Path() + "stdout.txt", err = pkg.Path() + "stderr.txt";
    const std::string cmd = "cd '" + pkg.Path() +
                            "' && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "
                            "./qubra-updater " +
                            args + " >'" + out + "' 2>'" + err + "'";
    TResult r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = Slurp(out);
    r.err = Slurp(err);
    return r;
  }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  TPackage pkg;
};

TEST_F(Executable, CheckSoundAndFaultyPackage) {
  pkg.WriteSound();
  TResult sound = Run("--check");
  EXPECT_EQ(sound.status, 0) << sound.err;
  EXPECT_EQ(sound.out, "no findings, 9 files checked\n");
  EXPECT_EQ(sound.err, "");

  pkg.Remove("Qubra/bank0.hex");
  pkg.Write("Qubra/prom1.svf", "SIR 8 TDI (FE);\nSIR x;\n");
  TResult faulty = Run("--check");
  EXPECT_EQ(faulty.status, 1);
  EXPECT_EQ(faulty.out, pkg.Path() + "Qubra/script.ini:2: " + pkg.Path() +
                            "Qubra/bank0.hex File not found !!!\n" + pkg.Path() +
                            "Qubra/prom1.svf:2: Error in Effect file line : 2 (SIR bit length "
                            "is not a number)\n" +
                            "2 findings in 2 files (8 files checked)\n");
  EXPECT_EQ(faulty.err, "");

  // A SCRIPT is taken as given, relative to the current folder.
  pkg.Write("other.ini", "prompt hello\n");
  TResult other = Run("--check other.ini");
  EXPECT_EQ(other.status, 0);
  EXPECT_EQ(other.out, "no findings, 1 file checked\n");
}

// The package lies apart from the program and from the current folder.
TEST_F(Executable, FolderNamesThePackage) {
  TPackage elsewhere;
  elsewhere.WriteSound();
  TResult sound = Run("--check --folder " + elsewhere.Path());
  EXPECT_EQ(sound.status, 0) << sound.err;
  EXPECT_EQ(sound.out, "no findings, 9 files checked\n");
  elsewhere.Remove("DVI/script.ini");
  TResult faulty = Run("--check --folder=" + elsewhere.Path());
  EXPECT_EQ(faulty.status, 1);
  EXPECT_EQ(faulty.out.substr(0, elsewhere.Path().size()), elsewhere.Path()) << faulty.out;

  // The program's own folder holds no package here.
  TResult missing = Run("--batch --folder " + pkg.Path());
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "qubra-updater: --folder " + pkg.Path() + ": holds no script.ini\n" +
                             UsageLine() + "\n");
}

TEST_F(Executable, ListPorts) {
  TResult listed = Run("--list-ports");
  EXPECT_EQ(listed.status, 0) << listed.err;
  const std::string last = listed.out.substr(listed.out.rfind('\n', listed.out.size() - 2) + 1);
  EXPECT_TRUE(last == "no serial devices found\n" ||
              last.find(" serial device") != std::string::npos)
      << listed.out;
}

TEST_F(Executable, VersionHelpAndUsage) {
  TResult version = Run("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("Varnell Qubra Updater ", 0), 0u) << version.out;
  TResult help = Run("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--check"), std::string::npos);
  TResult usage = Run("--check --bogus");
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.out, "");
  EXPECT_EQ(usage.err, "qubra-updater: unknown option --bogus\n" + UsageLine() + "\n");
}

}  // namespace
