#include "core/board/board_device.h"

namespace {

// A bit position beyond the word is no LED rather than an undefined shift.
uint32_t bitAt(int position)
{
    return position >= 0 && position < 32 ? 1u << position : 0;
}

uint32_t shiftedBit(uint32_t base, int by)
{
    if (by < 0 || by >= 32)
        return 0;
    uint64_t value = static_cast<uint64_t>(base) << by;
    return value > 0xffffffffu ? 0 : static_cast<uint32_t>(value);
}

// Boards with one LED, the address LED, that also shows the first port.
bool singleLedBoard(uint32_t board)
{
    return board == 209 || board == 212 || board == 271 || board == 283;
}

// Boards whose port LEDs are pairs of bits counted from bit 0.
bool pairedLedBoard(uint32_t board)
{
    return board == 248 || board == 254 || board == 262 || board == 267;
}

// As the paired boards, but the first pair belongs to the board itself.
bool shiftedPairedLedBoard(uint32_t board)
{
    return board == 253 || board == 263;
}

PortLedBits pairedBits(uint32_t board, int pair, uint32_t available)
{
    uint32_t first = bitAt(2 * pair);
    if (board == 267 && first == 4)
        first = 2;
    uint32_t second = bitAt(2 * pair + 1);
    return {first & available, second & available};
}

} // namespace

PortLedBits portLedBits(uint32_t board, int port, uint32_t available)
{
    if (port < 0)
        return {0, 0};
    if (singleLedBoard(board))
        return {port == 0 ? kLedAddress : 0u, 0};
    if (pairedLedBoard(board))
        return pairedBits(board, port, available);
    if (shiftedPairedLedBoard(board))
        return pairedBits(board, port + 1, available);
    return {shiftedBit(0x100, port), shiftedBit(0x10000, port)};
}
