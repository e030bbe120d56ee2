#include "sim_options.h"

#include <gtest/gtest.h>

namespace {

TEST(SimOptionsTest, ParsesEveryOption) {
  TSimOptions o;
  std::string error;
  ASSERT_TRUE(ParseSimOptions({"--tcp",
                               "127.0.0.2:4000",
                               "--type",
                               "35",
                               "--off",
                               "--id",
                               "abcd",
                               "--version",
                               "8=0101",
                               "--version=e=00ff",
                               "--cards",
                               "01",
                               "--retry-rate",
                               "0.25",
                               "--seed",
                               "9",
                               "--fail-line",
                               "12",
                               "--hangup-after",
                               "30",
                               "--latency",
                               "5",
                               "--baud=57600",
                               "--dump",
                               "out",
                               "--jtag-chain",
                               "9=8:0x1A2B3C4D,10*,6:3f00c0db",
                               "--jtag-chain=a=8*",
                               "-v"},
                              o, error))
      << error;
  EXPECT_EQ(o.link, TSimOptions::Link::kTcp);
  EXPECT_EQ(o.address, "127.0.0.2");
  EXPECT_EQ(o.port, 4000);
  EXPECT_EQ(o.device.type, 35);
  EXPECT_TRUE(o.device.off);
  EXPECT_EQ(o.device.id, "ABCD");
  EXPECT_EQ(o.device.versions.at('8'), "0101");
  EXPECT_EQ(o.device.versions.at('E'), "00FF");
  EXPECT_EQ(o.device.cards, "01");
  EXPECT_DOUBLE_EQ(o.device.retry_rate, 0.25);
  EXPECT_EQ(o.device.seed, 9u);
  EXPECT_EQ(o.device.fail_line, 12);
  EXPECT_EQ(o.device.hangup_after, 30);
  EXPECT_EQ(o.latency_ms, 5);
  EXPECT_EQ(o.baud, 57600);
  EXPECT_EQ(o.dump_dir, "out");
  EXPECT_EQ(o.device.jtag_chains.at('9'),
            (std::vector<TJtagPart>{{8, 0x1A2B3C4D}, {10, 0, true}, {6, 0x3F00C0DB}}));
  EXPECT_EQ(o.device.jtag_chains.at('A'), (std::vector<TJtagPart>{{8, 0, true}}));
  EXPECT_EQ(o.device.jtag_chains.count('8'), 0u) << "the default chain";
  EXPECT_TRUE(o.verbose);

  TSimOptions u;
  ASSERT_TRUE(ParseSimOptions({"--udp", "0", "--cards", "none"}, u, error)) << error;
  EXPECT_EQ(u.address, "127.0.0.1");
  EXPECT_EQ(u.port, 0);
  EXPECT_EQ(u.device.cards, "");
}

TEST(SimOptionsTest, Errors) {
  std::string parts33 = "8*";
  for (int i = 0; i < 32; ++i) parts33 += ",2";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "give one of --tcp, --udp or --pty"},
      {{"--tcp", "192.168.0.10:10500"},
       "--tcp: only loopback addresses (127.x.x.x) are accepted, got '192.168.0.10'"},
      {{"--udp", "0.0.0.0:1"},
       "--udp: only loopback addresses (127.x.x.x) are accepted, got '0.0.0.0'"},
      {{"--tcp", "70000"}, "--tcp: port must be a number from 0 to 65535, got '70000'"},
      {{"--tcp", "1", "--udp", "2"}, "--udp: only one link may be given"},
      {{"--pty", "x", "--type", "31"}, "--type: expected 30 or 35, got '31'"},
      {{"--pty", "x", "--id", "12345"}, "--id: expected four hex digits, got '12345'"},
      {{"--pty", "x", "--version", "B=0101"},
       "--version: expected C=HHHH with C one of 0-9, A, E, got 'B=0101'"},
      {{"--pty", "x", "--cards", "0,1"},
       "--cards: expected card digits (for example 0 or 01) or none, got '0,1'"},
      {{"--pty", "x", "--retry-rate", "1"},
       "--retry-rate: expected a probability from 0 up to (not including) 1, got '1'"},
      {{"--pty", "x", "--fail-line", "0"},
       "--fail-line: expected a whole number from 1 to 9223372036854775807, got '0'"},
      {{"--pty", "x", "--hangup-after", "0"},
       "--hangup-after: expected a whole number from 1 to 9223372036854775807, got '0'"},
      {{"--pty", "x", "--baud"}, "--baud: missing value"},
      {{"--pty", "x", "--colour", "red"}, "--colour: unknown option"},
      {{"--pty", "x", "--jtag-chain", "B=8*"},
       "--jtag-chain: expected T=PARTS with T one of 8, 9, A, got 'B=8*'"},
      {{"--pty", "x", "--jtag-chain", "8"},
       "--jtag-chain: expected T=PARTS with T one of 8, 9, A, got '8'"},
      {{"--pty", "x", "--jtag-chain", "8=8*", "--jtag-chain", "8=10*"},
       "--jtag-chain: the chain of target 8 is given twice"},
      {{"--pty", "x", "--jtag-chain", "9=8,x*"},
       "--jtag-chain: 9: part 2 'x*': expected the instruction register's length in bits"},
      {{"--pty", "x", "--jtag-chain", "A=10:0xZZ*"},
       "--jtag-chain: A: part 1 '10:0xZZ*': expected the IDCODE as 1 to 8 hex digits after ':'"},
      {{"--pty", "x", "--jtag-chain", "8=8*,10*"},
       "--jtag-chain: 8: mark exactly one part, the modelled one, with *, got '8*,10*'"},
      {{"--pty", "x", "--jtag-chain", "8=6*"},
       "--jtag-chain: 8: part 1: the modelled part's instruction register has 8 to 32 bits, got "
       "'6*'"},
      {{"--pty", "x", "--jtag-chain", "8=8,33:1,8*"},
       "--jtag-chain: 8: part 2: an instruction register has 2 to 32 bits, got '8,33:1,8*'"},
      {{"--pty", "x", "--jtag-chain", "8=8:0C0DE800*"},
       "--jtag-chain: 8: part 1: an IDCODE has bit 0 set, got '8:0C0DE800*'"},
      {{"--pty", "x", "--jtag-chain", "8=" + parts33},
       "--jtag-chain: 8: a chain has 1 to 32 parts, got '" + parts33 + "'"},
  };
  for (const auto& [args, message] : cases) {
    TSimOptions o;
    std::string error;
    EXPECT_FALSE(ParseSimOptions(args, o, error));
    EXPECT_EQ(error, message);
  }
}

}  // namespace
