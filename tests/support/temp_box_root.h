// A temporary box root for tests: a fresh directory named by WEV_ROOT, with
// a helper to write files into it. Removed again (with everything in it) when
// the object goes. support/product_record.h gives it a product record.
#pragma once

#include "platform/files/root_path.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TempBoxRoot {
public:
    TempBoxRoot()
    {
        char pattern[] = "/tmp/wev-root-XXXXXX";
        const char* made = mkdtemp(pattern);
        dir_ = made ? made : "";
        setenv("WEV_ROOT", dir_.c_str(), 1);
        reloadRootPrefixForTest();
    }
    ~TempBoxRoot()
    {
        unsetenv("WEV_ROOT");
        reloadRootPrefixForTest();
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }
    TempBoxRoot(const TempBoxRoot&) = delete;
    TempBoxRoot& operator=(const TempBoxRoot&) = delete;

    const std::string& dir() const { return dir_; }
    bool ok() const { return !dir_.empty(); }

    // Writes a file under the root (the box path, e.g. "/conf.d/product_params").
    void writeFile(const std::string& boxFile, const std::string& content) const
    {
        std::filesystem::path path = dir_ + boxFile;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }

private:
    std::string dir_;
};
