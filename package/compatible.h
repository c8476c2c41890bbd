// Packages that name their board: entries of type bpk_type_compatible, each
// holding one board name (1 to 64 of the characters A-Z a-z 0-9 . _ , + -,
// nothing else, no terminator). A package may name several boards.
#pragma once

#include <string>
#include <string_view>

#include "package/bpk.h"

constexpr uint32_t bpk_type_compatible = 0x434D5000;  // "CMP\0"
constexpr size_t compatible_name_max = 64;

// Whether text can be a board name.
bool compatible_name_valid(std::string_view text);

// The selected compatible entry's board name (its header's size and crc),
// or "" when its data fails its CRC or holds no valid name.
std::string compatible_entry_name(PackageFile* package, uint64_t size,
                                  uint32_t crc);

// The board name this program was built for: VELNOR_COMPATIBLE, else its
// board's (boards/board.h), or null when it has none. A build with
// VELNOR_COMPATIBLE links compatible_board.cpp, whose definition replaces
// the default.
const char* device_compatible();

// 0 when the package may go onto a board called board: board is null (a
// device without a name ignores these entries like any unknown entry), the
// package names no board (packages made before boards had names, such as
// the backup on a card in the field, still install), or one of its
// entries names it. Otherwise -1 and "Failed to validate compatible" on
// stderr; an entry that is damaged (its CRC) or holds no valid name counts
// as naming another board.
int check_compatible(PackageFile* package, const char* board);
