#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "core/addr/mac_address.h"
#include "core/net/net_interface.h"

namespace {

constexpr size_t kArpFrameBytes = 42;

void put16(uint8_t* p, uint16_t hostValue)
{
    const uint16_t v = htons(hostValue);
    std::memcpy(p, &v, 2);
}

// An ARP reply that announces address as ours to every station.
void buildAnnouncement(uint8_t frame[kArpFrameBytes], const uint8_t mac[kMacBytes], uint32_t address)
{
    std::memset(frame, 0xff, 6);
    std::memcpy(frame + 6, mac, kMacBytes);
    put16(frame + 12, ETH_P_ARP);
    put16(frame + 14, 1);  // Ethernet
    put16(frame + 16, ETH_P_IP);
    frame[18] = 6;
    frame[19] = 4;
    put16(frame + 20, 2);  // reply
    std::memcpy(frame + 22, mac, kMacBytes);
    std::memcpy(frame + 28, &address, 4);
    std::memset(frame + 32, 0xff, 6);
    std::memcpy(frame + 38, &address, 4);
}

}  // namespace

int NetInterface::sendGratuitousArp(const SockAddr& address)
{
    uint8_t mac[kMacBytes];
    readInterfaceMac(mac, "eth0");
    uint8_t own[kMacBytes];
    if (readMac(own))
        macCopy(mac, own);

    // The old packet socket kind takes the device name in the address and
    // sends the frame exactly as given.
    const int fd = socket(AF_INET, SOCK_PACKET | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0) {
        perror("Raw Socket");
        return 0;
    }
    sockaddr device{};
    device.sa_family = AF_INET;
    const size_t nameLength = std::strlen(name_);
    std::memcpy(device.sa_data, name_, nameLength < sizeof(device.sa_data) ? nameLength : sizeof(device.sa_data));
    if (bind(fd, &device, sizeof(device)) != 0) {
        perror("bind");
        close(fd);
        return 0;
    }
    uint8_t frame[kArpFrameBytes];
    buildAnnouncement(frame, mac, address.ipv4Value());
    const ssize_t sent = sendto(fd, frame, sizeof(frame), 0, &device, sizeof(device));
    close(fd);
    return sent == static_cast<ssize_t>(sizeof(frame)) ? 1 : 0;
}
