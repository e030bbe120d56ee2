#include "engines/InstCourante.h"

#include <gtest/gtest.h>

#include "engines/engine_harness.h"
#include "formats/text.h"

namespace {

using Texts = std::vector<std::string>;

// Card engine with a hand-driven clock; its three events go into the harness log in order.
struct CardFixture : ::testing::Test {
  CardFixture() : h(e) {
    e.GetTickCount = [this] { return tick; };
    e.OnVersionSame = [this](TGestionnaire&, int32_t v) {
      h.log.push_back("same:" + std::to_string(v));
    };
    e.OnCardReady = [this](TGestionnaire&, int32_t v) {
      h.log.push_back("ready:" + std::to_string(v));
    };
    e.OnCardError = [this](TGestionnaire&, int32_t v) {
      h.log.push_back("carderr:" + std::to_string(v));
    };
  }
  uint32_t tick = 0;
  TInstCrt e;
  EngineHarness<TInstCrt> h;
};

TEST_F(CardFixture, PromptShowsTheTextAndSendsNothing) {
  ASSERT_TRUE(h.Offer("prompt   Insert the card "));
  h.RunUntilIdle();
  EXPECT_EQ(h.log, (Texts{"busy:1", "status:Insert the card", "busy:0"}));
  ASSERT_TRUE(h.Offer("promptReady"));  // the word needs no blank after it
  h.RunUntilIdle();
  EXPECT_EQ(h.statuses.back(), "Ready");
  // A runaway prompt line is shown cut, not laid out whole.
  const std::string text(100000, 'p');
  ASSERT_TRUE(h.Offer("prompt " + text));
  h.RunUntilIdle();
  EXPECT_EQ(h.statuses.back(), Excerpt(text));
}

TEST_F(CardFixture, WaitEndsOnceMoreThanItsTimeHasPassed) {
  struct Case {
    std::string line;
    uint32_t start, last_busy;  // the tick of the first working step, the last busy tick
  };
  for (const Case& c : {Case{"wait 1000", 5, 1005}, Case{"wait 0", 7, 7},
                        Case{"wait 1000", 0xFFFFFF00u, 0xFFFFFF00u + 1000},  // counter wraps
                        Case{"wait4294967295", 1, 0}}) {
    TInstCrt e;
    EngineHarness<TInstCrt> h(e);
    uint32_t now = c.start;
    e.GetTickCount = [&] { return now; };
    ASSERT_TRUE(h.Offer(c.line));
    h.Step(3);
    now = c.last_busy;
    h.Step(3);
    EXPECT_TRUE(e.IsBusy()) << c.line;
    ++now;
    h.Step(2);
    EXPECT_EQ(e.IsBusy(), c.line == "wait4294967295") << c.line;
    EXPECT_TRUE(h.sent.empty() && h.errors.empty()) << c.line;
  }
}

// Two-letter commands: sent as they are, "." ends them, "I" is an error, "X" is not recognised.
TEST_F(CardFixture, ShortCommands) {
  struct Case {
    std::string line, sent, status;
    TCardState waiting;  // the state that waits for the reply
  };
  for (const Case& c :
       {Case{"RS", "RS", "Reset", TCardState::WaitReset}, Case{"NP", "NP", "", TCardState::WaitNp},
        Case{"FI", "FI", "", TCardState::WaitFinish},
        Case{"FY", "FY", " Starting ", TCardState::WaitStart}}) {
    for (const std::string reply : {".", "I", "X"}) {
      TInstCrt e;
      EngineHarness<TInstCrt> h(e);
      ASSERT_TRUE(h.Offer(c.line));
      h.Step();
      EXPECT_EQ(h.sent, Texts{c.sent});
      EXPECT_EQ(h.statuses, c.status.empty() ? Texts{} : Texts{c.status}) << c.line;
      h.Reply(reply);
      h.RunUntilIdle(3);
      EXPECT_EQ(e.IsBusy(), reply == "X") << c.line << reply;
      EXPECT_EQ(h.errors, reply == "I" ? Texts{"Instruction unknown"} : Texts{}) << c.line;
      EXPECT_EQ(h.buffer, reply == "X" ? "X" : "") << c.line;
      EXPECT_EQ(e.GetState(), reply == "."   ? TCardState::Idle
                              : reply == "I" ? TCardState::Error
                                             : c.waiting);
    }
  }
}

TEST_F(CardFixture, PingReportsTheCardEitherWay) {
  const std::pair<std::string, Texts> cases[] = {
      {".", {"status:Ping OK", "ready:3", "busy:0"}},
      {"X", {"status:Ping Error", "carderr:3", "busy:0"}},
      {"I", {"status:Ping Error", "carderr:3", "busy:0"}},
  };
  for (const auto& [reply, tail] : cases) {
    TInstCrt e;
    EngineHarness<TInstCrt> h(e);
    e.OnCardReady = [&](TGestionnaire&, int32_t v) {
      h.log.push_back("ready:" + std::to_string(v));
    };
    e.OnCardError = [&](TGestionnaire&, int32_t v) {
      h.log.push_back("carderr:" + std::to_string(v));
    };
    h.device = [&](const std::string&) { return reply; };
    ASSERT_TRUE(h.Offer("M3"));
    h.RunUntilIdle();
    Texts expected = {"busy:1", "status:Ping Card 3", "send:M3"};
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(h.log, expected) << reply;
    EXPECT_TRUE(h.errors.empty());
  }
}

TEST_F(CardFixture, VersionReadComparesWithTheExpectedText) {
  struct Case {
    std::string line, version;
    Texts same;
  };
  for (const Case& c :
       {Case{"T2 0103", "0103", {"2"}}, Case{"T2 0103", "0102", {}},
        Case{"T2 0103", "0103x", {}},  // wrong position of "." in a longer reply
        Case{"TE 0001", "0001", {"11"}}, Case{"TA 0001", "0001", {"10"}},
        Case{"TZ 0001", "0001", {"0"}}, Case{"T9 010", "010 ", {}}, Case{"T1 abcd", "ABCD", {}}}) {
    TInstCrt e;
    EngineHarness<TInstCrt> h(e);
    e.OnVersionSame = [&](TGestionnaire&, int32_t v) {
      h.log.push_back("same:" + std::to_string(v));
    };
    ASSERT_TRUE(h.Offer(c.line));
    h.Step();
    EXPECT_EQ(h.sent, Texts{c.line.substr(0, 2)});
    h.Reply(".");
    h.Step();
    EXPECT_EQ(e.GetProgressMax(), 2);
    h.Reply(c.version + ".");
    h.Step(3);
    if (c.version.size() != 4) {
      EXPECT_TRUE(e.IsBusy()) << c.line << c.version;
      continue;
    }
    EXPECT_FALSE(e.IsBusy());
    EXPECT_EQ(h.Only("same:"), c.same) << c.line << " read " << c.version;
    EXPECT_EQ(h.versions,
              Texts{"T:" + c.line.substr(1, 1) + ":" + c.version + ":" + c.line.substr(3)});
    EXPECT_EQ(h.progress_steps, 2);
    EXPECT_EQ(h.buffer, "");
    EXPECT_TRUE(h.errors.empty());
  }
}

// "V", "UV" and "OP": the command, then on "." the version text bare, then "." written.
TEST_F(CardFixture, VersionWrites) {
  struct Case {
    std::string line;
    Texts sent;
    std::string written;
  };
  const Case cases[] = {
      {"V1 0200", {"V1", "0200"}, "V:1:0200"},
      {"UV  0300 ", {"UV", "0300"}, "UV::0300"},
      {"OP 0000", {"OP", "0000"}, "OP::0000"},
      {"VE  1.2 b", {"VE", "1.2 b"}, "V:E:1.2 b"},
  };
  for (const auto& [line, sent, written] : cases) {
    TInstCrt e;
    EngineHarness<TInstCrt> h(e);
    h.device = [](const std::string&) { return "."; };
    ASSERT_TRUE(h.Offer(line));
    h.RunUntilIdle();
    EXPECT_EQ(h.sent, sent) << line;
    EXPECT_EQ(h.versions, Texts{written}) << line;
    EXPECT_EQ(h.Only("pmax:"), Texts{"2"});
    EXPECT_EQ(h.progress_steps, 2);
    EXPECT_TRUE(h.errors.empty());
  }
  // "OP" sets the maximum before its command goes out, the others on the acknowledgement.
  TInstCrt e;
  EngineHarness<TInstCrt> h(e);
  ASSERT_TRUE(h.Offer("OP 0000"));
  h.Step();
  EXPECT_EQ(h.log, (Texts{"busy:1", "pmax:2", "send:OP"}));
}

// The exact order of sends, progress and events of the version instructions.
TEST_F(CardFixture, VersionInstructionsInOrder) {
  const std::pair<std::string, Texts> cases[] = {
      {"V1 0200", {"busy:1", "send:V1", "pmax:2", "pstep", "send:0200", "pstep", "busy:0"}},
      {"UV 0300", {"busy:1", "send:UV", "pmax:2", "pstep", "send:0300", "pstep", "busy:0"}},
      {"OP 0000", {"busy:1", "pmax:2", "send:OP", "pstep", "send:0000", "pstep", "busy:0"}},
      {"T2 0103", {"busy:1", "send:T2", "pmax:2", "pstep", "same:2", "pstep", "busy:0"}},
  };
  for (const auto& [line, log] : cases) {
    TInstCrt e;
    EngineHarness<TInstCrt> h(e);
    e.OnVersionSame = [&](TGestionnaire&, int32_t v) {
      h.log.push_back("same:" + std::to_string(v));
    };
    h.device = [](const std::string& s) { return s == "T2" ? ".0103." : "."; };
    ASSERT_TRUE(h.Offer(line));
    h.RunUntilIdle(20);
    EXPECT_EQ(h.log, log) << line;
  }
}

TEST_F(CardFixture, DeviceRefusals) {
  struct Case {
    std::string line, replies, error;
    size_t sends;  // nothing goes out after the refusal
  };
  const Case cases[] = {
      {"V1 0200", "I", "Instruction unknown", 1},
      {"V1 0200", ".X", "Error while writing version number !!!", 2},
      {"UV 0200", "I", "Instruction unknown", 1},
      {"UV 0200", ".X", "Error while writing version number !!!", 2},
      {"OP 0200", "I", "Instruction unknown", 1},
      {"OP 0200", ".X", "Error while writing version number !!!", 2},
      {"T1 0200", "I", "Instruction unknown", 1},
      {"T1 0200", ".X", "Error while reading version number !!!", 1},
  };
  for (const Case& c : cases) {
    TInstCrt e;
    EngineHarness<TInstCrt> h(e);
    ASSERT_TRUE(h.Offer(c.line));
    for (char r : c.replies) {
      h.Step();
      h.Reply(std::string(1, r));
    }
    h.RunUntilIdle(10);
    EXPECT_EQ(h.errors, Texts{c.error}) << c.line << " " << c.replies;
    EXPECT_EQ(e.GetState(), TCardState::Error);
    EXPECT_EQ(h.buffer, "");
    EXPECT_EQ(h.sent.size(), c.sends) << c.line;
  }
}

// Instructions whose value is missing or malformed end the run; nothing reaches the device.
TEST_F(CardFixture, MalformedInstructions) {
  const std::pair<std::string, std::string> cases[] = {
      {"V", "Component letter missing in \"V\" !!!"},
      {"T", "Component letter missing in \"T\" !!!"},
      {"V1", "Version text missing in \"V1\" !!!"},
      {"T2 ", "Version text missing in \"T2 \" !!!"},
      {"UV", "Version text missing in \"UV\" !!!"},
      {"OP", "Version text missing in \"OP\" !!!"},
      {"M", "Card number missing in \"M\" !!!"},
      {"Mx", "Card number must be one digit 0 to 9 in \"Mx\" !!!"},
      {"M -1", "Card number must be one digit 0 to 9 in \"M -1\" !!!"},
      {"wait", "Bad wait time in \"wait\": a number of milliseconds expected !!!"},
      {"wait abc", "Bad wait time in \"wait abc\": a number of milliseconds expected !!!"},
      {"wait -5", "Bad wait time in \"wait -5\": a number of milliseconds expected !!!"},
      {"wait $10", "Bad wait time in \"wait $10\": a number of milliseconds expected !!!"},
      {"wait 10 ms", "Bad wait time in \"wait 10 ms\": a number of milliseconds expected !!!"},
      {"wait 4294967296",
       "Bad wait time in \"wait 4294967296\": a number of milliseconds expected !!!"},
      {"M" + std::string(5000, 'x'), "Card number must be one digit 0 to 9 in \"" +
                                         Excerpt("M" + std::string(5000, 'x')) + "\" !!!"},
  };
  for (const auto& [line, error] : cases) {
    TInstCrt e;
    EngineHarness<TInstCrt> h(e);
    ASSERT_TRUE(h.Offer(line)) << line;
    h.RunUntilIdle(10);
    EXPECT_EQ(h.errors, Texts{error}) << line;
    EXPECT_TRUE(h.sent.empty()) << line;
    EXPECT_TRUE(h.statuses.empty()) << line;
    EXPECT_EQ(e.GetState(), TCardState::Error) << line;
  }
}

TEST_F(CardFixture, RecognitionOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {"FI", "FI"}, {"FY", "FY"}, {"FIX", "FI"}, {"M7", "M7"}, {"UV 1", "UV"}, {"T1 1", "T1"},
  };
  for (const auto& [line, sent] : cases) {
    TInstCrt e;
    EngineHarness<TInstCrt> h(e);
    ASSERT_TRUE(h.Offer(line));
    h.Step();
    EXPECT_EQ(h.sent, Texts{sent}) << line;
  }
  for (std::string line : {"P0 BANK.HEX", "F3", "SYN", "PB BOOT.HEX", "D2", "Prompt x", "rs"}) {
    EXPECT_FALSE(h.Offer(line)) << line;
  }
  EXPECT_TRUE(h.log.empty());
}

TEST_F(CardFixture, ResetLeavesTheErrorState) {
  ASSERT_TRUE(h.Offer("RS"));
  h.Step();
  h.Reply("I");
  h.Step();
  ASSERT_EQ(e.GetState(), TCardState::Error);
  h.log.clear();
  EXPECT_FALSE(h.Offer("RS"));  // the error state ignores new lines
  EXPECT_TRUE(h.log.empty());
  e.Reset();
  EXPECT_TRUE(h.Offer("RS"));
}

}  // namespace
