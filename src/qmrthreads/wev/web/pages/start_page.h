// The start page: the box's serial number, its supply and link lights, the
// SD card's name and the USB port table; an administrator (or anyone while
// there are no logins) may take a port's devices from their clients.
#pragma once

#include <cstdint>

class HttpConnection;
class TemplateVars;

// "disconnect=<port>": the port's devices are taken from their clients
// when the visitor is an administrator and the port exists; else nothing.
// true when the disconnect was made.
bool handlePortDisconnect(HttpConnection& connection);

// "LeftPow", "RightPow" ("green" or "red"), and on models without the relay
// "LeftLink", "RightLink". supplyBits: the board's supply inputs (bit 0
// input 1 present, bit 1 input 2 present), read on relay models;
// displayFlags: the display's state flags (0x1 input 1 missing, 0x2 input 2
// missing) and linkMask the PHYs with link, read on the others.
void setPowerAndLinkLights(TemplateVars& vars, bool relayModel, uint32_t supplyBits, uint32_t displayFlags,
                           int linkMask);

int startPage(HttpConnection& connection);
