// korvel publish: the meter's readings to an MQTT broker, none lost: each
// reading goes to an on-disk spool first and leaves it once the broker has
// it (publish/). Topics PREFIX/SERIAL/reading (one JSON record per reading,
// with a sequence number), PREFIX/SERIAL/meta and PREFIX/SERIAL/status
// (retained; "offline" also as the last will).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/acquisition.h"
#include "core/subcommand.h"
#include "core/failure.h"
#include "core/option_values.h"
#include "core/reading.h"
#include "core/run_settings.h"
#include "core/service_status.h"
#include "core/state_dir.h"
#include "core/watchdog.h"
#include "publish/broker_report.h"
#include "publish/meter_run.h"
#include "publish/mqtt_link.h"
#include "publish/publisher.h"
#include "publish/spool.h"
#include "publish/spool_census.h"

namespace korvel::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct PublishOptions {
    std::string broker;
    AcquisitionOptions run;
    std::string topicPrefix = "korvel";
    int qos = 1;
    std::string clientId;
    std::string username;
    std::string passwordFile;
    std::string cafile, cert, key;
    std::string spool;  // "": STATE/spool (core/state_dir.h)
    long long spoolMax = 64LL * 1024 * 1024;
    double flushTimeout = 30;
    double syncInterval = 1;
    RunSettingsOptions settings;
    bool all = false;                 // --all
    std::vector<std::string> meters;  // --meter, repeatable
};

std::string readPassword(const std::string& path) {
    std::ifstream file(path);
    std::string password;
    if (!file || !std::getline(file, password))
        throw Failure(kExitUsage, "--password-file " + path + " cannot be read");
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

// The meta record of the logs (JSON lines), for the retained meta topic.
std::string metaRecord(RunMeta meta) {
    meta.start = std::chrono::system_clock::now();
    std::string record = formatMeta(Format::Jsonl, meta);
    record.pop_back();  // the line feed
    return record;
}

// The spool's folder: --spool, else STATE/spool (created). A spool left in
// ./korvel-spool by an earlier version is told about and left alone.
std::string spoolFolder(const std::string& chosen) {
    if (!chosen.empty()) return chosen;
    const std::string folder = stateDirectory() + "/spool";
    if (const int error = makeFolders(folder); error != 0)
        throw Failure(kExitMeterError, "cannot create the spool folder " + folder + ": " + std::strerror(error) +
                                           " (choose one with --spool)");
    if (const std::uint64_t old = publish::unsentRecords("korvel-spool"); old > 0)
        std::fprintf(stderr,
                     "korvel: ./korvel-spool holds %llu unsent reading%s from an earlier run; left as it is "
                     "(--spool ./korvel-spool sends them)\n",
                     static_cast<unsigned long long>(old), old == 1 ? "" : "s");
    return folder;
}

// Every meter found (--all), the serials asked for (--meter, repeated), or
// the one meter the program's options name.
std::vector<Meter> openMeters(Session& session, const PublishOptions& options) {
    if (options.all) {
        std::vector<Meter> found = session.openAll();
        if (found.empty()) session.throwNoMeter();
        return found;
    }
    std::vector<Meter> meters;
    if (options.meters.size() <= 1) {
        meters.push_back(session.open());  // the session's options carry the one serial
        return meters;
    }
    for (std::size_t i = 0; i < options.meters.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (options.meters[i] == options.meters[j])
                throw Failure(kExitUsage, "--meter " + options.meters[i] + " is given twice");
        }
        meters.push_back(session.openSerial(options.meters[i]));
    }
    return meters;
}

// The topic of the last will when several meters share the connection.
std::string processStatusTopic(const std::string& prefix, std::string clientId) {
    for (char& c : clientId) {
        if (c == '/' || c == '+' || c == '#') c = '_';
    }
    return prefix + "/publisher/" + clientId + "/status";
}

