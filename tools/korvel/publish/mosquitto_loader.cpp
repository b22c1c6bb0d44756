// libmosquitto, opened when the publisher first uses it rather than linked:
// loading it (and the OpenSSL it brings) costs every other subcommand's
// start-up several milliseconds. The functions below stand in for
// libmosquitto's own under the same names, so the broker link calls them as
// usual; a function the link starts to use needs one line here and one in
// the table (the build's link step names any that is missing).
#include <mosquitto.h>


#include "core/failure.h"
#include "core/system_library.h"

namespace korvel::cli::publish {
namespace {

#define KORVEL_MOSQUITTO_FUNCTIONS(X)                                                                  \
    X(mosquitto_lib_init) X(mosquitto_lib_cleanup) X(mosquitto_new) X(mosquitto_destroy)                \
    X(mosquitto_connect_callback_set) X(mosquitto_disconnect_callback_set)                              \
    X(mosquitto_publish_callback_set) X(mosquitto_max_inflight_messages_set)                            \
    X(mosquitto_username_pw_set) X(mosquitto_will_set) X(mosquitto_tls_set) X(mosquitto_connect_async)  \
    X(mosquitto_disconnect) X(mosquitto_publish) X(mosquitto_strerror) X(mosquitto_connack_string)      \
    X(mosquitto_socket) X(mosquitto_loop_misc) X(mosquitto_want_write) X(mosquitto_loop)                \
    X(mosquitto_reconnect_async)

struct Api {
#define KORVEL_POINTER(name) decltype(&::name) name = nullptr;
    KORVEL_MOSQUITTO_FUNCTIONS(KORVEL_POINTER)
#undef KORVEL_POINTER
};

// Loaded once; a missing library fails every use with the same sentence.
const Api& api() {
    static Api table;
    static const SystemSymbol symbols[] = {
#define KORVEL_SYMBOL(name) {#name, &table.name},
        KORVEL_MOSQUITTO_FUNCTIONS(KORVEL_SYMBOL)
#undef KORVEL_SYMBOL
        {nullptr, nullptr}};
    static LibraryOnDemand library({"libmosquitto.so.1", "libmosquitto1", "KORVEL_MOSQUITTO_LIBRARY", symbols},
                                   "korvel publish");
    if (!library.error().empty()) throw Failure(kExitMeterError, library.error());
    return table;
}

}  // namespace
}  // namespace korvel::cli::publish

using korvel::cli::publish::api;

int mosquitto_lib_init(void) { return api().mosquitto_lib_init(); }
int mosquitto_lib_cleanup(void) { return api().mosquitto_lib_cleanup(); }
struct mosquitto* mosquitto_new(const char* id, bool clean, void* obj) { return api().mosquitto_new(id, clean, obj); }
void mosquitto_destroy(struct mosquitto* m) { api().mosquitto_destroy(m); }
void mosquitto_connect_callback_set(struct mosquitto* m, void (*f)(struct mosquitto*, void*, int)) {
    api().mosquitto_connect_callback_set(m, f);
}
void mosquitto_disconnect_callback_set(struct mosquitto* m, void (*f)(struct mosquitto*, void*, int)) {
    api().mosquitto_disconnect_callback_set(m, f);
}
void mosquitto_publish_callback_set(struct mosquitto* m, void (*f)(struct mosquitto*, void*, int)) {
    api().mosquitto_publish_callback_set(m, f);
}
int mosquitto_max_inflight_messages_set(struct mosquitto* m, unsigned int most) {
    return api().mosquitto_max_inflight_messages_set(m, most);
}
int mosquitto_username_pw_set(struct mosquitto* m, const char* user, const char* password) {
    return api().mosquitto_username_pw_set(m, user, password);
}
int mosquitto_will_set(struct mosquitto* m, const char* topic, int length, const void* payload, int qos, bool retain) {
    return api().mosquitto_will_set(m, topic, length, payload, qos, retain);
}
int mosquitto_tls_set(struct mosquitto* m, const char* cafile, const char* capath, const char* certfile,
                      const char* keyfile, int (*password)(char*, int, int, void*)) {
    return api().mosquitto_tls_set(m, cafile, capath, certfile, keyfile, password);
}
int mosquitto_connect_async(struct mosquitto* m, const char* host, int port, int keepalive) {
    return api().mosquitto_connect_async(m, host, port, keepalive);
}
int mosquitto_disconnect(struct mosquitto* m) { return api().mosquitto_disconnect(m); }
int mosquitto_publish(struct mosquitto* m, int* mid, const char* topic, int length, const void* payload, int qos,
                      bool retain) {
    return api().mosquitto_publish(m, mid, topic, length, payload, qos, retain);
}
const char* mosquitto_strerror(int code) { return api().mosquitto_strerror(code); }
const char* mosquitto_connack_string(int code) { return api().mosquitto_connack_string(code); }
int mosquitto_socket(struct mosquitto* m) { return api().mosquitto_socket(m); }
int mosquitto_loop_misc(struct mosquitto* m) { return api().mosquitto_loop_misc(m); }
bool mosquitto_want_write(struct mosquitto* m) { return api().mosquitto_want_write(m); }
int mosquitto_loop(struct mosquitto* m, int timeout, int most) { return api().mosquitto_loop(m, timeout, most); }
int mosquitto_reconnect_async(struct mosquitto* m) { return api().mosquitto_reconnect_async(m); }
