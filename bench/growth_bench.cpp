// Times every parser on inputs of 1, 2, 4 and 8 MB, mostly the inputs that once made one of them
// quadratic, and prints the growth per doubling: about 2 is linear, about 4 quadratic.
// growth_bench [NAME...] runs the named parsers only. Exit status 1 when the mean growth of one
// is above 3 or it ran out of time.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/Settings.h"
#include "check/ScriptCheck.h"
#include "engines/progboot.h"
#include "engines/progjtag.h"
#include "engines/svf.h"
#include "formats/hex.h"
#include "formats/text.h"
#include "sim_device.h"

namespace {

constexpr size_t kMB = 1 << 20;
constexpr double kTimeLimit = 20;    // seconds for one input; larger inputs are not tried then
constexpr size_t kSerialChunk = 64;  // bytes per arrival, as a serial line delivers them

std::string Repeat(const std::string& unit, size_t size) {
  std::string s;
  s.reserve(size + unit.size());
  while (s.size() < size) s += unit;
  return s;
}

std::string Folder() {
  static const std::string dir =
      (std::filesystem::temp_directory_path() / ("growth_bench_" + std::to_string(::getpid())))
          .string() +
      "/";
  std::filesystem::create_directories(dir);
  return dir;
}

// An engine wired to one buffer as the run controller wires it; noise arrives in chunks with a
// step after each, then `reply`. Returns after the step that follows the reply.
template <class Engine>
void FeedNoise(Engine& e, TReceiveBuffer& owner, const std::string& noise, size_t chunk,
               const std::string& reply) {
  for (size_t i = 0; i < noise.size(); i += chunk) {
    owner.Append(std::string_view(noise).substr(i, chunk));
    e.Step();
  }
  owner.Append(reply);
  e.Step();
}

void BootNoise(size_t size) {
  TReceiveBuffer owner;
  TProgBoot e;
  e.ShareReceived(owner);
  std::string sent;
  e.OnSend = [&](TGestionnaire& g) { sent = g.GetSendText(); };
  e.SetInstruction("SYN");
  e.Step();
  e.Step();  // "%"
  // All of it waiting at once, as a device chattering while the link opens leaves it.
  const std::string noise = Repeat("noise of a device starting up ", size);
  FeedNoise(e, owner, noise, noise.size(), ".");
  if (sent != "30") std::fprintf(stderr, "boot: no \"30\" after the noise\n");
}

void JtagNoise(size_t size) {
  const std::string path = Folder() + "tdo.svf";
  std::ofstream(path, std::ios::binary) << "SDR 8 TDI (00) TDO (A5);\r\n";
  TReceiveBuffer owner;
  TProgJtag e;
  e.ShareReceived(owner);
  e.Pause = [](int) {};
  e.SetUpdateAllowed(true);
  e.SetCardDir(Folder());
  std::string sent;
  e.OnSend = [&](TGestionnaire& g) { sent = g.GetSendText(); };
  e.SetInstruction("P8 tdo.svf");
  e.Step();
  e.Step();  // "P8"
  owner.Append(".");
  e.Step();  // the record
  FeedNoise(e, owner, Repeat("0123456789ABCDEF noise ", size), kSerialChunk, "\x1b.");
  if (sent != "R") std::fprintf(stderr, "jtag: no \"R\" after the noise\n");
}

void HexImageOf(size_t size) {
  std::string text;
  for (uint32_t a = 0; text.size() < size; a += 16)
    text += MakeHexRecord(0, static_cast<int>(a & 0xFFF0), std::string(32, 'A')) + "\r\n";
  HexImageChecksum(SplitLines(text), 0, 0xFFFF);
}

void SvfBrokenLine(size_t size) {
  TSvfStatement st;
  EncodeSvfLine("SDR 8 TDI (" + Repeat("TDI (", size), st);
}

void SvfFile(size_t size) {
  TSvfStatement st;
  const std::string text =
      Repeat("SIR 8 TDI (E8);\r\nSDR 32 TDI (00000000) TDO (F5046093) MASK (0FFFFFFF);\r\n", size);
  for (const std::string& line : SplitLines(text)) EncodeSvfLine(line, st);
}

void ScriptCheckOf(size_t size) {
  const std::string dir = Folder() + "pkg/";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "script.ini", std::ios::binary)
      << Repeat("prompt a line of the script\r\nrem a comment\r\nM0\r\n", size);
  TScriptCheck check(dir);
  check.Run(dir + "script.ini");
}

