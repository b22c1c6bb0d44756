// The connection to the MQTT broker, driven by the publisher's own loop (no
// network thread of libmosquitto's): wait() sleeps in poll() on the
// broker's socket and a wake-up descriptor until the broker sends something
// (acknowledgements), the socket takes more, a reader spooled a record
// (notify()) or at most `most`; it reconnects with a backoff (1 s, 2 s, 3 s
// ... up to 30 s) and reports what the broker acknowledged. The last will
// marks the meter(s) offline if this program goes away without saying so.
// One thread uses the link; only notify() may come from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

struct mosquitto;

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
    // Sets everything up and starts connecting; throws Failure when the
    // options cannot be used (a TLS file that cannot be read, ...).
    explicit MqttLink(const LinkOptions& options);
    ~MqttLink();
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

    // Queues a message; its id, or -1 when it could not be queued.
    int publish(const std::string& topic, std::string_view payload, int qos, bool retain);
    // Ids of the messages the broker acknowledged (QoS 1) or that were sent (QoS 0).
    void takeAcknowledged(std::deque<int>* out);
    // A clean goodbye (no last will).
    void disconnect();

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

private:
    void service(bool socketReady);
    bool refusalKnown() const;

    static void onConnect(struct mosquitto*, void* self, int code);
    static void onDisconnect(struct mosquitto*, void* self, int code);
    static void onPublish(struct mosquitto*, void* self, int mid);

    struct mosquitto* client_ = nullptr;
    int wake_ = -1;  // eventfd
    std::atomic<bool> notified_{false};
    std::atomic<bool> wakeOnRecords_{true};
    std::chrono::steady_clock::time_point nextAttempt_{};
    int retries_ = 0;  // failed attempts since the last connection
    std::atomic<bool> connected_{false};
    std::atomic<unsigned> connections_{0};
    mutable std::mutex mutex_;
    std::deque<int> acknowledged_;
    std::string refusal_;
    std::string downReason_;
};

}  // namespace korvel::cli::publish
