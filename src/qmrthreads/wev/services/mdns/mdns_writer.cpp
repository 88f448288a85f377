#include "services/mdns/mdns_writer.h"

#include <cstring>

namespace {

// Compression table entries.
constexpr int kEntryInstance = 0;  // + row
constexpr int kEntryType = 4;      // + row
constexpr int kEntryHost = 9;
constexpr int kEntryLocal = 10;
constexpr int kEntryTcp = 11;
constexpr int kCompressionEntries = 12;
constexpr uint16_t kUnknown = 0x8000;

constexpr uint32_t kTtlPtr = 7200;
constexpr uint32_t kTtlOther = 60;

char* put16(char* p, uint16_t v)
{
    p[0] = static_cast<char>(v >> 8);
    p[1] = static_cast<char>(v);
    return p + 2;
}

char* put32(char* p, uint32_t v)
{
    p = put16(p, static_cast<uint16_t>(v >> 16));
    return put16(p, static_cast<uint16_t>(v));
}

uint16_t recordType(uint8_t bit)
{
    switch (bit) {
    case kRecSrv:
        return kDnsTypeSrv;
    case kRecPtr:
        return kDnsTypePtr;
    case kRecTxt:
        return kDnsTypeTxt;
    default:
        return kDnsTypeAny;
    }
}

// Records written by writeRecords, in order; the A bits are only noted.
constexpr uint8_t kRecordOrder[] = {kRecSrv, kRecPtr, kRecTxt, kRecAddress, kRecAnyQuestion, kRecHostAddress};

} // namespace

int dnsWriteLabel(char* dst, const char* text)
{
    // A length byte above 63 would read as a compression pointer or an
    // extended label type: the label is cut instead.
    size_t n = strnlen(text, kDnsMaxLabel);
    dst[0] = static_cast<char>(n);
    memcpy(dst + 1, text, n);
    return static_cast<int>(n) + 1;
}

MdnsWriter::MdnsWriter(MdnsServiceRow* rows, int rowCount)
    : rows_(rows), rowCount_(rowCount < kMdnsMaxRows ? rowCount : kMdnsMaxRows)
{
    begin(MdnsNames());
}

bool MdnsWriter::rowActive(int row) const
{
    return rows_[row].port != 0 && names_.instanceName[0] != '\0';
}

void MdnsWriter::resetCompression(char* bufferStart)
{
    compressionBase_ = bufferStart;
    for (uint16_t& e : compression_)
        e = kUnknown;
}

void MdnsWriter::begin(const MdnsNames& names)
{
    names_ = names;
    for (MdnsBuffer& b : buffers_)
        b = MdnsBuffer();
    buffers_[0].data = area_;
    cursor_ = area_;
    full_ = false;
    ptrWritten = false;
    resetCompression(area_);
}

int MdnsWriter::written() const
{
    return static_cast<int>(cursor_ - area_);
}

// Writes the label and notes where it starts when its entry is unknown;
// else writes a pointer to it (which ends the name). Returns the bytes
// written.
int MdnsWriter::writeLabelNoted(char* dst, int entry, const char* text)
{
    if (compression_[entry] != kUnknown) {
        put16(dst, static_cast<uint16_t>(0xC000 | compression_[entry]));
        return 2;
    }
    compression_[entry] = static_cast<uint16_t>(dst - compressionBase_ + kDnsHeaderSize);
    return dnsWriteLabel(dst, text);
}

int MdnsWriter::writeLocal(char* dst)
{
    const bool known = compression_[kEntryLocal] != kUnknown;
    int n = writeLabelNoted(dst, kEntryLocal, "local");
    if (!known)
        dst[n++] = 0;
    return n;
}

int MdnsWriter::writeServiceType(char* dst, int row)
{
    if (compression_[kEntryType + row] != kUnknown)
        return writeLabelNoted(dst, kEntryType + row, rows_[row].type);
    char* p = dst + writeLabelNoted(dst, kEntryType + row, rows_[row].type);
    if (compression_[kEntryTcp] != kUnknown)
        return static_cast<int>(p - dst) + writeLabelNoted(p, kEntryTcp, "_tcp");
    p += writeLabelNoted(p, kEntryTcp, "_tcp");
    p += writeLocal(p);
    return static_cast<int>(p - dst);
}

