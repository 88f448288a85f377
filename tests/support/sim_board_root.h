// A temporary box root for the simulated board: the board type handed in as
// the board device hands it in before it opens the board, and access to the
// files through which a test drives the board and reads it back.
#pragma once

#include "platform/board/board_driver.h"
#include "support/temp_box_root.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace boardtest {

class SimBoardRoot : public TempBoxRoot {
public:
    // A root whose board type is handed in by whoever opens the board.
    SimBoardRoot() { EXPECT_TRUE(ok()); }
    // A root whose board is used without a board device to hand its type in.
    explicit SimBoardRoot(uint32_t board) : SimBoardRoot() { simBoardDriverOps.setUp(BoardDriverSetup{board}); }
    // The next test starts from a board that nobody described, as a fresh
    // process would.
    ~SimBoardRoot() { simBoardDriverOps.setUp(BoardDriverSetup{}); }

    std::string path(const std::string& rel) const { return dir() + rel; }

    // An input file of the simulated board.
    void setSim(const std::string& name, const std::string& text) const
    {
        mkdir((dir() + "/dev").c_str(), 0755);
        mkdir((dir() + "/dev/gpio.sim").c_str(), 0755);
        std::ofstream f(dir() + "/dev/gpio.sim/" + name);
        f << text;
    }
    void removeSim(const std::string& name) const { unlink((dir() + "/dev/gpio.sim/" + name).c_str()); }

    // One value of the simulated board's state file ("" when missing).
    std::string state(const std::string& key) const
    {
        std::ifstream f(dir() + "/dev/gpio.sim/state");
        std::string line;
        while (std::getline(f, line)) {
            if (line.compare(0, key.size() + 1, key + "=") == 0)
                return line.substr(key.size() + 1);
        }
        return "";
    }
    uint32_t stateNumber(const std::string& key) const
    {
        return static_cast<uint32_t>(strtoul(state(key).c_str(), nullptr, 0));
    }
};

} // namespace boardtest
