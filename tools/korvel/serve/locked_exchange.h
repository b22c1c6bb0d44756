// A client's line while another client holds the meter's lock: queries
// that change nothing still run; commands that would change the meter are
// refused into the client's own error queue, and :SYST:ERR?, *ESR? and
// *CLS answer from that queue, so the holder's queue on the meter is never
// read or cleared by anyone else.
#pragma once

#include <deque>
#include <string>

#include "serve/line_exchange.h"

namespace korvel::cli::serve {

// The error number a refusal under the lock posts (SCPI "command protected").
inline constexpr int kCommandProtected = -203;

class OwnErrors {
public:
    void post(int code);
    // The oldest error as the meter writes it ("-203, COMMAND PROTECTED"),
    // "0, NO ERROR" when none is left.
    std::string next();
    // The standard event status register's bits for the errors posted since
    // the last read, and clears them.
    int takeEvents();
    // Removes and returns the oldest error number.
    int take();
    // *OPC: every command before it is complete.
    void complete();
    void clear();
    bool empty() const { return codes_.empty(); }
    // Neither errors nor event bits are left.
    bool idle() const { return codes_.empty() && events_ == 0; }

private:
    static constexpr std::size_t kDepth = 10;
    std::deque<int> codes_;
    int events_ = 0;
};

// Like exchangeLine for a client that does not hold the lock.
bool exchangeLocked(MeterPort& meter, const std::string& line, ExchangeMode mode, LocalAnswers& answers,
                    OwnErrors& errors, std::string* response);

}  // namespace korvel::cli::serve
