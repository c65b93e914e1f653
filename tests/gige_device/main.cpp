#include "LibrarySetup.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qxtest::prepareLibraryInTempDir();
    return RUN_ALL_TESTS();
}
