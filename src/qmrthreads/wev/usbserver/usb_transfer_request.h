// The body of a transfer request (opcode 8) and the ownership test that
// every device operation makes before it acts on a row.
#pragma once

#include <cstddef>
#include <cstdint>

struct UsbPollRecord;

constexpr size_t kUsbTransferBodySize = 12;

struct UsbTransferRequest {
    uint8_t row = 0;
    uint8_t port = 0;
    uint8_t endpoint = 0;    // bit 7 set: IN
    uint8_t type = 0;        // 0 isochronous, 1 interrupt, 2 control, 3 bulk
    uint32_t inLength = 0;
    uint32_t outLength = 0;  // bytes that follow the body (control: setup packet included)
};

void decodeUsbTransferRequest(const uint8_t in[kUsbTransferBodySize], UsbTransferRequest* out);
void encodeUsbTransferRequest(const UsbTransferRequest& request, uint8_t out[kUsbTransferBodySize]);

// The row is connected and this session owns it.
bool isRowOwnedBy(int row, const UsbPollRecord* session);
// The row is connected to some other session: the session may not act on it.
bool isRowOwnedByOther(int row, const UsbPollRecord* session);
