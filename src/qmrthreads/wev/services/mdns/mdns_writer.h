// MdnsWriter: writes the responder's messages. Records go into up to eight
// buffers, each sent as one datagram with its own 12-byte header; names are
// compressed within a buffer. A buffer is closed once it has passed 1200
// bytes, and a message carries at most 8092 bytes of records: what does not
// fit is not sent.
#pragma once

#include <sys/uio.h>

#include <cstdint>

#include "services/mdns/mdns_records.h"

// Kinds of message the responder sends.
enum MdnsMessageKind : int {
    kMdnsImmediateAnswer = 1,
    kMdnsLegacyReply = 2,
    kMdnsAnnouncement = 3,
    kMdnsHostProbe = 4,
    kMdnsServiceProbe = 5,
    kMdnsGoodbye = 6,
    kMdnsAnswer = 7,
};

// Flags of writeRecords.
enum : int {
    kWriteQuestion = 0x01,     // name, TYPE and CLASS only; the row bits are kept
    kWriteCacheFlush = 0x02,   // CLASS with the cache-flush bit, except PTR
    kWriteCollect = 0x04,      // note the records an answer needs in the additional section
    kWriteGoodbye = 0x08,      // TTL 0
    kWriteImmediate = 0x10,    // skip browse rows, leave PTR out
    kWriteKeepBits = 0x20,     // the row bits are kept after writing
    kWriteAdditional = 0x40,   // the additional pass
};

// Sections of a message.
enum : int { kSectionQuestion = 0, kSectionAnswer = 1, kSectionAuthority = 2, kSectionAdditional = 3 };

constexpr int kMdnsBufferCount = 8;
constexpr int kMdnsBufferFill = 1200;
constexpr int kMdnsRecordLimit = 8092;
// Room for the largest record beyond the limit, which is checked before a
// record is begun.
constexpr int kMdnsAreaSize = kMdnsRecordLimit + 1024;

struct MdnsBuffer {
    uint16_t counts[4] = {0, 0, 0, 0};  // QD, AN, NS, AR
    char* data = nullptr;
    int length = 0;
};

class MdnsWriter {
public:
    MdnsWriter(MdnsServiceRow* rows, int rowCount);
    MdnsWriter(const MdnsWriter&) = delete;
    MdnsWriter& operator=(const MdnsWriter&) = delete;

    // Builds one message of a kind; the names are those in use. Returns the
    // index of the last buffer used, -1 when nothing was written.
    int build(int kind, const MdnsNames& names);

    // The 12-byte header of buffer i: ID, flags (TC on every buffer but the
    // last), the buffer's counts.
    void header(int i, int last, uint16_t id, uint16_t flags, uint8_t out[kDnsHeaderSize]) const;
    const MdnsBuffer& buffer(int i) const { return buffers_[i]; }
    // The header flags of a kind (the legacy reply's include the query's).
    static uint16_t flagsFor(int kind, uint16_t queryFlags);

    // Set when a PTR record was written (an answer for a delayed question
    // went out).
    bool ptrWritten = false;

    // The steps of a message, public for the tests.
    void begin(const MdnsNames& names);
    int writeName(char* dst, uint8_t kind, int row);
    int writeAddressRecord(char* dst, int flags);
    // Returns the buffer in use at the end, -1 when the buffers ran out.
    int writeRecords(int bufferIndex, int section, int flags);

private:
    bool rowActive(int row) const;
    void resetCompression(char* bufferStart);
    int writeLabelNoted(char* dst, int entry, const char* text);
    int writeLocal(char* dst);
    int writeServiceType(char* dst, int row);
    bool beginRecord(int* bufferIndex);
    int writeRecord(char* dst, uint8_t bit, int row, int flags);
    int written() const;
    void closeBuffer(int i);

    MdnsServiceRow* rows_;
    int rowCount_;
    MdnsNames names_;
    MdnsBuffer buffers_[kMdnsBufferCount];
    char* cursor_ = nullptr;
    bool full_ = false;
    char* compressionBase_ = nullptr;
    uint16_t compression_[12];
    char area_[kMdnsAreaSize];
};

// Writes text as one label of at most 63 bytes; returns the bytes written.
int dnsWriteLabel(char* dst, const char* text);
