#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim_options.h"

// The simulator's end of the wire: a TCP listener with one connection at a time, a UDP socket
// that answers the last sender, or a pseudo-terminal reached through a symbolic link.
class TSimLink {
 public:
  using Clock = std::chrono::steady_clock;

  TSimLink() = default;
  ~TSimLink();
  TSimLink(const TSimLink&) = delete;
  TSimLink& operator=(const TSimLink&) = delete;

  // False with the reason when the link cannot be set up.
  bool Open(const TSimOptions& options, std::string& error);
  std::string Describe() const { return description_; }

  // Descriptors to watch now; `WakeAt` is when the link wants to look again without an event.
  void AddPollFds(std::vector<pollfd>& fds, Clock::time_point now) const;
  std::optional<Clock::time_point> WakeAt(Clock::time_point now) const;
  // Handles the events of the last poll; returns the bytes received. `new_session` is set when
  // a new TCP connection replaced the previous one.
  std::string Service(const std::vector<pollfd>& fds, Clock::time_point now, bool& new_session);
  void Send(std::string_view bytes);
  // Drops the link for good: closes the connection or the terminal, stops listening.
  void HangUp();
  std::string TakeNotes();  // what happened on the link, for the log

 private:
  void CloseClient();
  void Note(const std::string& text) { notes_ += text + "\n"; }
  void FlushPending();
  bool PtyOpened() const;

  TSimOptions::Link kind_ = TSimOptions::Link::kNone;
  int listen_fd_ = -1, client_fd_ = -1, udp_fd_ = -1, master_fd_ = -1;
  std::string pty_link_;
  std::string description_;
  std::string pending_;  // TCP and pty bytes the system could not take yet
  bool has_peer_ = false;
  sockaddr_in peer_{};               // the last UDP sender: replies go there
  Clock::time_point quiet_until_{};  // pty without an open slave: look again later
  std::string notes_;
};
