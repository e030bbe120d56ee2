#include "engines/progjtag.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engines/engine_harness.h"
#include "formats/hex.h"
#include "formats/text.h"
#include "sys/Sha256.h"

namespace {

using Texts = std::vector<std::string>;
const std::string kEscDot = "\x1b.";

// A device that accepts everything: "." for commands, records and data blocks, ESC "." for an
// SDR record whose data block is to follow.
std::string Accept(const std::string& sent) {
  if (sent.size() < 2 || sent.compare(sent.size() - 2, 2, "\r\n") != 0) return ".";
  const int type = ParseHexRecord(sent).type;
  if ((type & 0x0F) == 3 && !(type & 0x80)) return kEscDot;
  return ".";
}

class ProgJtagTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "progjtag_" +
           testing::UnitTest::GetInstance()->current_test_info()->name() + "/";
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    e.SetCardDir(dir_);
    e.SetUpdateAllowed(true);
    e.Pause = [this](int ms) { pauses.push_back(ms); };
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + name, std::ios::binary) << text;
  }

  // Plays "P8 <name>" against `device` until the engine is idle again.
  void Play(const std::string& name, std::function<std::string(const std::string&)> device) {
    h.device = std::move(device);
    ASSERT_TRUE(h.Offer("P8 " + name));
    h.RunUntilIdle();
    ASSERT_FALSE(e.IsBusy());
  }

  std::string dir_;
  TProgJtag e;
  EngineHarness<TProgJtag> h{e};
  std::vector<int> pauses;
};

}  // namespace

TEST_F(ProgJtagTest, PlaysAnEffectFile) {
  Write("prog.svf",
        "// header\r\n"
        "TRST OFF;\r\n"
        "ENDIR IDLE;\r\n"
        "SIR 8 TDI (FE);\r\n"
        "SDR 16 TDI (1234);\r\n"
        "SDR 32 TDI (00000000);\r\n"
        "STATE RESET IDLE;\r\n");
  e.Pause = [this](int ms) {
    pauses.push_back(ms);
    h.log.push_back("pause");
  };
  Play("prog.svf", Accept);
  // The pause comes once the file is open and counted, before its first statement.
  ASSERT_GE(h.log.size(), 5u);
  EXPECT_EQ(Texts(h.log.begin(), h.log.begin() + 5),
            (Texts{"busy:1", "send:P8", "pmax:7", "pause", "send::0100000601F8\r\n"}));
  EXPECT_EQ(h.sent,
            (Texts{"P8", ":0100000601F8\r\n", ":01000862FE97\r\n", ":010010630686\r\n", "341246",
                   ":010020E300FC\r\n", ":020000050001F8\r\n", ":00000001FF\r\n"}));
  EXPECT_TRUE(h.errors.empty());
  EXPECT_EQ(h.Only("pmax:"), Texts{"7"});  // every line counts, comments included
  EXPECT_EQ(h.progress_steps, 5);
  EXPECT_EQ(h.Only("opend"), Texts{""});
  EXPECT_EQ(pauses, std::vector<int>{1000});
  EXPECT_EQ(e.GetState(), TJtagState::Idle);
  EXPECT_FALSE(e.IsEffectFileOpen());
  EXPECT_EQ(h.buffer, "");
}

