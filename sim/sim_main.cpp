// qubra-sim: a simulated Qubra device on a loopback socket or a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "image_dump.h"
#include "sim_device.h"
#include "sim_link.h"
#include "sim_options.h"
#include "wire_pacer.h"

namespace {

using Clock = std::chrono::steady_clock;
// An instruction whose traffic stops this long (beyond the reply latency) was abandoned by a
// stopped updater.
constexpr auto kIdleAbort = std::chrono::seconds(5);

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] auto n = write(g_signal_pipe[1], &c, 1);
}

bool InstallSignals(std::string& error) {
  if (pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = "pipe failed";
    return false;
  }
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return true;
}

void Say(const std::string& text) {
  std::cout << "qubra-sim: " << text << std::endl;
}

void Warn(const std::string& text) {
  std::cerr << "qubra-sim: " << text << std::endl;
}

int PollTimeout(std::optional<Clock::time_point> due, Clock::time_point now) {
  if (!due) return -1;
  if (*due <= now) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*due - now).count();
  return static_cast<int>(std::min<int64_t>(ms, 60000));
}

std::optional<Clock::time_point> Earliest(std::optional<Clock::time_point> a,
                                          std::optional<Clock::time_point> b) {
  if (!a) return b;
  if (!b) return a;
  return std::min(*a, *b);
}

}  // namespace

int main(int argc, char** argv) {
  TSimOptions opts;
  std::string error;
  if (!ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc), opts, error)) {
    Warn(error + " (see qubra-sim --help)");
    return 2;
  }
  if (opts.help) {
    std::cout << SimUsage();
    return 0;
  }
  if (!opts.dump_dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(opts.dump_dir, ec);
    if (ec) {
      Warn("--dump: cannot create " + opts.dump_dir + ": " + ec.message());
      return 2;
    }
  }
  if (!InstallSignals(error)) {
    Warn(error);
    return 1;
  }

  TSimDevice device(opts.device);
  if (opts.verbose) device.OnLog = [](const std::string& text) { Warn(text); };
  device.OnComplete = [&](const std::string& name) {
    std::string err;
    if (!opts.dump_dir.empty() && !DumpImage(device, opts.dump_dir, name, err)) Warn(err);
  };
  TSimLink link;
  if (!link.Open(opts, error)) {
    Warn(error);
    return 1;
  }
  Say("ready, " + link.Describe() + ", device type " + std::to_string(opts.device.type) +
      (opts.device.off ? " (off)" : ""));

  TWirePacer pacer(opts.baud, opts.latency_ms);
  const auto idle_abort = kIdleAbort + std::chrono::milliseconds(opts.latency_ms);
  Clock::time_point last_input = Clock::now();
  bool hung_up = false;
  for (;;) {
    Clock::time_point now = Clock::now();
    if (const std::string in = pacer.TakeReceived(now); !in.empty()) {
      last_input = now;
      pacer.Reply(device.Feed(in), now);
      if (device.HungUp() && !hung_up) {
        hung_up = true;
        link.HangUp();
        pacer.Clear();
        Say("link dropped after line " + std::to_string(device.LinesReceived()) +
            "; silent until stopped");
      }
    }
    if (const std::string out = pacer.TakeReplies(now); !out.empty()) link.Send(out);
    if (device.MidInstruction() && now - last_input > idle_abort) device.Abort();

    std::vector<pollfd> fds{{g_signal_pipe[0], POLLIN, 0}};
    link.AddPollFds(fds, now);
    auto due = Earliest(pacer.NextDue(), link.WakeAt(now));
    if (device.MidInstruction())
      due = Earliest(due, last_input + idle_abort + std::chrono::milliseconds(1));
    if (poll(fds.data(), fds.size(), PollTimeout(due, now)) < 0 && errno != EINTR) {
      Warn("poll failed");
      break;
    }
    if (fds[0].revents & POLLIN) break;
    now = Clock::now();
    bool new_session = false;
    const std::string got = link.Service(fds, now, new_session);
    if (const std::string notes = link.TakeNotes(); opts.verbose && !notes.empty())
      std::cerr << "qubra-sim: " << notes << std::flush;
    if (new_session) {
      pacer.Clear();
      device.PowerOn();
    }
    if (!got.empty()) pacer.Receive(got, now);
  }

  link.HangUp();
  if (!opts.dump_dir.empty() && !DumpAll(device, opts.dump_dir, error)) Warn(error);
  Say("stopped after " + std::to_string(device.LinesReceived()) + " lines, " +
      std::to_string(pacer.BytesReceived()) + " bytes received, " +
      std::to_string(pacer.BytesSent()) + " bytes sent");
  if (opts.baud > 0) {
    char text[160];
    std::snprintf(text, sizeof text, "wire time %.3f s at %lld baud (10 bits per character)",
                  pacer.WireSeconds(), static_cast<long long>(opts.baud));
    Say(text);
  }
  return 0;
}
