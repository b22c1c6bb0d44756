// libavahi-client (and the libdbus under it), opened when serve first
// announces itself rather than linked, so no other subcommand loads it at
// start. The functions below stand in for Avahi's own under the same names,
// so the announcer calls them as usual; a function it starts to use needs
// one line here and one in the table (the link step names any missing).
#include "serve/avahi_loader.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>


#include "core/failure.h"
#include "core/system_library.h"

namespace korvel::cli::serve {
namespace {

#define KORVEL_AVAHI_FUNCTIONS(X)                                                                       \
    X(avahi_threaded_poll_new) X(avahi_threaded_poll_free) X(avahi_threaded_poll_get)                   \
    X(avahi_threaded_poll_start) X(avahi_threaded_poll_stop) X(avahi_threaded_poll_lock)                 \
    X(avahi_threaded_poll_unlock) X(avahi_client_new) X(avahi_client_free) X(avahi_client_errno)        \
    X(avahi_entry_group_new) X(avahi_entry_group_add_service_strlst) X(avahi_entry_group_commit)         \
    X(avahi_strerror) X(avahi_string_list_add) X(avahi_string_list_free)

struct Api {
#define KORVEL_POINTER(name) decltype(&::name) name = nullptr;
    KORVEL_AVAHI_FUNCTIONS(KORVEL_POINTER)
#undef KORVEL_POINTER
};

Api table;

const std::string& loadError() {
    // avahi-common's functions are found through the client library's dependencies.
    static const SystemSymbol symbols[] = {
#define KORVEL_SYMBOL(name) {#name, &table.name},
        KORVEL_AVAHI_FUNCTIONS(KORVEL_SYMBOL)
#undef KORVEL_SYMBOL
        {nullptr, nullptr}};
    static LibraryOnDemand library({"libavahi-client.so.3", "libavahi-client3", "KORVEL_AVAHI_LIBRARY", symbols},
                                   "korvel serve");
    return library.error();
}

// Only reached after openAvahi() said yes; a slip would fail loudly, not crash.
const Api& api() {
    if (!loadError().empty()) throw Failure(kExitMeterError, loadError());
    return table;
}

}  // namespace

std::string openAvahi() { return loadError(); }

}  // namespace korvel::cli::serve

using korvel::cli::serve::api;

AvahiThreadedPoll* avahi_threaded_poll_new(void) { return api().avahi_threaded_poll_new(); }
void avahi_threaded_poll_free(AvahiThreadedPoll* p) { api().avahi_threaded_poll_free(p); }
const AvahiPoll* avahi_threaded_poll_get(AvahiThreadedPoll* p) { return api().avahi_threaded_poll_get(p); }
int avahi_threaded_poll_start(AvahiThreadedPoll* p) { return api().avahi_threaded_poll_start(p); }
int avahi_threaded_poll_stop(AvahiThreadedPoll* p) { return api().avahi_threaded_poll_stop(p); }
void avahi_threaded_poll_lock(AvahiThreadedPoll* p) { api().avahi_threaded_poll_lock(p); }
void avahi_threaded_poll_unlock(AvahiThreadedPoll* p) { api().avahi_threaded_poll_unlock(p); }
AvahiClient* avahi_client_new(const AvahiPoll* poll, AvahiClientFlags flags, AvahiClientCallback callback,
                              void* data, int* error) {
    return api().avahi_client_new(poll, flags, callback, data, error);
}
void avahi_client_free(AvahiClient* client) { api().avahi_client_free(client); }
int avahi_client_errno(AvahiClient* client) { return api().avahi_client_errno(client); }
AvahiEntryGroup* avahi_entry_group_new(AvahiClient* client, AvahiEntryGroupCallback callback, void* data) {
    return api().avahi_entry_group_new(client, callback, data);
}
int avahi_entry_group_add_service_strlst(AvahiEntryGroup* group, AvahiIfIndex interface, AvahiProtocol protocol,
                                         AvahiPublishFlags flags, const char* name, const char* type,
                                         const char* domain, const char* host, uint16_t port,
                                         AvahiStringList* text) {
    return api().avahi_entry_group_add_service_strlst(group, interface, protocol, flags, name, type, domain, host,
                                                      port, text);
}
int avahi_entry_group_commit(AvahiEntryGroup* group) { return api().avahi_entry_group_commit(group); }
const char* avahi_strerror(int error) { return api().avahi_strerror(error); }
AvahiStringList* avahi_string_list_add(AvahiStringList* list, const char* text) {
    return api().avahi_string_list_add(list, text);
}
void avahi_string_list_free(AvahiStringList* list) { api().avahi_string_list_free(list); }
