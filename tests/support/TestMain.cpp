// main() of every test executable: a private network namespace first, then
// GoogleTest.
#include "NetNamespace.hh"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (!yvk::test::enterPrivateNetNamespace()) {
        std::fprintf(stderr, "warning: no private network namespace (needs CAP_SYS_ADMIN); "
                             "tests that would change the network set-up are skipped\n");
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
