#include "serve/dns_sd.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/error.h>
#include <avahi-common/thread-watch.h>
#include <net/if.h>

#include "serve/avahi_loader.h"
#include "serve/log.h"

namespace korvel::cli::serve {

struct DnsSd::State {
    std::vector<Announcement> announcements;
    AvahiIfIndex interface = AVAHI_IF_UNSPEC;
    AvahiThreadedPoll* poll = nullptr;
    AvahiClient* client = nullptr;
    AvahiEntryGroup* group = nullptr;
    bool reported = false;  // a failure is logged once

    void report(const std::string& what) {
        if (reported) return;
        reported = true;
        log("DNS-SD: " + what);
    }

    // Called on Avahi's thread (or in avahi_client_new) whenever the daemon's state changes.
    void changed(AvahiClient* c, AvahiClientState state) {
        client = c;
        if (state == AVAHI_CLIENT_S_RUNNING && group == nullptr) publish();
        if (state == AVAHI_CLIENT_FAILURE) report(std::string("the Avahi daemon went away (") +
                                                  avahi_strerror(avahi_client_errno(c)) + "); not announced");
    }

    void publish() {
        group = avahi_entry_group_new(client, nullptr, nullptr);
        if (group == nullptr) return report("cannot announce: " + std::string(avahi_strerror(avahi_client_errno(client))));
        for (const Announcement& a : announcements) {
            AvahiStringList* text = nullptr;
            for (const std::string& record : a.text) text = avahi_string_list_add(text, record.c_str());
            const int error = avahi_entry_group_add_service_strlst(group, interface, AVAHI_PROTO_UNSPEC,
                                                                   AvahiPublishFlags(0), a.name.c_str(), a.type.c_str(),
                                                                   nullptr, nullptr, static_cast<uint16_t>(a.port), text);
            avahi_string_list_free(text);
            if (error < 0) return report("cannot announce " + a.type + " \"" + a.name + "\": " + avahi_strerror(error));
        }
        if (const int error = avahi_entry_group_commit(group); error < 0)
            return report(std::string("cannot announce: ") + avahi_strerror(error));
        log("DNS-SD: announced " + std::to_string(announcements.size()) + " services through Avahi");
    }
};

namespace {

void clientChanged(AvahiClient* client, AvahiClientState state, void* data) {
    static_cast<DnsSd::State*>(data)->changed(client, state);
}

}  // namespace

DnsSd::DnsSd(std::vector<Announcement> announcements, bool loopbackOnly) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.announcements = std::move(announcements);
    if (loopbackOnly) s.interface = static_cast<AvahiIfIndex>(if_nametoindex("lo"));
    if (const std::string why = openAvahi(); !why.empty()) {
        s.report("off: " + why);
        return;
    }
    s.poll = avahi_threaded_poll_new();
    if (s.poll == nullptr) {
        s.report("off: cannot start Avahi's thread");
        return;
    }
    int error = 0;
    // Made under the poll's lock: its callback may run before this returns.
    avahi_threaded_poll_lock(s.poll);
    s.client = avahi_client_new(avahi_threaded_poll_get(s.poll), AvahiClientFlags(0), clientChanged, &s, &error);
    avahi_threaded_poll_unlock(s.poll);
    if (s.client == nullptr) {
        s.report(std::string("off: no Avahi daemon answers (") + avahi_strerror(error) +
                 "); the server is not announced on the network");
        return;
    }
    avahi_threaded_poll_start(s.poll);
}

DnsSd::~DnsSd() {
    State& s = *state_;
    if (s.poll == nullptr) return;
    avahi_threaded_poll_stop(s.poll);
    if (s.client != nullptr) avahi_client_free(s.client);  // frees its entry group too
    avahi_threaded_poll_free(s.poll);
}

}  // namespace korvel::cli::serve
