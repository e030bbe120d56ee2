#include "wire_pacer.h"

#include <gtest/gtest.h>

namespace {

using Clock = TWirePacer::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(WirePacerTest, WithoutBaudOrLatencyEverythingPassesAtOnce) {
  TWirePacer p(0, 0);
  const Clock::time_point t0{};
  p.Receive("abc", t0);
  EXPECT_EQ(p.TakeReceived(t0), "abc");
  p.Reply("xy", t0);
  EXPECT_EQ(p.TakeReplies(t0), "xy");
  EXPECT_FALSE(p.NextDue());
  EXPECT_EQ(p.WireSeconds(), 0.0);
}

TEST(WirePacerTest, CharactersTakeTenBitsAtTheBaudRate) {
  TWirePacer p(57600, 0);
  const Clock::time_point t0 = Clock::time_point{} + std::chrono::seconds(10);
  p.Receive(std::string(5760, 'a'), t0);
  // One character lasts 173.6 us: none is complete at once, three after 0.53 ms.
  EXPECT_EQ(p.TakeReceived(t0), "");
  EXPECT_EQ(p.TakeReceived(t0 + microseconds(530)).size(), 3u);
  EXPECT_EQ(p.TakeReceived(t0 + milliseconds(999)).size(), 5751u);
  EXPECT_EQ(p.TakeReceived(t0 + milliseconds(1000) + microseconds(1)).size(), 6u);
  EXPECT_FALSE(p.NextDue());
  EXPECT_DOUBLE_EQ(p.WireSeconds(), 1.0);
}

TEST(WirePacerTest, RepliesWaitForTheLatencyAndQueueBehindEachOther) {
  TWirePacer p(9600, 50);  // 1.0417 ms per character
  const Clock::time_point t0{};
  p.Reply("ab", t0);
  p.Reply("c", t0 + milliseconds(1));
  EXPECT_EQ(p.TakeReplies(t0 + milliseconds(51)), "");
  ASSERT_TRUE(p.NextDue());
  EXPECT_GT(*p.NextDue(), t0 + milliseconds(50) + microseconds(1041));
  EXPECT_LT(*p.NextDue(), t0 + milliseconds(50) + microseconds(1042));
  EXPECT_EQ(p.TakeReplies(t0 + milliseconds(53)), "ab");
  EXPECT_EQ(p.TakeReplies(t0 + milliseconds(54)), "c") << "behind ab, not 51 + 1 ms";
  EXPECT_DOUBLE_EQ(p.WireSeconds(), 3 * 10 / 9600.0);
  EXPECT_EQ(p.BytesSent(), 3u);
}

}  // namespace