int MdnsWriter::writeName(char* dst, uint8_t kind, int row)
{
    char* p = dst;
    if (row == kMdnsHostRow) {
        if (compression_[kEntryHost] != kUnknown)
            return writeLabelNoted(dst, kEntryHost, names_.hostLabel);
        p += writeLabelNoted(p, kEntryHost, names_.hostLabel);
        p += writeLocal(p);
        return static_cast<int>(p - dst);
    }
    if (kind != kRecPtr && names_.instanceName[0] != '\0') {
        if (compression_[kEntryInstance + row] != kUnknown)
            return writeLabelNoted(dst, kEntryInstance + row, names_.instanceName);
        p += writeLabelNoted(p, kEntryInstance + row, names_.instanceName);
    }
    p += writeServiceType(p, row);
    return static_cast<int>(p - dst);
}

int MdnsWriter::writeAddressRecord(char* dst, int flags)
{
    char* p = dst + writeName(dst, 0, kMdnsHostRow);
    p = put16(p, kDnsTypeA);
    if (flags & kWriteQuestion)
        return static_cast<int>(put16(p, kDnsClassIn) - dst);
    p = put16(p, (flags & kWriteCacheFlush) ? (kDnsCacheFlush | kDnsClassIn) : kDnsClassIn);
    p = put32(p, kTtlOther);
    p = put16(p, 4);
    memcpy(p, &names_.address, 4);
    return static_cast<int>(p + 4 - dst);
}

int MdnsWriter::writeRecord(char* dst, uint8_t bit, int row, int flags)
{
    char* p = dst + writeName(dst, bit, row);
    p = put16(p, recordType(bit));
    const bool flush = (flags & kWriteCacheFlush) && bit != kRecPtr;
    p = put16(p, flush ? (kDnsCacheFlush | kDnsClassIn) : kDnsClassIn);
    if (flags & kWriteQuestion)
        return static_cast<int>(p - dst);
    p = put32(p, (flags & kWriteGoodbye) ? 0 : (bit == kRecPtr ? kTtlPtr : kTtlOther));
    char* rdlength = p;
    p += 2;
    char* rdata = p;
    switch (bit) {
    case kRecPtr:
        p += writeName(p, kRecAddress, row);
        ptrWritten = true;
        break;
    case kRecTxt:
        *p++ = 0;
        break;
    case kRecSrv:
        p = put16(p, 0);
        p = put16(p, 0);
        p = put16(p, rows_[row].port);
        p += writeName(p, 0, kMdnsHostRow);
        break;
    default:
        break;
    }
    put16(rdlength, static_cast<uint16_t>(p - rdata));
    return static_cast<int>(p - dst);
}

void MdnsWriter::closeBuffer(int i)
{
    buffers_[i].length = static_cast<int>(cursor_ - buffers_[i].data);
}

// Room for one more record: a full buffer is closed and the next begun with
// compression starting afresh. false when the message is full.
bool MdnsWriter::beginRecord(int* bufferIndex)
{
    if (full_ || written() > kMdnsRecordLimit) {
        full_ = true;
        return false;
    }
    int i = *bufferIndex;
    if (cursor_ - buffers_[i].data <= kMdnsBufferFill)
        return true;
    if (i + 1 >= kMdnsBufferCount) {
        full_ = true;
        return false;
    }
    closeBuffer(i);
    buffers_[i + 1].data = cursor_;
    resetCompression(cursor_);
    *bufferIndex = i + 1;
    return true;
}

int MdnsWriter::writeRecords(int bufferIndex, int section, int flags)
{
    if (flags & kWriteAdditional)
        flags = (flags & ~kWriteCollect) | kWriteKeepBits;
    bool wantAddress = false;
    for (int row = 0; row < rowCount_; ++row) {
        MdnsServiceRow& r = rows_[row];
        if (!rowActive(row))
            continue;
        uint8_t set;
        if (flags & kWriteAdditional) {
            set = r.additional;
        } else {
            set = r.pending;
            r.additional = 0;
        }
        if (set == 0)
            continue;
        if (flags & kWriteImmediate) {
            if (set & kRecBrowse)
                continue;
            set &= static_cast<uint8_t>(~kRecPtr);
        }
        if (!(flags & (kWriteQuestion | kWriteKeepBits)))
            r.clearPending(set);
        for (uint8_t bit : kRecordOrder) {
            if (!(set & bit))
                continue;
            if (bit == kRecAddress || bit == kRecHostAddress) {
                wantAddress = true;
                continue;
            }
            if (!beginRecord(&bufferIndex))
                break;
            buffers_[bufferIndex].counts[section]++;
            cursor_ += writeRecord(cursor_, bit, row, flags);
            if (!(flags & kWriteCollect))
                continue;
            if (bit == kRecPtr)
                r.additional |= static_cast<uint8_t>((kRecSrv | kRecTxt) & ~set);
            if (bit == kRecPtr || bit == kRecSrv)
                rows_[0].additional |= kRecAddress;
        }
    }
    if (wantAddress && beginRecord(&bufferIndex)) {
        buffers_[bufferIndex].counts[section]++;
        cursor_ += writeAddressRecord(cursor_, flags);
        if (flags & kWriteCollect)
            rows_[0].additional &= static_cast<uint8_t>(~kRecAddress);
    }
    closeBuffer(bufferIndex);
    return bufferIndex;
}

