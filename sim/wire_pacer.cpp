#include "wire_pacer.h"

#include <algorithm>

TWirePacer::TWirePacer(int64_t baud, int latency_ms)
    : latency_(std::chrono::milliseconds(latency_ms)), baud_(baud) {
  if (baud > 0)
    char_time_ =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud));
}

void TWirePacer::Receive(std::string_view bytes, Clock::time_point now) {
  for (char c : bytes) {
    in_free_ = std::max(in_free_, now) + char_time_;
    in_.emplace_back(in_free_, c);
  }
  rx_ += bytes.size();
}

void TWirePacer::Reply(std::string_view bytes, Clock::time_point now) {
  for (char c : bytes) {
    out_free_ = std::max(out_free_, now + latency_) + char_time_;
    out_.emplace_back(out_free_, c);
  }
  tx_ += bytes.size();
}

std::string TWirePacer::Take(Queue& q, Clock::time_point now) {
  std::string r;
  while (!q.empty() && q.front().first <= now) {
    r += q.front().second;
    q.pop_front();
  }
  return r;
}

std::string TWirePacer::TakeReceived(Clock::time_point now) {
  return Take(in_, now);
}
std::string TWirePacer::TakeReplies(Clock::time_point now) {
  return Take(out_, now);
}

std::optional<TWirePacer::Clock::time_point> TWirePacer::NextDue() const {
  std::optional<Clock::time_point> r;
  if (!in_.empty()) r = in_.front().first;
  if (!out_.empty() && (!r || out_.front().first < *r)) r = out_.front().first;
  return r;
}

void TWirePacer::Clear() {
  in_.clear();
  out_.clear();
}

double TWirePacer::WireSeconds() const {
  return baud_ > 0 ? static_cast<double>(rx_ + tx_) * 10.0 / static_cast<double>(baud_) : 0.0;
}