std::chrono::milliseconds loopWait(double syncInterval) {
    // The longest sleep of the loop when nothing happens: the spool's flush
    // timer, the watchdog and the broker report need a turn now and then.
    const auto sync = std::chrono::milliseconds(static_cast<long long>(syncInterval * 1000));
    return sync.count() > 0 ? std::min(sync, std::chrono::milliseconds(200)) : std::chrono::milliseconds(200);
}

// Retained "offline" on every status topic the run announced, then waits
// up to `seconds` for the broker to have them.
void announceOffline(publish::MqttLink& broker, const std::vector<std::unique_ptr<publish::MeterRun>>& runs,
                     const std::string& processStatus, double seconds) {
    if (!broker.connected()) return;
    std::vector<int> waiting;
    const auto offline = [&](const std::string& topic) {
        const int mid = broker.publish(topic, "offline", 1, true);
        if (mid >= 0) waiting.push_back(mid);
    };
    for (const auto& run : runs) offline(run->publisher->topics().status);
    if (!processStatus.empty()) offline(processStatus);
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::deque<int> acknowledged;
    while (!waiting.empty() && Clock::now() < end && broker.connected()) {
        broker.wait(std::chrono::milliseconds(50));
        acknowledged.clear();
        broker.takeAcknowledged(&acknowledged);
        for (const int mid : acknowledged) std::erase(waiting, mid);
    }
}

