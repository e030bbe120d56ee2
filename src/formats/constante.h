#pragma once

#include <array>
#include <cstdint>
#include <string>

// Types and constants shared by the run controller, the engines and the device link.

// The twelve component letters, indexed 0..11: "0"-"7" the microcontroller's memory banks,
// "8" PROM 1, "9" PROM 2, "A" the CPLD, "E" the EDID memory.
inline constexpr std::array<char, 12> ComponentLetters = {'0', '1', '2', '3', '4', '5',
                                                          '6', '7', '8', '9', 'A', 'E'};

struct card_rec {
  int32_t code;
  const char* name;
  const char* folder;  // ends with the path separator
};

inline constexpr card_rec MotherboardCardRec = {255, "Qubra", "Qubra/"};
inline constexpr card_rec MotherboardCardRecU = {255, "UQubra", "UQubra/"};
inline constexpr std::array<card_rec, 1> DaughterCards = {card_rec{1, "DVI", "DVI/"}};

enum tConnectionType : uint8_t { CON_NONE = 0, CON_RS232 = 1, CON_UDP = 2, CON_TCP = 3 };
enum tConnectionMode : uint8_t { MODE_VAR = 0, MODE_RAW = 1 };
