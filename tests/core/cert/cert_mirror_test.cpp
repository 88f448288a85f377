#include "core/cert/cert_files.h"

#include "support/sd_card_fixture.h"

#include <gtest/gtest.h>

namespace {

using namespace sdtest;

class CertMirrorTest : public SdCardFixture {};

} // namespace

TEST_F(CertMirrorTest, MirrorCertsLeavesOutTheSelfSignedPair)
{
    for (const char* name : {"cert_pkey.pem", "cert_srv.pem", "cert_fpkey.pem", "cert_fsrv.pem", "cert_rcert.pem",
                             "cert_root.pem", "1a2b3c4d.0", "abcdefgh.0", "12345678.1", "short.0", "123456789.0"})
        root.writeFile(std::string("/flash/") + name, name);
    ASSERT_EQ(mirrorCertsToSdCard(), 1);
    std::set<std::string> expected = {"cert_fpkey.pem", "cert_fsrv.pem", "cert_rcert.pem", "cert_root.pem",
                                      "1a2b3c4d.0", "abcdefgh.0", "TB-0102.log"};
    EXPECT_EQ(filesIn(path("/var/slot1")), expected);
    EXPECT_EQ(readAll(path("/var/slot1/1a2b3c4d.0")), "1a2b3c4d.0");
}

TEST_F(CertMirrorTest, MirrorCertsWithoutSyncOrCard)
{
    root.writeFile("/flash/cert_root.pem", "ROOT CA");
    params::autoSync()->setValue(0);
    EXPECT_EQ(mirrorCertsToSdCard(), 1) << "nothing to do counts as done";
    EXPECT_TRUE(fs::is_empty(path("/var/slot1")));

    params::autoSync()->setValue(1);
    setSdCardState(kSdCardRemoved);
    EXPECT_EQ(mirrorCertsToSdCard(), 0) << "a file that could not be mirrored";

    fs::remove(path("/flash/cert_root.pem"));
    EXPECT_EQ(mirrorCertsToSdCard(), 1) << "no files, nothing failed";
}