int runPublish(Session& session, const PublishOptions& options, const std::string& commandLine) {
    publish::LinkOptions link;
    link.broker = publish::parseBrokerUrl(options.broker);
    if (!options.passwordFile.empty() && options.username.empty())
        throw Failure(kExitUsage, "--password-file needs --username");
    if (!link.broker.tls && (!options.cafile.empty() || !options.cert.empty() || !options.key.empty()))
        throw Failure(kExitUsage, "--cafile, --cert and --key are for an mqtts:// broker");
    // No topic with a wildcard can be published to; said here in words (libmosquitto's refusal of the last
    // will's topic read "Invalid function arguments provided").
    if (options.topicPrefix.empty() || options.topicPrefix.find_first_of(std::string("+#\0", 3)) != std::string::npos)
        throw Failure(kExitUsage, "--topic-prefix must not be empty nor hold + or # (MQTT's wildcards)");
    if (options.all && !options.meters.empty())
        throw Failure(kExitUsage, "--all publishes every meter found; leave out --meter, or --all");
    link.username = options.username;
    if (!options.passwordFile.empty()) link.password = readPassword(options.passwordFile);
    link.cafile = options.cafile;
    link.cert = options.cert;
    link.key = options.key;

    AcquisitionOptions run = options.run;
    run.settings = settingsOf(options.settings);
    run.continuous = run.count == 0;  // without -n: until stopped
    std::vector<std::unique_ptr<publish::MeterRun>> runs;
    for (Meter& meter : openMeters(session, options))
        runs.push_back(std::make_unique<publish::MeterRun>(std::move(meter)));
    const bool several = runs.size() > 1;
    StopSignals signals({FurtherSignal::Counted});  // a second Ctrl-C stops waiting for the broker
    RunMeta meta;
    meta.version = KORVEL_CLI_VERSION;
    meta.host = hostName();
    meta.command = commandLine;
    ServiceStatus status;  // under systemd: READY, a status line per change
    for (auto& meterRun : runs) {
        meterRun->acquisition = std::make_unique<Acquisition>(session, meterRun->meter, run, signals, meta);
        ServiceRunEvents setUpEvents(status, "publishing");
        meterRun->acquisition->setEvents(&setUpEvents);
        const RunEnd setUp = meterRun->acquisition->setUp();
        meterRun->acquisition->setEvents(nullptr);
        if (setUp != RunEnd::Done)
            throw Failure(kExitMeterError, "the connection to the meter was lost while setting it up");
        meterRun->serial = meterRun->acquisition->serial();
    }
    const std::string firstSerial = runs.front()->serial;
    link.clientId = options.clientId.empty() ? "korvel-" + firstSerial : options.clientId;
    // One connection has one last will. One meter: the will is its status
    // topic. Several: the will is the process's status topic, and each
    // meter's publisher topic names it, so "online" on a meter's status
    // holds while the process's status is "online"; a clean stop sets every
    // status "offline".
    const std::string processStatus = several ? processStatusTopic(options.topicPrefix, link.clientId) : "";
    link.willTopic = several ? processStatus : publish::topicsFor(options.topicPrefix, firstSerial).status;
    link.willPayload = "offline";

    const std::string spoolPath = spoolFolder(options.spool);
    const std::unique_ptr<publish::MqttLink> brokerLink = publish::MqttLink::open(link);
    publish::MqttLink& broker = *brokerLink;
    publish::Owners owners;
    for (auto& meterRun : runs) {
        meterRun->spool = std::make_unique<publish::Spool>(spoolPath, meterRun->serial,
                                                           static_cast<std::uint64_t>(options.spoolMax),
                                                           options.syncInterval);
        publish::Spool& spool = *meterRun->spool;
        for (const std::string& notice : spool.notices()) std::fprintf(stderr, "korvel: %s\n", notice.c_str());
        if (!spool.empty())
            std::fprintf(stderr, "korvel: %s%llu bytes of readings from an earlier run wait in the spool; sent first\n",
                         several ? (meterRun->serial + ": ").c_str() : "",
                         static_cast<unsigned long long>(spool.pendingBytes()));
        meterRun->publisher = std::make_unique<publish::Publisher>(
            broker, spool, meterRun->spoolMutex, publish::topicsFor(options.topicPrefix, meterRun->serial),
            options.qos, metaRecord(meterRun->acquisition->meta()), owners, processStatus);
        meterRun->sink = std::make_unique<publish::SpoolSink>(spool, meterRun->spoolMutex, meterRun->serial, broker);
    }
    const std::string where = link.broker.host + ":" + std::to_string(link.broker.port);
    publish::BrokerReport report(where, spoolPath, static_cast<std::uint64_t>(options.spoolMax), status,
                                 [&broker, &runs](const std::string& line) {
                                     for (const auto& meterRun : runs)
                                         broker.publish(meterRun->publisher->topics().link, line, 1, true);
                                 });
    for (auto& meterRun : runs) {
        publish::MeterRun* const one = meterRun.get();
        one->reader = std::thread([one, &status, &signals, &broker] {
            try {
                ServiceRunEvents events(status, "publishing");  // its watchdog loop ends with the run
                one->acquisition->setEvents(&events);
                one->end = one->acquisition->run(*one->sink);
                one->acquisition->setEvents(nullptr);
            } catch (const std::exception& failure) {
                one->failure = failure.what();  // a setting refused after the meter came back
                signals.stop();
            }
            one->done = true;
            broker.wake();
        });
    }

    std::string refusal;
    bool refused = false;
    bool announcedWait = false;
    unsigned connection = 0;
    Clock::time_point flushEnd{};
    Watchdog::Loop watchdog;
    std::deque<int> acknowledged;
    const auto most = loopWait(options.syncInterval);
    publish::LinkView reported;
    Clock::time_point nextReport{};
    while (true) {
        watchdog.alive();
        acknowledged.clear();
        broker.takeAcknowledged(&acknowledged);
        for (const int mid : acknowledged) {
            if (const auto owner = owners.find(mid); owner != owners.end()) {
                owner->second->acknowledge(mid);
                owners.erase(owner);
            }
        }
        if (broker.connected() && broker.connections() != connection) {
            connection = broker.connections();
            owners.clear();  // what was in flight is sent again
            if (several) broker.publish(processStatus, "online", 1, true);
        }
        bool healthy = true;
        bool readersDone = true;
        bool inFlight = false;
        // On before the spools are looked at: a record spooled after the
        // look wakes the loop, unless an acknowledgement is due anyway.
        broker.wakeOnRecords(true);
        for (auto& meterRun : runs) {
            meterRun->publisher->settle();
            healthy = meterRun->publisher->step() && healthy;
            readersDone = readersDone && meterRun->done;
            inFlight = inFlight || meterRun->publisher->inFlight();
        }
        // While away from the broker, records wait for it in any case.
        if (inFlight || !broker.connected()) broker.wakeOnRecords(false);
        const auto now = Clock::now();
        if (now >= nextReport || broker.connected() != reported.connected ||
            broker.connections() != reported.connections) {
            // The report's view every 50 ms at most, and at once when the link changes.
            nextReport = now + std::chrono::milliseconds(50);
            reported = publish::LinkView{};
            for (auto& meterRun : runs) {
                reported.published += meterRun->publisher->published();
                std::lock_guard lock(meterRun->spoolMutex);
                reported.pendingBytes += meterRun->spool->pendingBytes();
                reported.cut += meterRun->sink->cut();
            }
            reported.connected = broker.connected();
            reported.connections = broker.connections();
            reported.reason = broker.downReason();
            report.update(reported);
        }
        if (broker.refused(&refusal)) {
            refused = true;
            signals.stop();  // ends the readers too
            break;
        }
        if (!healthy) signals.stop();  // a spool failed: stop reading, send what the spools hold
        if (readersDone || signals.stopping()) {
            if (flushEnd == Clock::time_point{})
                flushEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(options.flushTimeout));
            bool idle = true;
            for (auto& meterRun : runs) idle = idle && meterRun->publisher->idle();
            if (idle || Clock::now() >= flushEnd || signals.count() >= 2) break;
            if (!broker.connected() && !announcedWait) {
                std::fprintf(stderr,
                             "korvel: waiting up to %g s for the broker to take the last readings "
                             "(Ctrl-C again: leave them in the spool)\n",
                             options.flushTimeout);
                announcedWait = true;
            }
        }
        broker.wait(most);
    }
    for (auto& meterRun : runs) meterRun->reader.join();
    ServiceNotifier::instance().stopping();
    if (refused)
        throw Failure(kExitMeterError, "the broker refused the connection (" + refusal +
                                           "): check --username and --password-file");
    announceOffline(broker, runs, processStatus, 2.0);
    broker.disconnect();
    std::string failure;
    for (auto& meterRun : runs) {
        std::lock_guard lock(meterRun->spoolMutex);
        publish::Spool& spool = *meterRun->spool;
        spool.save();  // on failure, failure() says why
        const Acquisition& acquisition = *meterRun->acquisition;
        std::fprintf(stderr, "korvel: %s%lld reading%s taken, %llu published",
                     several ? (meterRun->serial + ": ").c_str() : "", acquisition.taken(),
                     acquisition.taken() == 1 ? "" : "s",
                     static_cast<unsigned long long>(meterRun->publisher->published()));
        if (meterRun->sink->cut() > 0)
            std::fprintf(stderr, "; %llu dropped by the full spool (--spool-max)",
                         static_cast<unsigned long long>(meterRun->sink->cut()));
        if (!spool.empty())
            std::fprintf(stderr, "; %llu bytes of readings left in %s for the next run",
                         static_cast<unsigned long long>(spool.pendingBytes()), spoolPath.c_str());
        std::fprintf(stderr, "\n");
        const std::string prefix = several ? meterRun->serial + ": " : "";
        if (!failure.empty()) continue;
        if (!spool.failure().empty())
            failure = prefix + spool.failure();
        else if (!meterRun->failure.empty())
            failure = prefix + meterRun->failure;
        else if (meterRun->end == RunEnd::Lost)
            failure = prefix + "the connection to the meter was lost (--reconnect waits for it)";
    }
    if (!failure.empty()) throw Failure(kExitMeterError, failure);
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli

