#include <gtest/gtest.h>

#include "usb/HidLocale.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // As every program does at start, so that device strings convert as they do there.
    UseUtf8CharacterType();
    return RUN_ALL_TESTS();
}
