#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim_device.h"

// Command line of qubra-sim.
struct TSimOptions {
  enum class Link { kNone, kTcp, kUdp, kPty };
  Link link = Link::kNone;
  std::string address = "127.0.0.1";  // TCP and UDP: loopback only
  int port = 0;                       // 0: the system picks one (printed at start)
  std::string pty_link;
  TSimConfig device;
  bool seed_given = false;
  int latency_ms = 0;
  int64_t baud = 0;  // 0: no pacing
  std::string dump_dir;
  bool verbose = false;
  bool help = false;
};

// False with a message naming the option and the value when the command line is wrong.
bool ParseSimOptions(const std::vector<std::string>& args, TSimOptions& options,
                     std::string& error);
std::string SimUsage();
