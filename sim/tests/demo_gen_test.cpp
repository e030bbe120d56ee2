// The demo package: the committed files are what the generator makes, and every file lands on
// the simulated device when sent the way the engines send it.
#include "demo_gen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "engines/svf.h"
#include "formats/hex.h"
#include "formats/text.h"
#include "sim_device.h"

namespace {

const std::string kEsc = "\x1B";

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

TSimDevice BootedDevice() {
  TSimDevice dev({});
  dev.Feed("?1yU254yU%30");
  return dev;
}

// Uploads as the boot and PSD engines do and returns the replies.
std::string Upload(TSimDevice& dev, const std::string& command,
                   const std::vector<std::string>& lines, uint16_t first, uint16_t last) {
  std::string r = dev.Feed(command);
  r += dev.Feed(lines[0] + "\r\n");
  for (const auto& line : lines) r += dev.Feed(line + "\r\n");
  return r +
         dev.Feed(MakeHexRecord(0x0C, 0, WordToHex(HexImageChecksum(lines, first, last))) + "\r\n");
}

std::string Decode(const std::string& reply) {
  std::string r;
  for (size_t i = 0; i + 1 < reply.size(); ++i) {
    if (reply[i] != kEsc[0])
      r += reply[i];
    else if (reply[i + 1] == '.')
      break;
    else
      r += reply[++i] == '0' ? "00" : "1B";
  }
  return r;
}

// Plays the statements the generator writes into the device, checking TDO as the JTAG engine
// does. Returns the first problem, or "" when the whole file passed.
std::string PlayEffect(TSimDevice& dev, const std::vector<std::string>& lines) {
  int n = 0;
  for (const std::string& raw : lines) {
    ++n;
    const std::string where = "line " + std::to_string(n) + ": ";
    TSvfStatement st;
    const TSvfEncoding enc = EncodeSvfLine(raw, st);
    if (enc.Outcome == esSKIP) continue;
    if (enc.Outcome == esERROR) return where + "does not encode: " + enc.Reason;
    const std::string& record = enc.Record;
    const std::string block = st.BlockPending ? st.TdiData : "";
    std::string tdo = st.TdoData;
    const std::string& mask = st.MaskData;
    std::string reply = dev.Feed(record + "\r\n");
    if (!block.empty()) {
      if (reply != kEsc + ".") return where + "record of the data block refused";
      reply = dev.Feed(block);
    }
    if (tdo.empty()) {
      if (reply != ".") return where + "not acknowledged";
      continue;
    }
    std::string got = Decode(reply);
    if (got.size() < 2) return where + "TDO reply without its sum";
    got.resize(got.size() - 2);  // the sum; checked by the device tests
    AndHexDigits(mask, got);
    AndHexDigits(mask, tdo);
    if (got != tdo) return where + "TDO " + got + " differs from " + tdo;
    if (dev.Feed(".") != ".") return where + "statement not acknowledged after TDO";
  }
  return dev.Feed(std::string(kSvfEndRecord) + "\r\n") == "." ? "" : "end record refused";
}

TEST(DemoGenTest, CommittedPackageIsWhatTheGeneratorMakes) {
  for (const auto& [path, text] : MakeDemoFiles({1, 1024})) {
    EXPECT_EQ(ReadFile(std::string(QUBRA_SOURCE_DIR) + "/demo/" + path), text)
        << path << " differs: regenerate with qubra-demo-gen --seed 1 --size 1024 --out demo";
  }
}

TEST(DemoGenTest, SameSeedSameFilesOtherSeedOtherFiles) {
  EXPECT_EQ(MakeDemoFiles({5, 300}), MakeDemoFiles({5, 300}));
  EXPECT_NE(MakeDemoFiles({5, 300})[1].second, MakeDemoFiles({6, 300})[1].second);
}

TEST(DemoGenTest, HexFilesLandOnTheDeviceAsTheirImages) {
  for (size_t size : {size_t{1}, size_t{100}, size_t{1024}, size_t{40000}}) {
    TSimDevice dev = BootedDevice();
    for (const auto& [path, text] : MakeDemoFiles({3, size})) {
      if (path.rfind("Qubra/", 0) != 0 && path != "BOOT_EXT_OPTION.HEX") continue;
      if (path.find(".HEX") == std::string::npos) continue;
      const auto lines = SplitLines(text);
      const bool boot = path == "BOOT_EXT_OPTION.HEX";
      const int bank = boot ? -1 : path[10] - '0';
      const uint16_t first = boot ? 0x4000 : bank == 0 ? 0x0000 : 0x8000;
      const uint16_t last = boot ? 0x5FFF : bank == 0 ? 0x7FFF : 0xFFFF;
      const std::string command = boot ? "PB" : "P" + std::to_string(bank);
      EXPECT_EQ(Upload(dev, command, lines, first, last), std::string(lines.size() + 4, '.'))
          << path << " size " << size;
      EXPECT_EQ(ParseHexRecord(lines[1]).address, first) << path << ": images start at the region";
      // A size the region cannot hold fills it to its last byte.
      size_t end = 0;
      for (const std::string& line : lines) {
        const HexRecord r = ParseHexRecord(line);
        if (r.type == 0) end = std::max<size_t>(end, r.address + r.data.size());
      }
      EXPECT_EQ(end, std::min<size_t>(first + size, last + 1u)) << path << " size " << size;
      const auto image = HexImage(lines);
      const std::string expected(image.begin() + first, image.begin() + last + 1);
      EXPECT_EQ(boot ? dev.BootArea() : dev.Bank(bank), expected) << path << " size " << size;
    }
  }
}

TEST(DemoGenTest, EdidHasItsHeaderAndBlockChecksums) {
  TSimDevice dev = BootedDevice();
  const auto files = MakeDemoFiles({});
  const auto lines = SplitLines(files.back().second);
  ASSERT_EQ(files.back().first, "DVI/EDID.HEX");
  dev.Feed("PE");
  for (const auto& line : lines) ASSERT_EQ(dev.Feed(line + "\r\n"), ".");
  dev.Feed("RS");
  const std::string edid = dev.Edid();
  EXPECT_EQ(edid.substr(0, 8), std::string("\x00\xFF\xFF\xFF\xFF\xFF\xFF\x00", 8));
  for (int block = 0; block < 2; ++block) {
    unsigned sum = 0;
    for (int i = 0; i < 128; ++i) sum += static_cast<unsigned char>(edid[block * 128 + i]);
    EXPECT_EQ(sum % 256, 0u) << "block " << block;
  }
}

TEST(DemoGenTest, EffectFilesProgramThenVerifyOnTheDevice) {
  for (size_t size : {size_t{1}, size_t{64}, size_t{130}, size_t{1024}}) {
    for (const auto& [path, text] : MakeDemoFiles({2, size})) {
      if (path.find(".SVF") == std::string::npos) continue;
      TSimDevice dev = BootedDevice();
      const char target = path.find("PROM1") != std::string::npos   ? '8'
                          : path.find("PROM2") != std::string::npos ? '9'
                                                                    : 'A';
      ASSERT_EQ(dev.Feed(std::string("P") + target), ".");
      EXPECT_EQ(PlayEffect(dev, SplitLines(text)), "") << path << " size " << size;
      EXPECT_EQ(dev.Jtag(target).Storage().size(), size) << path;
    }
  }
}

TEST(DemoGenTest, CorruptedProgramDataFailsTheVerify) {
  const auto files = MakeDemoFiles({2, 200});
  auto lines = SplitLines(files[9].second);
  ASSERT_EQ(files[9].first, "Qubra/PROM1.SVF");
  for (auto& line : lines) {
    if (line.rfind("SDRS", 0) == 0) {
      const size_t digit = line.find('(') + 1;
      line[digit] = line[digit] == '1' ? '2' : '1';
      break;
    }
  }
  TSimDevice dev = BootedDevice();
  dev.Feed("P8");
  EXPECT_NE(PlayEffect(dev, lines).find("differs"), std::string::npos);
}

}  // namespace
