#include "publish/mosquitto_link.h"

#include <mosquitto.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

#include "core/failure.h"

namespace korvel::cli::publish {
namespace {

struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
};

void initialiseOnce() { static Library library; }

std::string describe(int code) { return mosquitto_strerror(code); }

}  // namespace

MosquittoLink::MosquittoLink(const LinkOptions& options) : options_(options) {
    initialiseOnce();
    // A clean session: after a reconnection the publisher itself sends again
    // what was not acknowledged, from the spool.
    client_ = mosquitto_new(options.clientId.c_str(), true, this);
    if (client_ == nullptr) throw Failure(kExitMeterError, "cannot start the MQTT client");
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    mosquitto_publish_callback_set(client_, onPublish);
    // The publishers keep their own windows; libmosquitto queues nothing of its own.
    mosquitto_max_inflight_messages_set(client_, 0);
    int code = MOSQ_ERR_SUCCESS;
    if (!options.username.empty())
        code = mosquitto_username_pw_set(client_, options.username.c_str(), options.password.c_str());
    if (code == MOSQ_ERR_SUCCESS && !options.willTopic.empty())
        code = mosquitto_will_set(client_, options.willTopic.c_str(), static_cast<int>(options.willPayload.size()),
                                  options.willPayload.data(), 1, true);
    if (code == MOSQ_ERR_SUCCESS) {
        const char* cafile = options.cafile.empty() ? nullptr : options.cafile.c_str();
        const char* capath = cafile == nullptr ? "/etc/ssl/certs" : nullptr;
        code = mosquitto_tls_set(client_, cafile, capath, options.cert.empty() ? nullptr : options.cert.c_str(),
                                 options.key.empty() ? nullptr : options.key.c_str(), nullptr);
        if (code != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(client_);
            throw Failure(kExitUsage, "TLS settings refused (--cafile, --cert, --key): " + describe(code));
        }
    }
    if (code != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client_);
        throw Failure(kExitUsage, "cannot set up the MQTT client: " + describe(code));
    }
}

MosquittoLink::~MosquittoLink() {
    mosquitto_disconnect(client_);
    mosquitto_destroy(client_);
}

bool MosquittoLink::attempt(std::string* why) {
    const int code = started_ ? mosquitto_reconnect_async(client_)
                              : mosquitto_connect_async(client_, options_.broker.host.c_str(), options_.broker.port,
                                                        options_.keepalive);
    // Only settings libmosquitto refuses are final; a name that does not
    // resolve yet (a service started before the network) is tried again, as
    // over mqtt://.
    if (!started_ && code == MOSQ_ERR_INVAL) throw Failure(kExitUsage, "cannot connect to the broker: " + describe(code));
    started_ = true;
    if (code == MOSQ_ERR_SUCCESS) return true;
    *why = code == MOSQ_ERR_ERRNO ? std::strerror(errno) : describe(code);
    return false;
}

bool MosquittoLink::active() const { return mosquitto_socket(client_) >= 0; }

MqttLink::Watch MosquittoLink::prepare(Clock::time_point) {
    Watch watch;
    watch.socket = mosquitto_socket(client_);
    if (watch.socket >= 0) watch.events = static_cast<short>(POLLIN | (mosquitto_want_write(client_) ? POLLOUT : 0));
    return watch;
}

void MosquittoLink::service(short revents, Clock::time_point) {
    if (mosquitto_socket(client_) < 0) return;
    // mosquitto_loop() with no wait: reads, writes, finishes a TLS
    // handshake, keeps the connection alive, and closes it on an error
    // (onDisconnect tells why).
    if (revents != 0 || mosquitto_want_write(client_))
        mosquitto_loop(client_, 0, 1);
    else
        mosquitto_loop_misc(client_);
}

int MosquittoLink::publish(const std::string& topic, std::string_view payload, int qos, bool retain) {
    int mid = 0;
    const int code = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                       payload.data(), qos, retain);
    return code == MOSQ_ERR_SUCCESS ? mid : -1;
}

void MosquittoLink::disconnect() {
    mosquitto_disconnect(client_);
    // What is still queued, the goodbye last, goes out before the socket closes.
    for (int round = 0; round < 20 && mosquitto_socket(client_) >= 0 && mosquitto_want_write(client_); ++round)
        mosquitto_loop(client_, 50, 1);
}

void MosquittoLink::onConnect(struct mosquitto* client, void* self, int code) {
    auto* link = static_cast<MosquittoLink*>(self);
    if (code == 0) {
        link->connectionMade();
        return;
    }
    // 4: bad user name or password, 5: not authorised. Retrying cannot help.
    if (code == 4 || code == 5) {
        link->connectionRefused(mosquitto_connack_string(code));
        mosquitto_disconnect(client);
    }
}

void MosquittoLink::onDisconnect(struct mosquitto*, void* self, int code) {
    static_cast<MosquittoLink*>(self)->connectionDown(code == 0 ? "disconnected" : describe(code));
}

void MosquittoLink::onPublish(struct mosquitto*, void* self, int mid) { static_cast<MosquittoLink*>(self)->acknowledged(mid); }

}  // namespace korvel::cli::publish
