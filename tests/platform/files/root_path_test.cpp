#include "platform/files/root_path.h"

#include <gtest/gtest.h>
#include <cstdlib>

TEST(RootPath, PrefixIsPutInFrontOfEveryBoxPath)
{
    struct Case { const char* root; const char* path; const char* expected; };
    const Case cases[] = {
        {nullptr, "/etc/params.dat", "/etc/params.dat"},
        {"", "/etc/params.dat", "/etc/params.dat"},
        {"/tmp/box", "/etc/params.dat", "/tmp/box/etc/params.dat"},
        {"/tmp/box/", "/dev/gpio", "/tmp/box/dev/gpio"},
        {"/tmp/box//", "/romfs/locale", "/tmp/box/romfs/locale"},
        {"/", "/flash/cert_srv.pem", "/flash/cert_srv.pem"},
    };
    for (const Case& c : cases) {
        if (c.root)
            setenv("WEV_ROOT", c.root, 1);
        else
            unsetenv("WEV_ROOT");
        reloadRootPrefixForTest();
        EXPECT_EQ(boxPath(c.path), c.expected) << (c.root ? c.root : "(unset)");
    }
    unsetenv("WEV_ROOT");
    reloadRootPrefixForTest();
}
