// The network side of `korvel serve`: one poll() loop that accepts clients,
// moves their bytes and hands their lines to the meter's worker. It never
// waits for the meter, and every client is bounded in bytes and in time.
//
// Per client: one fixed line buffer, a few lines at the meter at a time (a
// client that sends ahead keeps the meter busy; its lines are answered in
// order), a reply queue that stops the client's own lines when it does not
// read. A line once begun must end within
// --line-timeout, and replies must be taken within it too, or the client is
// dropped. A full server closes its longest-idle client (idle for a second
// or more) to make room; when none is idle, newcomers wait in the listen
// queue until a client leaves.
//
// A client found gone (reset, or both directions shut) loses the lines it
// still had waiting: they never reach the meter. Replies the kernel still
// holds for a client that does not read count as not taken. When the
// process runs out of descriptors, the listener rests for a moment instead
// of waking the loop at once again, and a descriptor kept in reserve lets
// each newcomer meanwhile be told "too many clients" and closed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "serve/connection_log.h"
#include "serve/line_buffer.h"
#include "serve/meter_worker.h"
#include "serve/options.h"

namespace korvel::cli::serve {

class Server {
public:
    Server(const ServeOptions& options, MeterWorker& worker, int listener, int wakeRead);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    // Serves until SIGINT or SIGTERM.
    void run();
    // Clients connected now (read from any thread).
    int clientCount() const { return connected_.load(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Client {
        std::uint64_t id = 0;
        int fd = -1;
        std::string peer;
        LineBuffer input;
        std::string output;
        int atMeter = 0;          // its lines with the meter's worker (answered in order)
        bool endOfInput = false;  // the client half-closed
        bool lineBegun = false;
        Clock::time_point lineStart;     // when the line in progress began
        Clock::time_point lastActivity;  // bytes in or out, a reply
        Clock::time_point outputSince;   // when the unsent replies last moved
        int kernelQueued = 0;     // reply bytes the kernel holds, not yet taken by the peer
        bool logged = true;       // its lines are in the log (see ConnectionLog)
    };

    int pollTimeout(Clock::time_point now) const;
    bool full() const;
    Client* longestIdle(Clock::time_point now) const;
    void acceptClients();
    void outOfDescriptors(int error);
    void checkKernelQueues(Clock::time_point now);
    void transfer(Client& client, short revents);
    void flush(Client& client);
    void deliverDone();
    void executeRound();
    bool takeLine(Client& client);
    bool handleLine(Client& client, const std::string& line, bool connected);
    void reply(Client& client, const std::string& text);
    void enforceTimeouts();
    void closeClient(Client& client, const std::string& why);
    void removeClosed();
    Client* find(std::uint64_t id);

    const ServeOptions& options_;
    MeterWorker& worker_;
    const ExchangeMode mode_;
    int listener_;
    int wakeRead_;
    std::vector<std::unique_ptr<Client>> clients_;
    std::vector<MeterWorker::Done> done_;
    std::atomic<int> connected_{0};
    std::size_t nextFirst_ = 0;
    ConnectionLog connections_;
    int reserve_ = -1;                  // spent to turn a newcomer away when out of descriptors
    Clock::time_point listenAgain_{};   // the listener rests until then (out of descriptors)
    bool exhausted_ = false;            // in an episode of running out of descriptors
    std::uint64_t turnedAway_ = 0;      // newcomers told "too many clients" in this episode
};

}  // namespace korvel::cli::serve