// With a file check the engine plays the bytes the check saw, even when the file changes
// afterwards, and a file the check refuses sends nothing after the command.
TEST_F(ProgJtagTest, FileCheckSeesTheBytesPlayed) {
  const std::string file = "SIR 8 TDI (FE);\r\nSDR 16 TDI (1234);\r\n";
  Write("prog.svf", file);
  std::string seen;
  e.SetFileCheck([&](const std::string& path, std::string& bytes, std::string& refusal) {
    ReadRunFile(path, nullptr, bytes, refusal);
    seen = bytes;
    Write("prog.svf", "SIR 8 TDI (00);\r\n");
    return (refusal = path == dir_ + "prog.svf" ? "" : "wrong path " + path).empty();
  });
  Play("prog.svf", Accept);
  EXPECT_EQ(seen, file);
  EXPECT_TRUE(h.errors.empty());
  EXPECT_EQ(h.sent,
            (Texts{"P8", ":01000862FE97\r\n", ":010010630686\r\n", "341246", ":00000001FF\r\n"}));

  h.sent.clear();
  e.SetFileCheck([](const std::string&, std::string&, std::string& refusal) {
    refusal = "prog.svf: changed since the package was sealed";
    return false;
  });
  Play("prog.svf", Accept);
  EXPECT_EQ(h.errors, Texts{"prog.svf: changed since the package was sealed"});
  EXPECT_EQ(h.sent, Texts{"P8"});
  EXPECT_FALSE(e.IsEffectFileOpen());
}

