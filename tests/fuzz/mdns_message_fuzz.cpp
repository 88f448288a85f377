// libFuzzer target: any datagram read the way the mDNS responder reads one
// (header, every question and record, their names, SRV data and PTR
// targets). The reader must end on every input without reading outside it.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "services/mdns/mdns_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A copy of exactly the datagram's size, so that any read past it is
    // caught by the address sanitizer.
    std::vector<uint8_t> msg(data, data + size);
    MdnsServiceRow rows[2];
    rows[0].type = "_https";
    rows[0].port = 443;
    rows[1].type = "_http";
    rows[1].port = 80;
    MdnsNames names;
    names.hostLabel = "BOX-01";
    names.instanceName = "VK-4@BOX-01";

    MdnsReader r(msg.data(), static_cast<int>(msg.size()));
    if (!r.hasHeader())
        return 0;
    int pos = kDnsHeaderSize;
    for (int section = 0; section < 3; ++section) {
        for (int i = 0; i < r.count(section); ++i) {
            MdnsRecordView rec;
            pos = r.parseRecord(pos, section, rows, 2, names, &rec);
            if (pos < 0)
                return 0;
            if (section == 0 || rec.row < 0)
                continue;
            if (rec.type == kDnsTypeSrv && rec.row < kMdnsHostRow)
                r.compareSrv(rec, rows[rec.row].port, names.hostLabel);
            if (rec.type == kDnsTypePtr) {
                DnsName target;
                bool browse;
                if (r.readName(rec.rdata, &target) >= 0)
                    r.matchName(target, rows, 2, names, &browse);
            }
        }
    }
    return 0;
}
