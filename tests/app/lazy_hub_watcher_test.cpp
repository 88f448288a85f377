#include "lazy_hub_watcher.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "core/net/net_interface.h"
#include "core/params/param_handles.h"
#include "core/task/task.h"
#include "services/mdns/bonjour_task.h"
#include "support/connection_net_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

class HubWatcher : public BoxNetTest {
protected:
    void SetUp() override
    {
        BoxNetTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        useProduct(root_, "product_id=1\nusb_ports_phy=4\ndevice_types=UUUU\ndefault_name=BOX-01\n");
        params_.set(params::ip_addr(), kBoxAddress);
        setCurrentInterface(&iface_);
    }
    void TearDown() override
    {
        const int id = bonjourTaskId();
        if (id > 0) {
            TaskMessage stop{0, MSG_STOP, 0, 0};
            postToTaskId(id, &stop);
        }
        BoxNetTest::TearDown();
        setCurrentInterface(nullptr);
    }
    bool networkChange()
    {
        TaskMessage changed{0, MSG_NETWORK_CHANGED, 0, 0};
        watcher_.onMessage(&changed);
        return watcher_.handleNetworkChange();
    }
    static bool responderRuns()
    {
        const auto until = Clock::now() + std::chrono::seconds(5);
        while (bonjourTaskId() == -1 && Clock::now() < until)
            usleep(1000);
        return bonjourTaskId() != -1;
    }

    LazyHubWatcher watcher_;
};

TEST_F(HubWatcher, ANetworkChangeStartsTheResponderOnlyWhenNoneRunsAndItIsOn)
{
    params_.set(params::bonjour(), "off");
    EXPECT_FALSE(watcher_.handleNetworkChange()) << "nothing changed yet";
    ASSERT_TRUE(networkChange());
    EXPECT_EQ(bonjourTaskId(), -1) << "off: no responder";

    params_.set(params::bonjour(), "on");
    ASSERT_TRUE(networkChange());
    ASSERT_TRUE(responderRuns());
    const int first = bonjourTaskId();
    const int tasks = countRegisteredTasks();

    ASSERT_TRUE(networkChange());
    EXPECT_EQ(countRegisteredTasks(), tasks) << "no second responder beside the running one";
    EXPECT_EQ(bonjourTaskId(), first);
}

} // namespace
