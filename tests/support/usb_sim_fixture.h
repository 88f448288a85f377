// A fresh simulated USB host in a temporary box root for each test, with
// helpers to plug devices, open them through the seam and move URBs.
#pragma once

#include "support/temp_box_root.h"
#include "platform/usbfs/sim/usb_sim.h"
#include "platform/usbfs/usbfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// One URB record with its own buffer, as a caller of usbfs keeps them.
struct TestUrb {
    std::vector<uint8_t> buffer;
    usbdevfs_urb urb{};  // last: the kernel's record ends in a flexible array
};

class UsbSimTest : public ::testing::Test {
public:
    void SetUp() override
    {
        ASSERT_TRUE(root_.ok());
        ops().setUp(UsbfsSetup{});
        usbsim::resetForTest();
    }

    void TearDown() override { usbsim::resetForTest(); }

    // Plugs a device ("loopback at=1-1.2 serial=X"); its name.
    std::string plug(const std::string& args)
    {
        std::string answer = usbsim::command("plug " + args);
        EXPECT_EQ(answer.compare(0, 3, "ok "), 0) << answer;
        return answer.size() > 3 ? answer.substr(3) : "";
    }

    std::string sysfsPath(const std::string& name, const std::string& attribute) const
    {
        return boxPath("/sys/bus/usb/devices/" + name + "/" + attribute);
    }

    std::string sysfsText(const std::string& name, const std::string& attribute) const
    {
        std::ifstream in(sysfsPath(name, attribute), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string nodePath(const std::string& name) const
    {
        int bus = atoi(sysfsText(name, "busnum").c_str());
        int devnum = atoi(sysfsText(name, "devnum").c_str());
        char path[64];
        snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", bus, devnum);
        return boxPath(path);
    }

    int openDevice(const std::string& name, int flags = O_RDWR)
    {
        return ops().open(nodePath(name).c_str(), flags);
    }

    static const UsbfsOps& ops() { return simUsbfsOps; }

    // 0 or the errno of a request.
    static int request(int fd, unsigned long code, void* arg)
    {
        return ops().ioctl(fd, code, arg) == 0 ? 0 : errno;
    }

    static int claim(int fd, unsigned number) { return request(fd, USBDEVFS_CLAIMINTERFACE, &number); }

    // Submits u with its buffer as it stands.
    static int send(int fd, TestUrb& u, uint8_t type, uint8_t endpoint)
    {
        u.urb = usbdevfs_urb{};
        u.urb.type = type;
        u.urb.endpoint = endpoint;
        u.urb.buffer = u.buffer.empty() ? nullptr : u.buffer.data();
        u.urb.buffer_length = static_cast<int>(u.buffer.size());
        u.urb.usercontext = &u;
        return request(fd, USBDEVFS_SUBMITURB, &u.urb);
    }

    static int submit(int fd, TestUrb& u, uint8_t type, uint8_t endpoint, size_t length, uint8_t fill = 0)
    {
        u.buffer.assign(length, fill);
        return send(fd, u, type, endpoint);
    }

    static int submitOut(int fd, TestUrb& u, uint8_t endpoint, const std::string& data,
                         uint8_t type = USBDEVFS_URB_TYPE_BULK)
    {
        u.buffer.assign(data.begin(), data.end());
        return send(fd, u, type, endpoint);
    }

    // The next completion without waiting, or nullptr with the errno in *err.
    static TestUrb* reap(int fd, int* err = nullptr)
    {
        void* done = nullptr;
        int e = request(fd, USBDEVFS_REAPURBNDELAY, &done);
        if (err)
            *err = e;
        return e ? nullptr : static_cast<TestUrb*>(static_cast<usbdevfs_urb*>(done)->usercontext);
    }

    static std::string inData(const TestUrb& u)
    {
        return std::string(u.buffer.begin(), u.buffer.begin() + u.urb.actual_length);
    }

    static usbsim::DeviceCounters counters(const std::string& name)
    {
        usbsim::DeviceCounters c;
        EXPECT_TRUE(usbsim::deviceCounters(name, &c)) << name;
        return c;
    }

protected:
    TempBoxRoot root_;
};
