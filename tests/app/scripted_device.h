#pragma once

#include <map>
#include <string>
#include <vector>

#include "formats/hex.h"

// The device side of the wire for whole runs: answers every message the way a healthy device
// does and records what it received. Each message is one send of the updater; the updater
// waits for the answer before it sends the next, except for the UPDATER writes, which get none.
class TScriptedDevice {
 public:
  std::string Answer(const std::string& msg) {
    received.push_back(msg);
    if (msg == hang_up_on) hung_up = true;
    if (silent || hung_up) return "";
    if (auto it = refusals.find(msg); it != refusals.end()) return it->second;
    if (msg == "?") return dev_reply;
    if (msg.size() >= 2 && msg.compare(msg.size() - 2, 2, "yU") == 0) return "";
    if (msg == "%") {
      // The boot loader answers the first call only; the updater may call again meanwhile.
      if (called) return "";
      called = true;
      return ".";
    }
    if (msg == "30" || msg == "35") {  // the standard device, or the variant
      called = false;
      return "." + identity + ".";
    }
    if (msg == "PB" || (msg.size() == 2 && msg[0] == 'P' && msg[1] >= '0' && msg[1] <= '7'))
      return "..";
    if (msg.size() == 2 && msg[0] == 'T') {
      auto it = versions.find(msg[1]);
      return "." + (it == versions.end() ? std::string("FFFF") : it->second) + ".";
    }
    if (msg.size() == 2 && msg[0] == 'M') return failing_cards.count(msg[1]) ? "X" : ".";
    if (msg.size() > 2 && msg[0] == ':' && msg.compare(msg.size() - 2, 2, "\r\n") == 0) {
      // An effect-file data record announces its data block: ESC "." asks for it.
      const int type = ParseHexRecord(msg).type;
      if (jtag && (type & 0x0F) == 3 && !(type & 0x80)) return "\x1b.";
      return ".";
    }
    if (msg.size() == 2) jtag = msg == "P8" || msg == "P9" || msg == "PA";
    return ".";
  }

  // What the updater sent, with the repeated boot-loader calls folded into one.
  std::vector<std::string> Wire() const {
    std::vector<std::string> out;
    for (const auto& m : received)
      if (!(m == "%" && !out.empty() && out.back() == "%")) out.push_back(m);
    return out;
  }

  std::string dev_reply = "DEV30\r\n";
  std::string identity = "1234AAAA";     // boot checksum and device identifier
  std::map<char, std::string> versions;  // component letter -> version the device holds
  std::map<char, bool> failing_cards;
  bool silent = false;     // switched off: answers nothing at all
  std::string hang_up_on;  // a message on which the device closes the connection
  std::map<std::string, std::string> refusals;  // messages answered with an error
  bool hung_up = false;
  std::vector<std::string> received;

 private:
  bool called = false;
  bool jtag = false;
};
