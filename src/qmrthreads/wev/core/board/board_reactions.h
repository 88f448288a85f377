// The board's own reactions to what happens elsewhere: parameter changes
// (port power, the relay and the display codes that follow their switches),
// the beginning of the stop sequence ("RS" on the display) and a new
// address of the box (its LED pattern).
#pragma once

struct SockAddr;

// Registers them with the parameter store and the shut-down; start-up calls
// it once.
void registerBoardReactions();

// The extended driver's LEDs say whether the box has a routable address
// (pattern A) or a link-local one or none (pattern B). The interface calls
// this with its lock held, so it takes only the board's own lock.
void showAddressOnLeds(const SockAddr& address);
