// The VXI-11 core channel (TCPIP0::HOST::instN::INSTR) on a poll() loop of
// its own thread, beside the socket port's loop. ONC RPC records are read
// and written here and decoded with rpcgen's XDR routines; no RPC
// dispatcher runs, so a device_read waiting for the meter holds only its
// own connection's reply while every other link goes on.
//
// Each link speaks the IEEE 488.2 message exchange of the socket port
// through its meter's worker: a message ends with the END flag of
// device_write (its line ends split it into lines); each answered line is
// one response message, its last byte (the line feed) carrying END.
// device_lock takes the meter's lock for the link; others' operations then
// wait for it up to their lock_timeout when they set the wait-lock flag,
// or fail at once with error 11. A lock dies with its link, and a link with
// its connection. The abort channel is the same port (program 0x0607B0);
// no interrupt channel is offered. On the optional port mapper listener
// the loop also answers GETPORT (program 100000 version 2) for the core.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "serve/door.h"
#include "serve/options.h"
#include "serve/vxi11/rpc_record.h"

namespace korvel::cli::serve::vxi11 {

class Vxi11Server {
public:
    // Listeners are bound and listening; mapper may be -1 (none).
    Vxi11Server(const ServeOptions& options, std::vector<MeterDoor> doors, int core, int corePort, int mapper);
    ~Vxi11Server();
    Vxi11Server(const Vxi11Server&) = delete;
    Vxi11Server& operator=(const Vxi11Server&) = delete;

    void start();
    void stop();
    // Wakes the loop (a worker finished a line); any thread.
    void wake();
    int linkCount() const { return linkCount_.load(); }
    int connectionCount() const { return connectionCount_.load(); }

private:
    using Clock = std::chrono::steady_clock;
    enum class Waiting { Nothing, Read, Write, Lock, CreateLink, ReadStb, Generic };
    // A call answered later: a read waiting for a response, an operation
    // waiting for the lock, the status byte waiting for the meter.
    struct Held {
        Waiting what = Waiting::Nothing;
        std::uint32_t xid = 0;
        std::uint32_t proc = 0;
        std::int32_t link = 0;
        Clock::time_point deadline;      // io_timeout (or the lock_timeout alone)
        Clock::time_point lockDeadline;  // when waiting for the lock ends
        bool waitLock = false;
        std::uint32_t requestSize = 0;   // device_read
        int termChar = -1;               // device_read with a termination character
        std::string data;                // device_write
        bool end = false;                // device_write's END flag
        bool submitted = false;          // device_readstb: *STB? is with the meter
    };
    struct Connection {
        std::uint64_t id = 0;
        int fd = -1;
        bool mapper = false;  // the port mapper's listener accepted it
        std::string peer;
        RecordReader input;
        std::string output;
        Held held;
        Clock::time_point lastActivity;
        Clock::time_point recordStart;
        Clock::time_point outputSince;
        explicit Connection(std::size_t maxRecord) : input(maxRecord) {}
    };
    struct Link {
        std::int32_t id = 0;
        std::uint64_t connection = 0;
        std::size_t door = 0;
        std::uint64_t client = 0;     // its id with the meter's worker (and the lock's holder)
        std::uint64_t stbClient = 0;  // the status byte's exchanges
        std::string message;          // a message being written, until its END
        std::string output;           // response bytes not yet read
        int atMeter = 0;              // lines with the worker
        int discard = 0;              // answers to drop (lines from before a device_clear)
        std::optional<int> statusByte;
    };

    void run();
    void accept(int listener, bool mapper);
    void receive(Connection& connection);
    void send(Connection& connection);
    void deliverDone();
    void serveRecords(Connection& connection);
    void answer(Connection& connection, std::string record);
    void call(Connection& connection, const std::string& record);
    std::string mapperCall(std::uint32_t proc, std::uint32_t xid, const std::string& record, unsigned bodyAt);
    std::optional<std::string> coreCall(Connection& connection, std::uint32_t proc, std::uint32_t xid,
                                        const std::string& record, unsigned bodyAt);
    std::string abortCall(std::uint32_t xid, const std::string& record, unsigned bodyAt);
    // The held call's answer when it can be given now (or has timed out).
    std::optional<std::string> progress(Connection& connection, Clock::time_point now);
    std::optional<std::string> tryWrite(Link& link, Held& held, Clock::time_point now);
    std::optional<std::string> tryRead(Link& link, Held& held, Clock::time_point now);
    std::optional<std::string> tryReadStb(Link& link, Held& held, Clock::time_point now);
    std::optional<std::string> tryLock(Link& link, Held& held, Clock::time_point now);
    std::optional<std::string> tryCreate(Link& link, Held& held, Clock::time_point now);
    std::optional<std::string> tryGeneric(Link& link, Held& held, Clock::time_point now);
    // The held call's answer with a VXI-11 error, in the reply its
    // procedure has.
    std::string failHeld(const Held& held, int error);
    // Whether a link may act on its meter now; *error is set when it may
    // not and must not wait.
    bool lockAllows(const Link& link, const Held& held, Clock::time_point now, int* error) const;
    void submitMessage(Link& link);
    void clearLink(Link& link);
    void destroyLink(std::int32_t id);
    void closeConnection(Connection& connection, const std::string& why);
    void enforceTimeouts(Clock::time_point now);
    int pollTimeout(Clock::time_point now) const;
    Link* findLink(std::int32_t id);
    Connection* findConnection(std::uint64_t id);

    const ServeOptions& options_;
    const std::vector<MeterDoor> doors_;
    const int core_;
    const int corePort_;
    const int mapper_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::vector<std::unique_ptr<Connection>> connections_;
    std::map<std::int32_t, Link> links_;
    std::int32_t nextLink_ = 1;
    std::uint64_t nextConnection_ = 1;
    std::atomic<int> linkCount_{0};
    std::atomic<int> connectionCount_{0};
    std::thread thread_;
};

}  // namespace korvel::cli::serve::vxi11
