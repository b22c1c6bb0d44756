// One open meter connection of the tool.
#pragma once

#include <string>

#include "core/identification.h"
#include "core/library.h"

namespace korvel::cli {

// One open meter connection; closes it when destroyed.
class Meter {
public:
    Meter(const Api& api, MeterHandle handle, std::string identification);
    Meter(Meter&& other) noexcept;
    Meter& operator=(Meter&& other) noexcept;
    Meter(const Meter&) = delete;
    Meter& operator=(const Meter&) = delete;
    ~Meter();

    MeterHandle handle() const { return handle_; }
    const std::string& identification() const { return identification_; }
    std::string serial() const { return serialOf(identification_); }
    // Set once a command found the connection lost (the handle is dead then).
    bool lost() const { return lost_; }
    void markLost() { lost_ = true; }

    // Sends one SCPI line; returns the reply (empty when there is none).
    // A reply that shows the connection lost marks the meter lost.
    std::string scpi(const std::string& line);
    // One reading; false (and the meter marked lost) when the exchange failed.
    bool reading(MeterReading* out);
    // Like scpi() for the tool's own queries: throws Failure when the
    // connection is lost.
    std::string query(const std::string& line);

    void close();

private:
    const Api* api_;
    MeterHandle handle_;
    std::string identification_;
    bool lost_ = false;
};

}  // namespace korvel::cli
