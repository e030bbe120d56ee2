#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

// Times the simulator's traffic as a serial line would: every character takes 10 bits at the
// given baud rate (8N1) in each direction, and replies leave after a fixed latency. With baud 0
// and no latency everything passes at once.
class TWirePacer {
 public:
  using Clock = std::chrono::steady_clock;

  TWirePacer(int64_t baud, int latency_ms);

  // Bytes read from the link at `now`; they reach the device one character time apart.
  void Receive(std::string_view bytes, Clock::time_point now);
  std::string TakeReceived(Clock::time_point now);
  // A reply made at `now`; its characters leave after the latency, one character time apart.
  void Reply(std::string_view bytes, Clock::time_point now);
  std::string TakeReplies(Clock::time_point now);
  // The earliest time something becomes due, if anything is waiting.
  std::optional<Clock::time_point> NextDue() const;
  void Clear();

  uint64_t BytesReceived() const { return rx_; }
  uint64_t BytesSent() const { return tx_; }
  // What all bytes of both directions take on the line: bytes x 10 / baud.
  double WireSeconds() const;

 private:
  using Queue = std::deque<std::pair<Clock::time_point, char>>;
  static std::string Take(Queue& q, Clock::time_point now);

  Clock::duration char_time_{};
  Clock::duration latency_{};
  Queue in_, out_;
  Clock::time_point in_free_{}, out_free_{};  // when the line is free again in each direction
  uint64_t rx_ = 0, tx_ = 0;
  int64_t baud_;
};
