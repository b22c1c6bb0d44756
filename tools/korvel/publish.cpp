// korvel publish: the meter's readings to an MQTT broker, none lost: each
// reading goes to an on-disk spool first and leaves it once the broker has
// it (publish/). Topics PREFIX/SERIAL/reading (one JSON record per reading,
// with a sequence number), PREFIX/SERIAL/meta and PREFIX/SERIAL/status
// (retained; "offline" also as the last will).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

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

// Readings and gap records into the spool, which puts the next sequence
// number in front of each, so a consumer can account for every number.
class SpoolSink : public ReadingSink {
public:
    SpoolSink(publish::Spool& spool, std::mutex& mutex, std::string serial)
        : spool_(spool), mutex_(mutex), serial_(std::move(serial)) {}

    int reading(const LoggedReading& reading) override { return add(serialReading(serial_, reading)); }
    int gap(WallClock::time_point from, WallClock::time_point to) override {
        return add(serialGap(serial_, from, to));
    }

private:
    int add(const std::string& record) {
        std::lock_guard lock(mutex_);
        const publish::Appended appended = spool_.append(record);
        if (!appended.written) return EIO;  // the spool's failure() says why
        cut_ += static_cast<std::uint64_t>(appended.cut);  // told by the broker report
        return 0;
    }

public:
    // Records dropped by the full spool so far (under the spool's mutex).
    std::uint64_t cut() const { return cut_; }

private:

    publish::Spool& spool_;
    std::mutex& mutex_;
    const std::string serial_;
    std::uint64_t cut_ = 0;
};

int runPublish(Session& session, const PublishOptions& options, const std::string& commandLine) {
    publish::LinkOptions link;
    link.broker = publish::parseBrokerUrl(options.broker);
    if (!options.passwordFile.empty() && options.username.empty())
        throw Failure(kExitUsage, "--password-file needs --username");
    if (!link.broker.tls && (!options.cafile.empty() || !options.cert.empty() || !options.key.empty()))
        throw Failure(kExitUsage, "--cafile, --cert and --key are for an mqtts:// broker");
    link.username = options.username;
    if (!options.passwordFile.empty()) link.password = readPassword(options.passwordFile);
    link.cafile = options.cafile;
    link.cert = options.cert;
    link.key = options.key;

    AcquisitionOptions run = options.run;
    run.settings = settingsOf(options.settings);
    run.continuous = run.count == 0;  // without -n: until stopped
    Meter meter = session.open();
    StopSignals signals({FurtherSignal::Counted});  // a second Ctrl-C stops waiting for the broker
    RunMeta meta;
    meta.version = KORVEL_CLI_VERSION;
    meta.host = hostName();
    meta.command = commandLine;
    Acquisition acquisition(session, meter, run, signals, meta);
    ServiceStatus status;  // under systemd: READY, a status line per change
    {
        ServiceRunEvents setUpEvents(status, "publishing");
        acquisition.setEvents(&setUpEvents);
        const RunEnd setUp = acquisition.setUp();
        acquisition.setEvents(nullptr);
        if (setUp != RunEnd::Done)
            throw Failure(kExitMeterError, "the connection to the meter was lost while setting it up");
    }
    const std::string serial = acquisition.serial();
    const publish::Topics topics = publish::topicsFor(options.topicPrefix, serial);
    link.clientId = options.clientId.empty() ? "korvel-" + serial : options.clientId;
    link.willTopic = topics.status;
    link.willPayload = "offline";

    std::mutex spoolMutex;
    const std::string spoolPath = spoolFolder(options.spool);
    publish::Spool spool(spoolPath, serial, static_cast<std::uint64_t>(options.spoolMax), options.syncInterval);
    for (const std::string& notice : spool.notices()) std::fprintf(stderr, "korvel: %s\n", notice.c_str());
    if (!spool.empty())
        std::fprintf(stderr, "korvel: %llu bytes of readings from an earlier run wait in the spool; sent first\n",
                     static_cast<unsigned long long>(spool.pendingBytes()));
    publish::MqttLink broker(link);
    publish::Publisher publisher(broker, spool, spoolMutex, topics, options.qos, metaRecord(acquisition.meta()));
    SpoolSink sink(spool, spoolMutex, serial);
    const std::string where = link.broker.host + ":" + std::to_string(link.broker.port);
    publish::BrokerReport report(where, spoolPath, static_cast<std::uint64_t>(options.spoolMax), status,
                                 [&broker, &topics](const std::string& line) {
                                     broker.publish(topics.link, line, 1, true);
                                 });
    std::atomic<bool> readerDone{false};
    RunEnd end = RunEnd::Done;
    std::string readerFailure;  // nothing may escape the thread (that would abort the program)
    std::thread reading([&] {
        try {
            ServiceRunEvents events(status, "publishing");  // its watchdog loop ends with the run
            acquisition.setEvents(&events);
            end = acquisition.run(sink);
            acquisition.setEvents(nullptr);
        } catch (const std::exception& failure) {
            readerFailure = failure.what();  // a setting refused after the meter came back
            signals.stop();
        }
        readerDone = true;
    });

    std::string refusal;
    bool refused = false;
    bool announcedWait = false;
    Clock::time_point flushEnd{};
    Watchdog::Loop watchdog;
    while (true) {
        watchdog.alive();
        publish::LinkView view;
        view.connected = broker.connected();
        view.connections = broker.connections();
        view.reason = broker.downReason();
        view.published = publisher.published();
        {
            std::lock_guard lock(spoolMutex);
            view.pendingBytes = spool.pendingBytes();
            view.cut = sink.cut();
        }
        report.update(view);
        if (broker.refused(&refusal)) {
            refused = true;
            signals.stop();  // ends the reader too
            break;
        }
        if (!publisher.step()) signals.stop();  // the spool failed: stop reading, send what it holds
        if (readerDone || signals.stopping()) {
            if (flushEnd == Clock::time_point{})
                flushEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(options.flushTimeout));
            if (publisher.idle() || Clock::now() >= flushEnd || signals.count() >= 2) break;
            if (!broker.connected() && !announcedWait) {
                std::fprintf(stderr,
                             "korvel: waiting up to %g s for the broker to take the last readings "
                             "(Ctrl-C again: leave them in the spool)\n",
                             options.flushTimeout);
                announcedWait = true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    reading.join();
    ServiceNotifier::instance().stopping();
    if (refused)
        throw Failure(kExitMeterError, "the broker refused the connection (" + refusal +
                                           "): check --username and --password-file");
    publisher.goOffline(2.0);
    broker.disconnect();
    std::lock_guard lock(spoolMutex);
    spool.save();  // on failure, failure() says why
    std::fprintf(stderr, "korvel: %lld reading%s taken, %llu published", acquisition.taken(),
                 acquisition.taken() == 1 ? "" : "s", static_cast<unsigned long long>(publisher.published()));
    if (sink.cut() > 0)
        std::fprintf(stderr, "; %llu dropped by the full spool (--spool-max)", static_cast<unsigned long long>(sink.cut()));
    if (!spool.empty())
        std::fprintf(stderr, "; %llu bytes of readings left in %s for the next run",
                     static_cast<unsigned long long>(spool.pendingBytes()), spoolPath.c_str());
    std::fprintf(stderr, "\n");
    if (!spool.failure().empty()) throw Failure(kExitMeterError, spool.failure());
    if (!readerFailure.empty()) throw Failure(kExitMeterError, readerFailure);
    if (end == RunEnd::Lost)
        throw Failure(kExitMeterError, "the connection to the meter was lost (--reconnect waits for it)");
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
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return runPublish(session, options, context.commandLine);
        };
    });
}
