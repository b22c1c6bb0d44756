// The connection to the MQTT broker, driven by the publisher's own loop (no
// network thread): wait() sleeps in poll() on the broker's socket and a
// wake-up descriptor until the broker sends something (acknowledgements),
// the socket takes more, a reader spooled a record (notify()) or at most
// `most`; it reconnects with a backoff (1 s, 2 s, 3 s ... up to 30 s) and
// reports what the broker acknowledged. The last will marks the meter(s)
// offline if this program goes away without saying so. One thread uses the
// link; only notify() and wake() may come from any thread.
//
// Two kinds, one behaviour: mqtt:// is our own client (publish/
// mqtt_socket_link.h), which writes a batch of messages in one system call
// and reads many acknowledgements in one; mqtts:// is libmosquitto's
// (publish/mosquitto_link.h), for its TLS.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace korvel::cli::publish {

struct BrokerAddress {
    std::string host;
    int port = 1883;
    bool tls = false;
};

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (1883 and 8883 by default).
// Throws Failure(kExitUsage) with what is wrong.
BrokerAddress parseBrokerUrl(const std::string& url);

struct LinkOptions {
    BrokerAddress broker;
    std::string clientId;
    std::string username;
    std::string password;
    std::string cafile, cert, key;  // TLS
    std::string willTopic;
    std::string willPayload;
    int keepalive = 30;
};

class MqttLink {
public:
    using Clock = std::chrono::steady_clock;

    // The link for the broker's scheme, connecting; throws Failure when the
    // options cannot be used (a TLS file that cannot be read, a client id
    // too long, ...). A broker that is not there yet is no failure: wait()
    // tries again.
    static std::unique_ptr<MqttLink> open(const LinkOptions& options);
    virtual ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    bool connected() const { return connected_.load(); }
    // Counts the connections made; a change means in-flight messages may be lost.
    unsigned connections() const { return connections_.load(); }
    // Set when the broker refused the user name or password (no use retrying).
    bool refused(std::string* why) const;
    // Why the link is down: the first connection attempt's error, then the
    // reason of the last disconnection ("" while none is known).
    std::string downReason() const;

    // Queues a message; its id, or -1 when it could not be queued (no
    // connection, or too much is waiting for the socket: try again later).
    virtual int publish(const std::string& topic, std::string_view payload, int qos, bool retain) = 0;
    // Ids of the messages the broker acknowledged (QoS 1) or that were sent (QoS 0).
    void takeAcknowledged(std::deque<int>* out);
    // A clean goodbye (no last will): what is queued goes out first, for a second at most.
    virtual void disconnect() = 0;

    // Wakes wait() from any thread (a record was spooled). Cheap when called
    // often: one write per wake-up, however many notifications came; none
    // while the loop said it needs none (wakeOnRecords(false)).
    void notify();
    // Whether notify() wakes the loop. The loop turns it off while messages
    // are in flight (their acknowledgements wake it, and it takes the new
    // records then, in one batch), and on before it looks for records.
    void wakeOnRecords(bool wake) { wakeOnRecords_.store(wake); }
    // Wakes wait() from any thread, always.
    void wake();
    // Waits for the broker's socket, a notify() or `most`, then does the
    // link's reading, writing, keepalive and reconnection.
    void wait(std::chrono::milliseconds most);

protected:
    MqttLink();

    // What wait() polls: the socket (-1 while there is none), its events,
    // and when the link next needs a turn without any (keepalive, a
    // handshake's deadline; max(): never).
    struct Watch {
        int socket = -1;
        short events = 0;
        Clock::time_point due = Clock::time_point::max();
    };
    // Before the poll: writes what is queued, and says what to watch.
    virtual Watch prepare(Clock::time_point now) = 0;
    // After the poll, with the socket's events (0: none, or a timeout).
    virtual void service(short revents, Clock::time_point now) = 0;
    // Starts a connection attempt; false and why when it failed at once.
    virtual bool attempt(std::string* why) = 0;
    // Whether a connection (or an attempt) is under way.
    virtual bool active() const = 0;

    // Called by the kinds as things happen.
    void startFirstAttempt();
    void connectionMade();
    void connectionDown(const std::string& why);
    void connectionRefused(const std::string& why);
    void acknowledged(int mid);
    bool refusalKnown() const;

private:
    void retryWhenDue(Clock::time_point now);

    int wake_ = -1;  // eventfd
    std::atomic<bool> notified_{false};
    std::atomic<bool> wakeOnRecords_{true};
    Clock::time_point nextAttempt_{};
    int retries_ = 0;  // failed attempts since the last connection
    std::atomic<bool> connected_{false};
    std::atomic<unsigned> connections_{0};
    mutable std::mutex mutex_;
    std::deque<int> acknowledged_;
    std::string refusal_;
    std::string downReason_;
};

}  // namespace korvel::cli::publish
