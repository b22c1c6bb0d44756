// The suite runs inside umockdev's preload: without it libusb-0.1 would look
// at the machine's real (here: absent) USB devices. Started without it, the
// binary starts itself again with it, so ctest and a plain run both work.
#include <gtest/gtest.h>

#include <cstdio>

#include "sim/usbfs/usbfs_cable.h"

int main(int argc, char** argv) {
    if (!korvel::sim::reexecWithUsbfsPreload(argv)) {
        std::perror("cannot restart under libumockdev-preload");
        return 2;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