struct Parser {
  const char* name;
  std::function<std::string(size_t)> input;  // made before the clock starts
  std::function<void(const std::string&, size_t)> run;
};

std::vector<Parser> Parsers() {
  const auto none = [](size_t) { return std::string(); };
  return {
      {"hex-image", none, [](const std::string&, size_t n) { HexImageOf(n); }},
      {"text-lines", [](size_t n) { return Repeat("a line\r\nanother\rthird\n\n", n); },
       [](const std::string& in, size_t) { SplitLines(in); }},
      {"text-number", [](size_t n) { return std::string(n, ' ') + "0x7FFF"; },
       [](const std::string& in, size_t) { StrToInt(in); }},
      {"svf-broken-line", none, [](const std::string&, size_t n) { SvfBrokenLine(n); }},
      {"svf-file", none, [](const std::string&, size_t n) { SvfFile(n); }},
      {"tdo-reply",
       [](size_t n) {
         return Repeat(
                    "A5\x1b\x1b\x1b"
                    "0",
                    n) +
                "\x1b.";
       },
       [](const std::string& in, size_t) { TProgJtag::DecodeTdoReply(in); }},
      {"boot-sync-noise", none, [](const std::string&, size_t n) { BootNoise(n); }},
      {"jtag-reply-noise", none, [](const std::string&, size_t n) { JtagNoise(n); }},
      {"settings",
       [](size_t n) { return Repeat("REMOTE_IP=127.0.0.1\r\n# comment\r\nOTHER=1\r\n", n); },
       [](const std::string& in, size_t) { SettingsFromLines(SplitLines(in)); }},
      {"script-check", none, [](const std::string&, size_t n) { ScriptCheckOf(n); }},
      {"sim-input", [](size_t n) { return Repeat("junk without a line end ", n); },
       [](const std::string& in, size_t) { TSimDevice(TSimConfig{}).Feed(in); }},
  };
}

// The best of three runs, or of one when it is long: a busy machine only ever adds time.
double Time(const Parser& p, size_t size) {
  const std::string in = p.input(size);
  double best = 0;
  for (int i = 0; i < 3 && (i == 0 || best < 1); ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    p.run(in, size);
    const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = i == 0 ? t : std::min(best, t);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> only(argv + 1, argv + argc);
  bool sound = true;
  std::printf("%-18s %9s %9s %9s %9s   growth per doubling\n", "parser", "1 MB", "2 MB", "4 MB",
              "8 MB");
  for (const Parser& p : Parsers()) {
    if (!only.empty() && std::find(only.begin(), only.end(), p.name) == only.end()) continue;
    std::vector<double> t;
    for (size_t mb = 1; mb <= 8; mb *= 2) {
      t.push_back(Time(p, mb * kMB));
      if (t.back() > kTimeLimit) break;
    }
    std::printf("%-18s", p.name);
    for (size_t i = 0; i < 4; ++i) {
      if (i < t.size())
        std::printf(" %8.3fs", t[i]);
      else
        std::printf(" %9s", "-");
    }
    std::printf("  ");
    for (size_t i = 1; i < t.size(); ++i) std::printf(" %4.1f", t[i] / std::max(t[i - 1], 1e-3));
    // One doubling may cross a cache size; the mean over all of them does not lie. Below a tenth
    // of a second the clock says more about the machine than about the parser.
    const double mean = std::pow(t.back() / std::max(t.front(), 1e-3), 1.0 / 3);
    if (t.size() == 4) std::printf("   mean %.1f", mean);
    if (t.size() == 4 && mean > 3 && t.back() > 0.1) sound = false;
    if (t.size() < 4) {
      std::printf("  over %.0f s, stopped", kTimeLimit);
      sound = false;
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  std::filesystem::remove_all(Folder());
  return sound ? 0 : 1;
}
