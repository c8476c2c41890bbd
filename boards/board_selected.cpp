// The board a device program was built for (velnor_board in
// boards/CMakeLists.txt): this definition replaces the default.
#include <iterator>

#include "boards/board.h"

namespace {
constexpr size_t selected = board_index(VELNOR_BOARD_NAME);
static_assert(selected < std::size(boards),
              "no board of that name in boards/board.h");
}  // namespace

const Board& device_board() { return boards[selected]; }
