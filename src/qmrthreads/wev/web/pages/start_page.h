// The start page: one row per physical USB port with its device and the
// client that uses it.
#pragma once

class HttpConnection;

// Variables per port N (1 .. ports): "UPortN", "UClassN" (empty, present,
// connected), "UStateN" (the state in words), "UDeviceN", "UOwnerN"; and
// "UPort#", the number of ports.
int startPage(HttpConnection& connection);

// Gives the pages of this folder their rows of the page table.
void registerFirstPages();
