#include <linux/ethtool.h>
#include <linux/mii.h>
#include <linux/sockios.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/net/net_interface.h"
#include "core/product/product_info.h"

namespace {

constexpr int kMiiControl = 0;
constexpr int kMiiPhyStatus = 17;  // PHY-specific status register
constexpr uint16_t kMiiLoopback = 0x4000;
constexpr uint16_t kPhyStatusLink = 0x400;
// This model has no PHY the program may read; it always reports link.
constexpr uint32_t kProductAlwaysLinked = 357;
// This model has a second PHY at address 0.
constexpr uint32_t kProductTwoPhys = 353;

pthread_mutex_t phyMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<MiiAccess> miiFake{nullptr};
std::atomic<bool> carrierNoticeShown{false};

}  // namespace

bool tryLockPhy()
{
    return pthread_mutex_trylock(&phyMutex) == 0;
}

void unlockPhy()
{
    pthread_mutex_unlock(&phyMutex);
}

void setMiiAccessForTest(MiiAccess access)
{
    miiFake.store(access);
}

int NetInterface::phyRegister(bool write, int phy, int reg, uint16_t* value)
{
    if (MiiAccess fake = miiFake.load())
        return fake(*this, write, phy, reg, value);
    ifreq req{};
    if (std::strlen(name_) == 0)
        return 0;
    std::memcpy(req.ifr_name, name_, std::strlen(name_));
    auto* mii = reinterpret_cast<mii_ioctl_data*>(&req.ifr_ifru);
    mii->phy_id = static_cast<uint16_t>(phy);
    mii->reg_num = static_cast<uint16_t>(reg);
    mii->val_in = write ? *value : 0;
    if (ioctlLocked(write ? SIOCSMIIREG : SIOCGMIIREG, &req) != 0)
        return 0;
    if (!write)
        *value = mii->val_out;
    return 1;
}

int NetInterface::miiRegister(bool write, int reg, uint16_t* value)
{
    return phyRegister(write, static_cast<int>(productInfo().phy0_addr), reg, value);
}

int NetInterface::probePhy()
{
    while (!tryLockPhy())
        sched_yield();
    uint16_t first = 0;
    uint16_t second = 0;
    int answers = 0;
    if (miiRegister(false, kMiiControl, &first)) {
        uint16_t toggled = first ^ kMiiLoopback;
        if (miiRegister(true, kMiiControl, &toggled)) {
            if (miiRegister(false, kMiiControl, &second)) {
                uint16_t back = second ^ kMiiLoopback;
                miiRegister(true, kMiiControl, &back);
                answers = second != first ? 1 : 0;
            } else {
                // Never leave the PHY in loopback.
                miiRegister(true, kMiiControl, &first);
            }
        }
    }
    unlockPhy();
    return answers;
}

int NetInterface::phyLink(uint32_t phy, bool* link)
{
    uint16_t status = 0;
    if (phyRegister(false, static_cast<int>(phy), kMiiPhyStatus, &status)) {
        *link = (status & kPhyStatusLink) != 0;
        return 1;
    }
    const int err = errno;
    if (!carrier(link))
        return 0;
    if (!carrierNoticeShown.exchange(true))
        fprintf(stderr, "linkStatus: PHY %u of %s cannot be read (%s); the link follows the carrier flag\n", phy,
                name_, strerror(err));
    return 1;
}

// The driver's carrier state; the operational flag when the driver does not
// tell (that one follows the carrier a moment later).
int NetInterface::carrier(bool* on)
{
    ifreq req{};
    const size_t n = std::strlen(name_);
    if (n == 0 || n >= IFNAMSIZ)
        return 0;
    std::memcpy(req.ifr_name, name_, n);
    ethtool_value value{};
    value.cmd = ETHTOOL_GLINK;
    req.ifr_data = reinterpret_cast<char*>(&value);
    if (ioctlLocked(SIOCETHTOOL, &req) == 0) {
        *on = value.data != 0;
        return 1;
    }
    short flags = 0;
    if (!getFlags(&flags, nullptr))
        return 0;
    *on = (flags & IFF_RUNNING) != 0;
    return 1;
}

int NetInterface::linkStatus(int* mask)
{
    const ProductInfo& product = productInfo();
    if (product.product_id == kProductAlwaysLinked)
        return 1;
    // Link polls come from the supervision loop and from parameter side
    // effects; they are short, so a busy lock is waited for by yielding.
    while (!tryLockPhy())
        sched_yield();
    uint32_t bits = 0;
    bool readable = true;
    bool link = false;
    if (phyLink(product.phy0_addr, &link)) {
        if (link && product.phy0_addr < 32)
            bits |= 1u << product.phy0_addr;
    } else {
        readable = false;
    }
    if (readable && product.product_id == kProductTwoPhys) {
        if (!phyLink(0, &link))
            readable = false;
        else if (link)
            bits |= 1u;
    }
    unlockPhy();
    if (!readable)
        bits = 0;
    if (mask)
        *mask = static_cast<int>(bits);
    return bits != 0 ? 1 : 0;
}
