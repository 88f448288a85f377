// libFuzzer target: any datagram handled as an SLP service request and, when
// it is one, answered into a buffer of the reply's size.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "services/slp/slp_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> msg(data, data + size);
    SlpRequest req;
    if (!parseSlpRequest(msg.data(), static_cast<int>(msg.size()), &req))
        return 0;
    decideSlpRequest(req, "BOX-01", 0x0403FEA9, true);
    uint8_t reply[200];
    writeSlpReply(msg.data(), req.name, reply, sizeof reply);
    return 0;
}
