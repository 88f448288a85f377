#include "services/mdns/mdns_reader.h"

#include <cstring>
#include <strings.h>

namespace {

constexpr int kMaxJumps = 128;

int sign(int v)
{
    return v > 0 ? 1 : (v < 0 ? -1 : 0);
}

} // namespace

uint16_t MdnsReader::get16(int offset) const
{
    if (offset < 0 || offset + 2 > len_)
        return 0;
    return static_cast<uint16_t>(msg_[offset] << 8 | msg_[offset + 1]);
}

uint32_t MdnsReader::get32(int offset) const
{
    return static_cast<uint32_t>(get16(offset)) << 16 | get16(offset + 2);
}

int MdnsReader::readName(int offset, DnsName* name) const
{
    DnsName scratch;
    DnsName& out = name ? *name : scratch;
    out.count = 0;
    int pos = offset;
    int after = -1;
    int jumps = 0;
    int total = 0;
    for (;;) {
        if (pos < kDnsHeaderSize || pos >= len_)
            return -1;
        const uint8_t b = msg_[pos];
        if ((b & 0xC0) == 0xC0) {
            if (pos + 2 > len_)
                return -1;
            const int target = (b & 0x3F) << 8 | msg_[pos + 1];
            if (after < 0)
                after = pos + 2;
            // Only backwards, and not into the header: a pointer cannot
            // reach itself, and the jump count ends any chain through labels.
            if (target < kDnsHeaderSize || target >= pos || ++jumps > kMaxJumps)
                return -1;
            pos = target;
            continue;
        }
        if (b & 0xC0)
            return -1;  // extended or reserved label type
        if (b == 0)
            return after < 0 ? pos + 1 : after;
        if (pos + 1 + b > len_)
            return -1;
        total += b + 1;
        if (total + 1 > kDnsMaxName)
            return -1;
        out.at[out.count] = static_cast<uint16_t>(pos + 1);
        out.length[out.count] = b;
        ++out.count;
        pos += 1 + b;
    }
}

bool MdnsReader::labelIs(const DnsName& name, int i, const char* text) const
{
    const size_t n = strlen(text);
    return i < name.count && name.length[i] == n
           && strncasecmp(reinterpret_cast<const char*>(msg_ + name.at[i]), text, n) == 0;
}

int MdnsReader::matchName(const DnsName& name, const MdnsServiceRow* rows, int rowCount, const MdnsNames& names,
                          bool* browse) const
{
    *browse = false;
    const int n = name.count;
    if (n == 2 && names.hostLabel[0] && labelIs(name, 0, names.hostLabel) && labelIs(name, 1, "local"))
        return kMdnsHostRow;
    if (n < 3 || n > 4 || !labelIs(name, n - 2, "_tcp") || !labelIs(name, n - 1, "local"))
        return -1;
    if (n == 4 && (!names.instanceName[0] || !labelIs(name, 0, names.instanceName)))
        return -1;
    for (int row = 0; row < rowCount; ++row) {
        if (labelIs(name, n - 3, rows[row].type)) {
            *browse = n == 3;
            return row;
        }
    }
    return -1;
}

int MdnsReader::parseRecord(int offset, int section, const MdnsServiceRow* rows, int rowCount,
                            const MdnsNames& names, MdnsRecordView* out) const
{
    DnsName name;
    int pos = readName(offset, &name);
    if (pos < 0 || pos + 4 > len_)
        return -1;
    *out = MdnsRecordView();
    out->row = matchName(name, rows, rowCount, names, &out->browse);
    out->type = get16(pos);
    out->rrclass = get16(pos + 2);
    pos += 4;
    if (section == 0)
        return pos;
    if (pos + 6 > len_)
        return -1;
    out->ttl = get32(pos);
    out->rdlength = get16(pos + 4);
    out->rdata = pos + 6;
    if (out->rdata + out->rdlength > len_)
        return -1;
    return out->rdata + out->rdlength;
}

int MdnsReader::compareSrv(const MdnsRecordView& srv, uint16_t ownPort, const char* hostLabel) const
{
    if (srv.rdlength < 6)
        return kSrvUnreadable;
    if (get16(srv.rdata) != 0 || get16(srv.rdata + 2) != 0)
        return 1;
    const uint16_t port = get16(srv.rdata + 4);
    if (port != ownPort)
        return port > ownPort ? 1 : -1;
    DnsName target;
    if (readName(srv.rdata + 6, &target) < 0)
        return kSrvUnreadable;
    if (target.count == 2 && labelIs(target, 0, hostLabel) && labelIs(target, 1, "local"))
        return 0;
    const int own = static_cast<int>(strlen(hostLabel));
    const int theirs = target.count > 0 ? target.length[0] : 0;
    if (theirs != own)
        return theirs > own ? 1 : -1;
    return sign(memcmp(msg_ + target.at[0], hostLabel, static_cast<size_t>(own)));
}
