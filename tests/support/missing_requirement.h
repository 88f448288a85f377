// A test that needs something of the machine it runs on (a tool, root, a
// private network namespace, device nodes) that is not there. On a
// developer's machine it is skipped with the reason. In CI (CI=true), which
// runs as root after tools/install-deps.sh has installed every tool, the
// same absence is a failure: a test never counts as passed without having
// run there.
//   if (!havePerl())
//       SKIP_UNLESS_CI("perl is not installed");
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

inline bool ciRequiresEverything()
{
    const char* ci = std::getenv("CI");
    return ci && std::strcmp(ci, "true") == 0;
}

#define SKIP_UNLESS_CI(reason)                                                                 \
    do {                                                                                       \
        const std::string missingRequirement_ = (reason);                                      \
        if (ciRequiresEverything())                                                            \
            GTEST_FAIL() << missingRequirement_ << " (CI=true: tools/install-deps.sh installs " \
                         << "every tool and CI runs as root)";                                  \
        else                                                                                   \
            GTEST_SKIP() << missingRequirement_;                                               \
    } while (0)
