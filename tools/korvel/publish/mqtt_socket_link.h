// The broker link for mqtt://: our own MQTT 3.1.1 client on a non-blocking
// TCP socket. Messages queue in one buffer and go out in as few writes as
// the socket allows; one read takes every acknowledgement that has come.
// (libmosquitto made about five system calls per message: its write, a
// wake-up byte for a network thread we do not run, and three reads per
// acknowledgement.) Bounded: at most kMostQueued bytes wait for the socket,
// packets from the broker longer than the input buffer close the
// connection, and a broker that does not answer the handshake or a ping
// within its time is left and tried again.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "publish/mqtt_link.h"
#include "publish/mqtt_packets.h"

namespace korvel::cli::publish {

class SocketLink final : public MqttLink {
public:
    static constexpr std::size_t kMostQueued = 4 << 20;
    static constexpr std::size_t kInput = 16 * 1024;
    static constexpr std::chrono::seconds kHandshake{10};

    // Throws Failure(kExitUsage) when the client id, user name, password or
    // last will cannot be sent (longer than MQTT allows, a wildcard in the will's topic).
    explicit SocketLink(const LinkOptions& options);
    ~SocketLink() override;

    int publish(const std::string& topic, std::string_view payload, int qos, bool retain) override;
    void disconnect() override;

protected:
    Watch prepare(Clock::time_point now) override;
    void service(short revents, Clock::time_point now) override;
    bool attempt(std::string* why) override;
    bool active() const override { return socket_ >= 0; }

private:
    enum class State { Down, Connecting, Handshake, Up };

    bool connectFrom(std::size_t index, std::string* why);
    void startHandshake(Clock::time_point now);
    void close(const std::string& why);
    void flush();
    void receive();
    void take(const mqtt::Packet& packet);
    int nextId();

    LinkOptions options_;
    std::string hello_;  // the CONNECT packet, made once
    State state_ = State::Down;
    int socket_ = -1;
    struct Address {
        sockaddr_storage address;
        socklen_t length;
    };
    std::vector<Address> addresses_;  // of this attempt
    std::size_t tried_ = 0;           // the address being tried
    Clock::time_point deadline_{};    // of the handshake
    Clock::time_point lastSent_{};
    Clock::time_point pingSent_{};
    bool pingOutstanding_ = false;

    std::string out_;          // packets queued; out_[sent_] is the next byte to write
    std::size_t sent_ = 0;
    std::uint64_t written_ = 0;  // bytes written in this connection
    std::uint64_t queued_ = 0;   // bytes queued in this connection
    struct Unconfirmed {
        std::uint64_t end;  // queued_ once its packet was queued
        int mid;
    };
    std::deque<Unconfirmed> qos0_;  // QoS 0 messages, done once written
    char in_[kInput];
    std::size_t inUsed_ = 0;
    std::vector<std::uint8_t> busy_ = std::vector<std::uint8_t>(65536, 0);  // ids in use: how
    int lastId_ = 0;
};

}  // namespace korvel::cli::publish
