// Readings in a host program that switched to a decimal-comma locale (as Qt
// and GTK programs do with setlocale(LC_ALL, "")): the meter's text keeps its
// decimal point. Its own program, since it changes the process's locale.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <string>

#include "korvel.h"
#include "korvel_sim.h"

namespace korvel {
namespace {

// Switches to a German locale: the system's, or one compiled into a
// temporary folder with localedef (the locale sources come with Debian's
// "locales" package).
bool useCommaLocale(std::string* why) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) return true;
    const auto dir = std::filesystem::temp_directory_path() / ("korvel-locale-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string command = "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' 2>&1";
    if (std::system(command.c_str()) != 0) {
        *why = "localedef could not build de_DE.UTF-8 (is the locales package installed?)";
        return false;
    }
    setenv("LOCPATH", dir.c_str(), 1);
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) {
        *why = "setlocale refused the compiled de_DE.UTF-8";
        return false;
    }
    return true;
}

TEST(CommaLocale, ReadingsAndIdentificationKeepTheirDecimalPoint) {
    std::string why;
    ASSERT_TRUE(useCommaLocale(&why)) << why;
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    ASSERT_STREQ(probe, "1,5") << "the locale in force should write a decimal comma";

    ASSERT_EQ(korvelSimReset(1), 1);
    korvelSimSetLatency(0);  // exchanges answered at once
    ASSERT_EQ(korvelSimSetField(0, 0.01234), 0);
    const MeterHandle h = openKorvel();
    ASSERT_NE(h, 0U);
    char reply[128] = {};
    scpiCommand(h, ":SENS:FLUX:RANG:AUT 0;:UNIT:FLUX:DC:GAUS;:SENS:FLUX:RANG 0", reply, sizeof reply);
    scpiCommand(h, ":MEAS:FLUX?", reply, sizeof reply);
    EXPECT_STREQ(reply, "123.4G");
    scpiCommand(h, ":UNIT:FLUX:DC:TESL;:MEAS:FLUX?", reply, sizeof reply);
    EXPECT_STREQ(reply, "0.01234T");
    scpiCommand(h, "*IDN?", reply, sizeof reply);
    EXPECT_NE(std::string(reply).find("KV0001"), std::string::npos) << reply;
    closeKorvel(h);
    std::setlocale(LC_ALL, "C");
}

}  // namespace
}  // namespace korvel
