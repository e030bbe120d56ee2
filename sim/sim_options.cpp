#include "sim_options.h"

#include <arpa/inet.h>

#include <algorithm>

#include "formats/constante.h"
#include "formats/text.h"

namespace {

bool IsLoopback(const std::string& address) {
  in_addr a{};
  return inet_pton(AF_INET, address.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

bool ParseEndpoint(const std::string& text, TSimOptions& o, std::string& error) {
  const size_t colon = text.rfind(':');
  std::string port = text;
  if (colon != std::string::npos) {
    o.address = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (!IsLoopback(o.address)) {
    error = "only loopback addresses (127.x.x.x) are accepted, got '" + o.address + "'";
    return false;
  }
  const auto p = StrToInt(port, 0, 65535);
  if (!p) {
    error = "port must be a number from 0 to 65535, got '" + port + "'";
    return false;
  }
  o.port = static_cast<int>(*p);
  return true;
}

bool IsHexText(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

// "IR[:IDCODE][*]": the length of the instruction register, the IDCODE in hex, * for the
// modelled part.
bool ParseJtagPart(std::string text, TJtagPart& part, std::string& error) {
  part.modelled = !text.empty() && text.back() == '*';
  if (part.modelled) text.pop_back();
  const size_t colon = text.find(':');
  const auto ir = StrToInt(text.substr(0, colon), 0, 1000);
  if (!ir) return error = "expected the instruction register's length in bits", false;
  part.ir_length = static_cast<int>(*ir);
  if (colon == std::string::npos) return true;
  std::string id = Upper(text.substr(colon + 1));
  if (id.rfind("0X", 0) == 0) id.erase(0, 2);
  if (id.empty() || id.size() > 8 || !IsHexText(id))
    return error = "expected the IDCODE as 1 to 8 hex digits after ':'", false;
  part.idcode = static_cast<uint32_t>(std::stoul(id, nullptr, 16));
  return true;
}

// "T=PARTS": the chain behind JTAG target T, its parts from TDI to TDO separated by commas.
bool ParseJtagChain(const std::string& v, TSimOptions& o, std::string& error) {
  const std::string target = Upper(v.substr(0, v.find('=')));
  if (v.find('=') == std::string::npos || (target != "8" && target != "9" && target != "A"))
    return error = "expected T=PARTS with T one of 8, 9, A, got '" + v + "'", false;
  if (o.device.jtag_chains.count(target[0]))
    return error = "the chain of target " + target + " is given twice", false;
  std::vector<TJtagPart> parts;
  const std::string list = v.substr(v.find('=') + 1);
  for (size_t at = 0; at <= list.size() && parts.size() <= TJtagChain::kMaxParts;) {
    const size_t comma = std::min(list.find(',', at), list.size());
    const std::string text = list.substr(at, comma - at);
    parts.emplace_back();
    if (!ParseJtagPart(text, parts.back(), error)) {
      error = target + ": part " + std::to_string(parts.size()) + " '" + text + "': " + error;
      return false;
    }
    at = comma + 1;
  }
  if (const std::string why = TJtagChain::Check(parts); !why.empty())
    return error = target + ": " + why + ", got '" + list + "'", false;
  o.device.jtag_chains[target[0]] = std::move(parts);
  return true;
}

bool ParseOne(const std::string& opt, const std::string& v, TSimOptions& o, std::string& error) {
  auto number = [&](int64_t min, int64_t max, int64_t& out) {
    const auto n = StrToInt(v, min, max);
    if (!n) {
      error = "expected a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
              ", got '" + v + "'";
      return false;
    }
    out = *n;
    return true;
  };
  int64_t n = 0;
  if (opt == "--tcp" || opt == "--udp") {
    if (o.link != TSimOptions::Link::kNone) return error = "only one link may be given", false;
    o.link = opt == "--tcp" ? TSimOptions::Link::kTcp : TSimOptions::Link::kUdp;
    return ParseEndpoint(v, o, error);
  }
  if (opt == "--pty") {
    if (o.link != TSimOptions::Link::kNone) return error = "only one link may be given", false;
    if (v.empty()) return error = "expected the path of the link to create", false;
    o.link = TSimOptions::Link::kPty;
    o.pty_link = v;
    return true;
  }
  if (opt == "--type") {
    if (v != "30" && v != "35") return error = "expected 30 or 35, got '" + v + "'", false;
    o.device.type = v == "30" ? 30 : 35;
    return true;
  }
  if (opt == "--id") {
    const std::string id = Upper(v);
    if (id.size() != 4 || !IsHexText(id))
      return error = "expected four hex digits, got '" + v + "'", false;
    o.device.id = id;
    return true;
  }
  if (opt == "--version") {
    const std::string text = Upper(v);
    const bool letter_ok = text.size() == 6 && text[1] == '=' &&
                           std::find(ComponentLetters.begin(), ComponentLetters.end(), text[0]) !=
                               ComponentLetters.end();
    if (!letter_ok || !IsHexText(text.substr(2)))
      return error = "expected C=HHHH with C one of 0-9, A, E, got '" + v + "'", false;
    o.device.versions[text[0]] = text.substr(2);
    return true;
  }
  if (opt == "--cards") {
    if (v == "none") return o.device.cards.clear(), true;
    if (!std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return error = "expected card digits (for example 0 or 01) or none, got '" + v + "'", false;
    o.device.cards = v;
    return true;
  }
  if (opt == "--jtag-chain") return ParseJtagChain(v, o, error);
  if (opt == "--retry-rate") {
    char* end = nullptr;
    const double p = v.empty() ? -1 : std::strtod(v.c_str(), &end);
    if (v.empty() || *end != '\0' || !(p >= 0 && p < 1))
      return error = "expected a probability from 0 up to (not including) 1, got '" + v + "'",
             false;
    o.device.retry_rate = p;
    return true;
  }
  if (opt == "--seed") {
    if (!number(0, UINT32_MAX, n)) return false;
    o.device.seed = static_cast<uint32_t>(n);
    o.seed_given = true;
    return true;
  }
  if (opt == "--fail-line") return number(1, INT64_MAX, o.device.fail_line);
  if (opt == "--hangup-after") return number(1, INT64_MAX, o.device.hangup_after);
  if (opt == "--latency") {
    if (!number(0, 60000, n)) return false;
    o.latency_ms = static_cast<int>(n);
    return true;
  }
  if (opt == "--baud") return number(1, 10000000, o.baud);
  if (opt == "--dump") {
    if (v.empty()) return error = "expected a folder", false;
    o.dump_dir = v;
    return true;
  }
  error = "unknown option";
  return false;
}

}  // namespace

bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& o, std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string opt = args[i], value;
    if (opt == "-v" || opt == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (opt == "-h" || opt == "--help") {
      o.help = true;
      continue;
    }
    if (opt == "--off") {
      o.device.off = true;
      continue;
    }
    const size_t eq = opt.find('=');
    if (opt.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = opt.substr(eq + 1);
      opt = opt.substr(0, eq);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else if (opt.rfind("--", 0) == 0) {
      error = opt + ": missing value";
      return false;
    }
    if (!ParseOne(opt, value, o, error)) {
      error = opt + ": " + error;
      return false;
    }
  }
  if (!o.help && o.link == TSimOptions::Link::kNone) {
    error = "give one of --tcp, --udp or --pty";
    return false;
  }
  return true;
}

std::string SimUsage() {
  return R"(Usage: qubra-sim (--tcp [ADDR:]PORT | --udp [ADDR:]PORT | --pty LINK) [options]

A simulated Qubra device for trying the updater without hardware.

Link (exactly one; addresses must be loopback, 127.x.x.x; default 127.0.0.1):
  --tcp [ADDR:]PORT    listen for the updater's TCP connection (PORT 0: any free port)
  --udp [ADDR:]PORT    answer datagrams from the bound port to their sender
  --pty LINK           open a pseudo-terminal and make LINK a symbolic link to its slave side
                       (COM1_DEVICE=LINK in Updater.prm reaches it)
The address and port actually used are printed on stdout when the link is ready.

Device:
  --type 30|35         device type reported as "DEV" in variable mode and accepted by the
                       boot loader's type check (default 30)
  --off                silent in variable mode, as a device that is switched on with ENTER held:
                       only the boot loader's "%" is answered
  --id HHHH            device identifier reported by the boot loader (default 0001)
  --version C=HHHH     initial version of component C (0-9, A, E); repeatable (default 0000)
  --cards LIST         digits of the cards that answer a ping, or none (default 0)
  --jtag-chain T=PARTS the parts behind JTAG target T (8, 9 or A), from TDI to TDO, separated
                       by commas, each as IR[:IDCODE], IR the instruction register's length
                       (2 to 32 bits) and IDCODE in hex; the part marked * is the modelled one
                       (IR 8 to 32 bits, IDCODE by default the target's); repeatable. Default:
                       8* alone, IDCODE 0C0DE801 (8), 0C0DE901 (9), 0C0DEA01 (A)

Faults:
  --retry-rate P       answer "R" to a line or data block, and garble a TDO sum, with
                       probability P (0 <= P < 1)
  --seed N             seed of the retry draws (default 1)
  --fail-line N        answer "X" to the Nth line received (counted over the whole session)
  --hangup-after N     drop the link after the Nth line and stay silent until stopped
  --latency MS         delay every reply by MS milliseconds
  --baud N             pace input and output as an 8N1 line at N baud (10 bits per character);
                       the wire time of the session is printed at exit

Output:
  --dump DIR           write the memory images (boot.bin, bank0.bin..bank7.bin, edid.bin,
                       jtag8.bin, jtag9.bin, jtagA.bin) and versions.txt into DIR when a
                       component is complete and at exit
  -v, --verbose        log every exchange on stderr
  -h, --help           this text

Stops cleanly on SIGTERM or SIGINT (images are dumped). A new TCP connection, and the end
command "FI", bring the device back to its switched-on state; memories and versions are kept.
)";
}