void add_publish_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    static PublishOptions options;
    CLI::App* sub = addSubcommand(app, context, "publish",
                                  "Publish the meter's readings to an MQTT broker, none lost");
    sub->add_option("--broker", options.broker, "mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)")
        ->type_name("URL")
        ->required();
    options.run.interval = 1.0;
    sub->add_option("--interval", options.run.interval,
                    "Seconds between readings (default 1; 0: as fast as the meter answers)")
        ->type_name("SECONDS")
        ->check(valueCheck("--interval", {ValueRule::Number, 0, 0, false, true, "a number of seconds"}));
    sub->add_option("-n,--count", options.run.count,
                    "Readings to take, then publish the rest and stop (default: until Ctrl-C)")
        ->type_name("N")
        ->check(valueCheck("-n", {ValueRule::Whole, 1, 0, false, true, "a whole number"}));
    sub->add_option("--topic-prefix", options.topicPrefix, "First part of every topic (default korvel)")
        ->type_name("PREFIX");
    sub->add_option("--qos", options.qos, "0 or 1 (default 1: the broker acknowledges every reading)")
        ->check(choiceCheck("--qos", {"0", "1"}));
    sub->add_option("--client-id", options.clientId, "MQTT client id (default korvel-SERIAL)")->type_name("ID");
    sub->add_option("--username", options.username, "User name for the broker")->type_name("NAME");
    sub->add_option("--password-file", options.passwordFile, "File whose first line is the password")
        ->type_name("FILE");
    sub->add_option("--cafile", options.cafile, "CA certificate(s) for mqtts:// (default: the system's)")
        ->type_name("FILE");
    sub->add_option("--cert", options.cert, "Client certificate for mqtts://")->type_name("FILE");
    sub->add_option("--key", options.key, "Client key for mqtts://")->type_name("FILE");
    sub->add_option("--spool", options.spool,
                    "Folder of the spool (default: spool in the state folder: $STATE_DIRECTORY under systemd, "
                    "else $XDG_STATE_HOME/korvel or ~/.local/state/korvel)")
        ->type_name("DIR");
    sub->add_option("--spool-max", options.spoolMax, "Most bytes of readings the spool keeps (default 67108864)")
        ->type_name("BYTES")
        ->check(valueCheck("--spool-max", {ValueRule::Whole, 1, 0, false, true, "a whole number of bytes"}));
    sub->add_option("--flush-timeout", options.flushTimeout,
                    "At the end, how long to wait for the broker to take what is spooled (default 30)")
        ->type_name("SECONDS")
        ->check(valueCheck("--flush-timeout", {ValueRule::Number, 0, 0, false, true, "a number of seconds"}));
    sub->add_option("--sync-interval", options.syncInterval,
                    "Most seconds between flushes of the spool to the disk: what a power cut can take from "
                    "readings not yet at the broker (default 1; 0: every reading)")
        ->type_name("SECONDS")
        ->check(valueCheck("--sync-interval", {ValueRule::Number, 0, 0, false, true, "a number of seconds"}));
    sub->add_flag("--reconnect", options.run.reconnect,
                  "When the meter is lost, wait for the same meter (by serial), apply the settings again and go on");
    addRunSettingsOptions(sub, &options.settings);
    sub->add_flag("--all", options.all, "Publish every meter found at the start, on one connection");
    // Repeatable here, so the one-meter form every subcommand has gives way.
    sub->remove_option(sub->get_option("--meter"));
    sub->add_option("--meter", options.meters, "Publish the meter with this serial number; repeatable")
        ->type_name("SERIAL")
        ->group("Meter selection");
    sub->callback([&context] {
        context.action = [&context] {
            MeterOptions chosen = context.meter;
            if (options.meters.size() == 1) chosen.serial = options.meters.front();
            Session session(chosen);
            return runPublish(session, options, context.commandLine);
        };
    });
}
