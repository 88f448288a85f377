// Port access control and the device list: which listener sees a port,
// which ports a client must prove a port key for, which vendor:product pairs
// a port accepts, which ports require TLS, and the two requests that apply
// these rules (device list, opcode 29; port status, opcode 26).
//
// Missing parameters (a model without access control hides them) leave a
// port unrestricted, except the id filter, which then refuses, and the VLAN
// binding to a VLAN whose id is missing, which then shows the port on the
// untagged listener only.
//
// Every function here is safe on any session thread at once: the crypt and
// digest answers are computed into the caller's buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usbserver/usb_protocol.h"

struct UsbPollRecord;

// The port is shown only to clients that prove its key: mode "key" or
// "keyids" and a key that is not empty.
bool portNeedsKey(int port);
// The expected answers for a session nonce; 0 when the port needs no key,
// else 1 with out filled (11 crypt characters, or the 20-byte SHA-1).
int portKeyCrypt(int port, uint32_t nonce, char out[kUsbCryptAnswerSize]);
int portKeySha1(int port, uint32_t nonce, uint8_t out[kUsbDigestAnswerSize]);
// 1 when the port may be listed to a client that sent list with nonce.
int checkPortKey(int port, uint32_t nonce, const UsbKeyList& list);

// The listener the session came in on shows the port (`zyt_2vlan_<port>`).
bool isPortOnVlan(int port, const UsbPollRecord* session);
// The access filter lets the row's device be used on the port (modes "ids"
// and "keyids": its vendor:product must be listed in `zyt_vendprodIDs_<port>`).
bool isPortAccessAllowed(int row, int port);
bool isVendProdAllowed(int row, int port);
// The port's id list names the pair, for a reader that holds a copy of a
// row's ids.
bool isVendProdListed(int idVendor, int idProduct, int port);
bool isPortTlsOnly(int port);
bool isPortPreReset(int port);
// Port 1 of the card-reader model while its reader reports no card.
bool isCardReaderHidden(int port);

// The owner record {3, 4, 0, 0, 0, a, b, c, d} of a connected row whose
// owner is an IPv4 client (an IPv4-mapped IPv6 peer counts); the record's
// size (9), or 0.
int getOwnerAddress(int row, uint8_t* out, size_t size);

// Opcode 29 (the device list) and opcode 26 (port status): request handlers
// of the dispatcher (usb_dispatch.h).
int handleDeviceList(UsbPollRecord* session, const UsbRequestHeader* request);
int handlePortStatus(UsbPollRecord* session, const UsbRequestHeader* request);