// The record names the bytes played, whichever the file held when it was counted or checked:
// here it is rewritten in place (same inode) in between.
TEST_F(ProgJtagTest, NotesTheHashOfTheBytesPlayed) {
  const std::string before = "SIR 8 TDI (FE);\r\nSDR 16 TDI (1234);\r\n";
  const std::string after = "SIR 8 TDI (00);\r\nSDR 16 TDI (1234);\r\n";
  const struct {
    const char* name;
    TFileCheck check;
    std::string played, first_record;
  } cases[] = {
      {"unsealed", nullptr, after, ":010008620095\r\n"},
      {"sealed",
       [](const std::string& p, std::string& b, std::string& r) {
         return ReadRunFile(p, nullptr, b, r);
       },
       before, ":01000862FE97\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Write("prog.svf", before);
    e.SetFileCheck(c.check);
    e.Pause = [&](int) { Write("prog.svf", after); };
    h.sent.clear();
    h.files.clear();
    Play("prog.svf", Accept);
    ASSERT_GE(h.sent.size(), 2u);
    EXPECT_EQ(h.sent[1], c.first_record);
    EXPECT_EQ(h.files, Texts{dir_ + "prog.svf"});
    EXPECT_EQ(e.GetFileReadSha256(), Sha256Hex(c.played));
  }
}

TEST_F(ProgJtagTest, TakesOnlyJtagTargets) {
  for (const char* line : {"P7 prog.svf", "D3", "F0", "Dx", "PB x", "P", "X8", "d8"}) {
    EXPECT_FALSE(h.Offer(line)) << line;
    EXPECT_EQ(e.GetInstruction(), line);
  }
  EXPECT_TRUE(h.log.empty());

  const std::pair<const char*, const char*> taken[] = {
      {"D9", "D9"}, {"D  A", "DA"}, {"F8", "F8"}, {"PA prog.svf", "PA"}, {"P 9 prog.svf", "P9"}};
  for (const auto& [line, command] : taken) {
    e.Reset();
    e.SetUpdateAllowed(true);
    h.sent.clear();
    ASSERT_TRUE(h.Offer(line)) << line;
    e.Step();
    EXPECT_EQ(h.sent, Texts{command}) << line;
  }
}

TEST_F(ProgJtagTest, ReadsIdentification) {
  ASSERT_TRUE(h.Offer("D9"));
  h.Step(3);
  EXPECT_EQ(h.sent, Texts{"D9"});
  h.Reply(".7856");
  h.Step(3);  // no "." after the digits yet
  EXPECT_TRUE(e.IsBusy());
  h.Reply("3412.");
  h.RunUntilIdle();
  EXPECT_EQ(h.statuses, (Texts{"Extract JTAG Devices ID", "ID Number : 12345678"}));
  EXPECT_TRUE(h.errors.empty());
  EXPECT_EQ(h.buffer, "");
  // A runaway reply is quoted cut.
  ASSERT_TRUE(h.Offer("D9"));
  h.Reply("." + std::string(1000, 'A') + ".");
  h.RunUntilIdle();
  EXPECT_EQ(h.statuses.back(), "ID Number : " + Excerpt(std::string(1000, 'A')));
}

TEST_F(ProgJtagTest, FCommandWaitsForTheAcknowledgement) {
  ASSERT_TRUE(h.Offer("F8"));
  h.Step(4);
  EXPECT_TRUE(e.IsBusy());
  h.Reply(".");
  h.RunUntilIdle();
  EXPECT_EQ(h.sent, Texts{"F8"});
  EXPECT_TRUE(h.statuses.empty());
  EXPECT_TRUE(h.errors.empty());
}

TEST_F(ProgJtagTest, CommentsOnlyFileSendsTheEndRecord) {
  Write("c.svf", "// a\n// b\nTRST ON;\n");
  Play("c.svf", Accept);
  EXPECT_EQ(h.sent, (Texts{"P8", ":00000001FF\r\n"}));
  EXPECT_TRUE(h.errors.empty());
  EXPECT_EQ(h.progress_steps, 0);
}

TEST_F(ProgJtagTest, ErrorsEndTheInstruction) {
  Write("blank.svf", "// one\nSIR 8 TDI (FE);\n\nSIR 8 TDI (FE);\n");
  Write("hdr.svf", "ENDIR IDLE;\r\nENDDR IDLE;\r\nHDR 0;\r\n");
  Write("two.svf", "ENDIR IDLE;\nSIR 8 TDI (FE);\n");
  Write("empty.svf", "");
  Write("one.svf", "ENDIR IDLE;\n");
  struct Case {
    std::string line;
    std::function<std::string(const std::string&)> device;
    std::string error;
  };
  const Case cases[] = {
      {"P8 blank.svf", Accept, "Error in Effect file line : 3"},
      {"P8 hdr.svf", Accept, "Error in Effect file line : 3"},
      {"P8 two.svf", [](const std::string& s) { return s.starts_with(":01000862") ? "X" : "."; },
       "Error while executing Effect file line : 2"},
      {"P8   missing.svf ", Accept, dir_ + "missing.svf File not found !!!"},
      {"P8 " + std::string(100000, 'n'), Accept,
       Excerpt(dir_ + std::string(100000, 'n')) + " File not found !!!"},
      {"P8 empty.svf", Accept, "Effect File Empty !!!"},
      {"P8 one.svf", [](const std::string& s) { return s == "P8" ? "I" : "."; },
       "Instruction unknown"},
      {"P8 one.svf", [](const std::string& s) { return s.starts_with(":00000001") ? "X" : "."; },
       "Instruction unknown"},
      {"P8 one.svf", [](const std::string& s) { return s.starts_with(":00000001") ? "R" : "."; },
       "Too Many Transmission Error !!!"},
      {"D8", [](const std::string&) { return "I"; }, "Instruction unknown"},
      {"F8", [](const std::string&) { return "I"; }, "Instruction unknown"},
  };
  for (const Case& c : cases) {
    e.Reset();
    e.SetUpdateAllowed(true);
    h.buffer.clear();
    h.errors.clear();
    h.device = c.device;
    ASSERT_TRUE(h.Offer(c.line)) << c.line;
    h.RunUntilIdle();
    EXPECT_EQ(h.errors, Texts{c.error}) << c.line;
    EXPECT_EQ(e.GetState(), TJtagState::Error) << c.line;
    EXPECT_FALSE(e.IsBusy()) << c.line;
    EXPECT_FALSE(e.IsEffectFileOpen()) << c.line;
  }
}

TEST_F(ProgJtagTest, UpdateNotAllowedSendsNothing) {
  e.SetUpdateAllowed(false);
  ASSERT_TRUE(h.Offer("P8 prog.svf"));
  h.RunUntilIdle();
  EXPECT_EQ(h.errors, Texts{"Update Not Allowed !!!"});
  EXPECT_TRUE(h.sent.empty());
  EXPECT_EQ(e.GetState(), TJtagState::Done);
  EXPECT_FALSE(e.IsBusy());

  // "D" and "F" do not ask.
  for (const char* line : {"D9", "F8"}) {
    e.Reset();
    h.sent.clear();
    h.errors.clear();
    h.device = [](const std::string& s) { return s == "D9" ? ".78563412." : "."; };
    ASSERT_TRUE(h.Offer(line)) << line;
    h.RunUntilIdle();
    EXPECT_EQ(h.sent, Texts{line});
    EXPECT_TRUE(h.errors.empty()) << line;
    EXPECT_EQ(e.GetState(), TJtagState::Idle) << line;
  }
}

// The file is looked for only once the device has taken "P" and the target.
TEST_F(ProgJtagTest, EffectFileIsOpenedAfterTheCommandIsAccepted) {
  ASSERT_TRUE(h.Offer("P8   missing.svf "));
  h.Step(4);
  EXPECT_EQ(h.sent, Texts{"P8"});
  EXPECT_TRUE(h.errors.empty());
  EXPECT_TRUE(e.IsBusy());
  h.Reply(".");
  h.Step();
  EXPECT_EQ(h.errors, Texts{dir_ + "missing.svf File not found !!!"});
  EXPECT_TRUE(pauses.empty());
  EXPECT_EQ(h.sent, Texts{"P8"});
}

TEST_F(ProgJtagTest, ReplyCodeIsFoundAnywhere) {
  e.SetReceived("ab.XR");
  EXPECT_EQ(e.FindReplyCode(), '.');
  e.SetReceived("0X.");
  EXPECT_EQ(e.FindReplyCode(), 'X');
  e.SetReceived("12R");
  EXPECT_EQ(e.FindReplyCode(), 'R');
  e.SetReceived("1234");
  EXPECT_EQ(e.FindReplyCode(), '\0');

  Write("two.svf", "ENDIR IDLE;\nENDDR IDLE;\n");
  Play("two.svf", [](const std::string& s) { return s == "P8" ? "." : "z.X"; });
  EXPECT_TRUE(h.errors.empty());
  EXPECT_EQ(h.progress_steps, 2);
}

// Retransmission requests and bad TDO sums of the whole file share one budget of 300; the next
// file of the run starts with a budget of its own.
TEST_F(ProgJtagTest, RetryBudgetPerEffectFile) {
  Write("r.svf", "SDR 16 TDI (1234);\nSDR 8 TDI (00) TDO (A5);\n");
  for (int budget_used : {300, 301}) {
    h.sent.clear();
    h.errors.clear();
    h.retries = 0;
    int requests = 0;
    // 150 "R" to the first record, the rest as bad sums on the TDO statement.
    Play("r.svf", [&](const std::string& s) -> std::string {
      if (s == "P8") return ".";
      if (s.starts_with(":01001063")) return requests < 150 ? (++requests, "R") : kEscDot;
      if (s == "341246") return ".";
      if (s.starts_with(":010008F3") || s == "R")
        return requests < budget_used ? (++requests, "A500" + kEscDot) : "A5A5" + kEscDot;
      return ".";
    });
    EXPECT_EQ(h.retries, budget_used);
    if (budget_used == 300) {
      EXPECT_TRUE(h.errors.empty());
      EXPECT_EQ(std::count(h.sent.begin(), h.sent.end(), ":010010630686\r\n"), 151);
      EXPECT_EQ(std::count(h.sent.begin(), h.sent.end(), "R"), 150);
      EXPECT_EQ(h.sent.back(), ":00000001FF\r\n");
    } else {
      EXPECT_EQ(h.errors, Texts{"Too Many Transmission Error !!!"});
      EXPECT_EQ(std::count(h.sent.begin(), h.sent.end(), "R"), 150);
    }
  }
}

TEST_F(ProgJtagTest, RetransmitsTheRecordAndItsBlock) {
  Write("b.svf", "SDR 16 TDI (1234);\n");
  int n = 0;
  Play("b.svf", [&](const std::string& s) -> std::string {
    if (s == "341246" && n++ == 0) return "R";
    return Accept(s);
  });
  EXPECT_EQ(h.sent, (Texts{"P8", ":010010630686\r\n", "341246", ":010010630686\r\n", "341246",
                           ":00000001FF\r\n"}));
  EXPECT_TRUE(h.errors.empty());
  EXPECT_EQ(e.GetRetryCount(), 1);
}

TEST_F(ProgJtagTest, ChecksTdoReplies) {
  struct Case {
    std::string line;
    Texts replies;  // to the record, then to each "." or "R" the engine sends
    Texts after_record;
    std::string error;
  };
  const std::string esc = "\x1b";
  const Case cases[] = {
      {"SDR 8 TDI (00) TDO (A5);", {"A5A5" + kEscDot, "."}, {"."}, ""},
      {"SDR 8 TDI (00) TDO (A5);", {"A500" + kEscDot, "A5A5" + kEscDot, "."}, {"R", "."}, ""},
      {"SDR 8 TDI (00) TDO (A5);", {kEscDot, "A5A5" + kEscDot, "."}, {"R", "."}, ""},
      {"SDR 8 TDI (00) TDO (A5);",
       {"5A5A" + kEscDot},
       {"."},
       "Error while executing Effect file line : 2"},
      {"SDR 8 TDI (00) TDO (A5) MASK (F0);", {"A0A0" + kEscDot, "."}, {"."}, ""},
      {"SDR 8 TDI (00) TDO (1B);", {esc + esc + "1B" + kEscDot, "."}, {"."}, ""},
      {"SDR 8 TDI (00) TDO (00);", {esc + "0" + esc + "0" + kEscDot, "."}, {"."}, ""},
      {"SDR 16 TDI (00) TDO (1234);", {"341246" + kEscDot, "."}, {"."}, ""},
      {"SDR 16 TDI (00) TDO (1234);", {"34" + esc + "1246" + kEscDot, "."}, {"."}, ""},
  };
  for (const Case& c : cases) {
    Write("t.svf", "// tdo\n" + c.line + "\n");
    e.Reset();
    e.SetUpdateAllowed(true);
    h.sent.clear();
    h.errors.clear();
    size_t next = 0;
    Play("t.svf", [&](const std::string& s) -> std::string {
      if (s == "P8" || s.starts_with(":00000001")) return ".";
      return next < c.replies.size() ? c.replies[next++] : "";
    });
    Texts after(h.sent.begin() + 2, h.sent.end());
    if (c.error.empty()) after.pop_back();  // the end record
    EXPECT_EQ(after, c.after_record) << c.line << " " << c.replies[0];
    EXPECT_EQ(h.errors, c.error.empty() ? Texts{} : Texts{c.error}) << c.replies[0];
    if (c.error.empty()) {
      EXPECT_EQ(h.sent.back(), ":00000001FF\r\n");
    }
  }
}

TEST_F(ProgJtagTest, ResetKeepsTheFileOpenUntilTheNextOne) {
  Write("a.svf", "ENDIR IDLE;\nENDDR IDLE;\n");
  h.device = [](const std::string& s) { return s == "P8" ? "." : ""; };
  ASSERT_TRUE(h.Offer("P8 a.svf"));
  h.Step(3);
  EXPECT_TRUE(e.IsEffectFileOpen());
  e.Reset();
  EXPECT_EQ(e.GetState(), TJtagState::Idle);
  EXPECT_TRUE(e.IsEffectFileOpen());
  h.buffer.clear();
  h.sent.clear();
  e.SetUpdateAllowed(true);
  Play("a.svf", Accept);
  EXPECT_EQ(h.sent, (Texts{"P8", ":0100000601F8\r\n", ":0100000701F7\r\n", ":00000001FF\r\n"}));
  EXPECT_FALSE(e.IsEffectFileOpen());
}
