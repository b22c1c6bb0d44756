// The broker link over libmosquitto, for mqtts:// (its TLS, with the
// system's or the given CA certificates and an optional client
// certificate). libmosquitto is driven from the link's own loop: no network
// thread of its own.
#pragma once

#include "publish/mqtt_link.h"

struct mosquitto;

namespace korvel::cli::publish {

class MosquittoLink final : public MqttLink {
public:
    // Throws Failure when libmosquitto cannot be opened or refuses a setting.
    explicit MosquittoLink(const LinkOptions& options);
    ~MosquittoLink() override;

    int publish(const std::string& topic, std::string_view payload, int qos, bool retain) override;
    void disconnect() override;

protected:
    Watch prepare(Clock::time_point now) override;
    void service(short revents, Clock::time_point now) override;
    bool attempt(std::string* why) override;
    bool active() const override;

private:
    static void onConnect(struct mosquitto*, void* self, int code);
    static void onDisconnect(struct mosquitto*, void* self, int code);
    static void onPublish(struct mosquitto*, void* self, int mid);

    struct mosquitto* client_ = nullptr;
    LinkOptions options_;
    bool started_ = false;  // connect_async once, reconnect_async after
};

}  // namespace korvel::cli::publish
