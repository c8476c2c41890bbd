#include "boards/board.h"

namespace {
const Board* chosen = nullptr;
}  // namespace

void choose_board(const Board* board) { chosen = board; }

[[gnu::weak]] const Board& device_board() {
  return chosen != nullptr ? *chosen : boards[0];
}
