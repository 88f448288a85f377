// Network tests run in network namespaces of their own: each fixture enters
// a fresh, empty namespace (this process is root there), builds its veth
// pair and stand-in VLAN devices with `ip`, and reads the result back with
// the system's own tools. Nothing is ever configured in the host's
// namespace: when a private namespace cannot be made, the test is skipped.
#pragma once

#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/shell_command.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include "support/missing_requirement.h"

namespace netns {

inline ino_t namespaceInode()
{
    struct stat st {};
    if (stat("/proc/thread-self/ns/net", &st) != 0)
        return 0;
    return st.st_ino;
}

// Moves the calling thread (and every process and thread it starts
// afterwards) into a new, empty network namespace. true when it did.
inline bool enterFresh()
{
    const ino_t before = namespaceInode();
    if (before == 0 || unshare(CLONE_NEWNET) != 0)
        return false;
    return namespaceInode() != before;
}

// Output of a shell command (standard error joined), and its exit status.
using Result = ShellResult;

inline Result run(const std::string& command)
{
    return runShell(command);
}

inline std::string out(const std::string& command)
{
    return run(command).out;
}

// Fails the current test when a set-up command fails.
inline void must(const std::string& command)
{
    const Result r = run(command);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.out;
}

}  // namespace netns

// A fresh namespace with the box's "eth0" joined by a veth pair to "veth0",
// the peer's end, up and without an address (an address of the peer's would
// be a local one here, and no gateway).
class PrivateNetnsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!netns::enterFresh())
            SKIP_UNLESS_CI("no private network namespace (needs root)");
        netns::must("ip link set lo up");
        netns::must("ip link add eth0 type veth peer name veth0");
        netns::must("ip link set eth0 address 02:7e:51:0a:0b:0c");
        netns::must("ip link set veth0 up");
    }

    // A stand-in VLAN device of the kind the harness makes.
    static void makeVlanStandIn(int id)
    {
        netns::must("ip link add link eth0 name eth0." + std::to_string(id) + " type macvlan mode bridge");
    }
};
