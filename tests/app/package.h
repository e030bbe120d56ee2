#pragma once

#include <string>

#include "formats/hex.h"
#include "scratch_dir.h"

// A temporary program folder holding an update package.
class TPackage : public ScratchDir {
 public:
  // A package a run would go through without a syntax or file error: main script with both
  // card kinds, a motherboard sub-script (Qubra/ only) touching every engine, a DVI sub-script,
  // and the closing boot file.
  void WriteSound() const {
    const std::string hex = MakeHexRecord(0, 0x4000, "0102") + "\r\n" +
                            MakeHexRecord(4, 0, "0000") + "\r\n:00000001FF\r\n";
    Write("script.ini", "rem full update\r\nprompt Switch the device on\r\nM0\r\n\r\nCM\r\nC0\r\n");
    Write("BOOT_EXT_OPTION.HEX", hex);
    Write("Qubra/script.ini",
          "T0 0130\r\nP0 bank0.hex\r\nV0 0130\r\nPE edid.hex\r\nP8 prom1.svf\r\n"
          "D8\r\nF0\r\nPB boot.hex 1A2B\r\nwait 100\r\nRS\r\nNP\r\nFY\r\nOP 0001\r\n"
          "remark\r\n");
    Write("Qubra/bank0.hex", hex);
    Write("Qubra/edid.hex", hex);
    Write("Qubra/boot.hex", hex);
    Write("Qubra/prom1.svf",
          "// PROM 1\r\nSTATE RESET IDLE;\r\nSIR 8 TDI (FE);\r\nSDR 8 TDI (00) TDO (A5);\r\n"
          "RUNTEST 100 TCK;\r\n");
    Write("UQubra/script.ini", "T0 0130\r\n");  // a device of type 35 only has its version read
    Write("DVI/script.ini", "UV 0200\r\nD2\r\nP9 dvi.svf\r\n");
    Write("DVI/dvi.svf", "SIR 8 TDI (FE);\n");
  }
};