int MdnsWriter::build(int kind, const MdnsNames& names)
{
    begin(names);
    int i = 0;
    auto setActive = [&](uint8_t bits, bool add) {
        for (int row = 0; row < rowCount_; ++row) {
            if (rowActive(row))
                rows_[row].pending = add ? static_cast<uint8_t>(rows_[row].pending | bits) : bits;
        }
    };
    switch (kind) {
    case kMdnsImmediateAnswer:
        i = writeRecords(i, kSectionAnswer, kWriteImmediate | kWriteCollect | kWriteCacheFlush);
        i = writeRecords(i, kSectionAdditional, kWriteAdditional | kWriteImmediate | kWriteCollect | kWriteCacheFlush);
        break;
    case kMdnsLegacyReply:
        i = writeRecords(i, kSectionQuestion, kWriteQuestion);
        i = writeRecords(i, kSectionAnswer, kWriteKeepBits | kWriteCollect);
        i = writeRecords(i, kSectionAdditional, kWriteAdditional | kWriteKeepBits | kWriteCollect);
        break;
    case kMdnsAnnouncement:
        setActive(kRecSrv | kRecPtr | kRecTxt | kRecHostAddress, false);
        i = writeRecords(i, kSectionAnswer, kWriteCacheFlush);
        break;
    case kMdnsHostProbe: {
        char* p = cursor_;
        p += writeName(p, 0, kMdnsHostRow);
        p = put16(p, kDnsTypeAny);
        p = put16(p, kDnsClassIn);
        buffers_[0].counts[kSectionQuestion]++;
        p += writeAddressRecord(p, 0);
        buffers_[0].counts[kSectionAuthority]++;
        cursor_ = p;
        closeBuffer(0);
        break;
    }
    case kMdnsServiceProbe:
        setActive(kRecAnyQuestion, true);
        i = writeRecords(i, kSectionQuestion, kWriteQuestion);
        setActive(kRecSrv, false);
        i = writeRecords(i, kSectionAuthority, 0);
        break;
    case kMdnsGoodbye:
        setActive(kRecPtr, false);
        i = writeRecords(i, kSectionAnswer, kWriteCacheFlush | kWriteGoodbye);
        break;
    case kMdnsAnswer:
        i = writeRecords(i, kSectionAnswer, kWriteCollect | kWriteCacheFlush);
        i = writeRecords(i, kSectionAdditional, kWriteAdditional | kWriteCollect | kWriteCacheFlush);
        break;
    default:
        return -1;
    }
    return buffers_[0].length > 0 ? i : -1;
}

uint16_t MdnsWriter::flagsFor(int kind, uint16_t queryFlags)
{
    const uint16_t answer = kDnsFlagResponse | kDnsFlagAuthoritative;
    switch (kind) {
    case kMdnsHostProbe:
    case kMdnsServiceProbe:
        return 0;
    case kMdnsLegacyReply:
        return static_cast<uint16_t>(answer | (queryFlags & ~answer));
    default:
        return answer;
    }
}

void MdnsWriter::header(int i, int last, uint16_t id, uint16_t flags, uint8_t out[kDnsHeaderSize]) const
{
    if (i < last)
        flags |= kDnsFlagTruncated;
    char* p = reinterpret_cast<char*>(out);
    p = put16(p, id);
    p = put16(p, flags);
    for (uint16_t c : buffers_[i].counts)
        p = put16(p, c);
}
