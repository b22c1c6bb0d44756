// korvel publish: the meter's readings to an MQTT broker, none lost: each
// reading goes to an on-disk spool first and leaves it once the broker has
// it (publish/). Topics PREFIX/SERIAL/reading (one JSON record per reading,
// with a sequence number), PREFIX/SERIAL/meta and PREFIX/SERIAL/status
// (retained; "offline" also as the last will).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "core/command.h"
#include "core/failure.h"
#include "core/reading.h"
#include "core/run_settings.h"
#include "publish/mqtt_link.h"
#include "publish/publisher.h"
#include "publish/spool.h"

namespace korvel::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct PublishOptions {
    std::string broker;
    double interval = 1.0;
    long long count = 0;  // 0: until stopped
    std::string topicPrefix = "korvel";
    int qos = 1;
    std::string clientId;
    std::string username;
    std::string passwordFile;
    std::string cafile, cert, key;
    std::string spool = "korvel-spool";
    double spoolMax = 64.0 * 1024 * 1024;
    double flushTimeout = 30;
    double syncInterval = 1;
    bool reconnect = false;
    RunSettingsOptions settings;
};

std::atomic<int> stopSignal{0};
std::atomic<int> stopCount{0};  // a second Ctrl-C stops waiting for the broker
extern "C" void onStop(int number) {
    stopSignal = number;
    ++stopCount;
}

void installSignals() {
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

std::string readPassword(const std::string& path) {
    std::ifstream file(path);
    std::string password;
    if (!file || !std::getline(file, password))
        throw Failure(kExitUsage, "--password-file " + path + " cannot be read");
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

// The meta record of the logs (JSON lines), for the retained meta topic.
std::string metaRecord(Meter& meter, const MeterReading& first, const std::string& commandLine) {
    RunMeta meta;
    meta.version = KORVEL_CLI_VERSION;
    describeMeter(meter, first, &meta);
    meta.start = std::chrono::system_clock::now();
    meta.host = hostName();
    meta.command = commandLine;
    std::string record = formatMeta(Format::Jsonl, meta);
    if (!record.empty() && record.back() == '\n') record.pop_back();
    return record;
}

// Takes readings at the interval and spools them, on a thread of its own so
// that the broker never holds the meter up.
class Reader {
public:
    Reader(Session& session, Meter& meter, publish::Spool& spool, std::mutex& spoolMutex,
           const PublishOptions& options)
        : session_(session), meter_(meter), spool_(spool), spoolMutex_(spoolMutex), options_(options) {}

    void run() {
        const auto start = Clock::now();
        const auto wallStart = std::chrono::system_clock::now();
        auto due = start;
        for (long long n = 0; (options_.count == 0 || n < options_.count) && stopSignal == 0; ++n) {
            MeterReading raw{};
            if (session_.api().mtrGetReading(meter_.handle(), &raw) != 0) {
                meter_.markLost();
                if (!options_.reconnect) {
                    error_ = "the connection to the meter was lost (--reconnect waits for it)";
                    break;
                }
                if (!waitForMeter()) break;
                --n;
                continue;
            }
            LoggedReading reading;
            reading.time = std::chrono::system_clock::now();
            reading.elapsed = std::chrono::duration<double>(reading.time - wallStart).count();
            reading.raw = raw;
            reading.value = describeReading(raw);
            {
                std::lock_guard lock(spoolMutex_);
                // The log's record; the spool puts the sequence number in front.
                const publish::Appended appended = spool_.append(formatRecord(Format::Jsonl, reading));
                if (!appended.written) {
                    error_ = spool_.failure();
                    break;
                }
                const int cut = appended.cut;
                if (cut > 0) {
                    std::fprintf(stderr, "korvel: the spool is full (--spool-max): dropped the %d oldest reading%s\n",
                                 cut, cut == 1 ? "" : "s");
                }
            }
            ++taken_;
            due += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.interval));
            while (stopSignal == 0 && Clock::now() < due)
                std::this_thread::sleep_for(std::min<Clock::duration>(due - Clock::now(), std::chrono::milliseconds(50)));
        }
        done_ = true;
    }

    bool done() const { return done_.load(); }
    long long taken() const { return taken_.load(); }
    const std::string& error() const { return error_; }

private:
    // The same meter (by serial) back, or a stop.
    bool waitForMeter() {
        const std::string serial = meter_.serial();
        meter_.close();
        std::fprintf(stderr, "korvel: lost the meter %s; waiting for it (--reconnect)\n", serial.c_str());
        while (stopSignal == 0) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            try {
                meter_ = session_.openSerial(serial);
            } catch (const Failure&) {
                continue;  // not back yet
            }
            try {
                applySettings(session_.api(), meter_, settingsOf(options_.settings));  // as at the start
            } catch (const Failure& failure) {
                if (meter_.lost()) continue;  // lost again while being set up: wait on
                error_ = failure.what();     // a refused setting is final
                return false;
            }
            std::fprintf(stderr, "korvel: the meter %s is back\n", serial.c_str());
            return true;
        }
        return false;
    }

    Session& session_;
    Meter& meter_;
    publish::Spool& spool_;
    std::mutex& spoolMutex_;
    const PublishOptions& options_;
    std::atomic<bool> done_{false};
    std::atomic<long long> taken_{0};
    std::string error_;
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

    const RunSettings settings = settingsOf(options.settings);
    Meter meter = session.open();
    session.armUnplug(meter);
    const MeterReading first = applySettings(session.api(), meter, settings);
    const std::string serial = meter.serial();
    const publish::Topics topics = publish::topicsFor(options.topicPrefix, serial);
    link.clientId = options.clientId.empty() ? "korvel-" + serial : options.clientId;
    link.willTopic = topics.status;
    link.willPayload = "offline";

    std::mutex spoolMutex;
    publish::Spool spool(options.spool, serial, static_cast<std::uint64_t>(options.spoolMax), options.syncInterval);
    for (const std::string& notice : spool.notices()) std::fprintf(stderr, "korvel: %s\n", notice.c_str());
    if (!spool.empty())
        std::fprintf(stderr, "korvel: %llu bytes of readings from an earlier run wait in the spool; sent first\n",
                     static_cast<unsigned long long>(spool.pendingBytes()));
    installSignals();
    publish::MqttLink broker(link);
    publish::Publisher publisher(broker, spool, spoolMutex, topics, options.qos, metaRecord(meter, first, commandLine));
    Reader reader(session, meter, spool, spoolMutex, options);
    std::string readerFailure;  // nothing may escape the thread (that would abort the program)
    std::thread reading([&reader, &readerFailure] {
        try {
            reader.run();
        } catch (const std::exception& failure) {
            readerFailure = failure.what();
            stopSignal = SIGTERM;
        }
    });

    std::string refusal;
    bool refused = false;
    bool announcedWait = false;
    Clock::time_point flushEnd{};
    while (true) {
        if (broker.refused(&refusal)) {
            refused = true;
            stopSignal = SIGTERM;  // ends the reader too
            break;
        }
        if (!publisher.step()) stopSignal = SIGTERM;  // the spool failed: stop reading, send what it holds
        if (reader.done() || stopSignal != 0) {
            if (flushEnd == Clock::time_point{})
                flushEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(options.flushTimeout));
            if (publisher.idle() || Clock::now() >= flushEnd || stopCount >= 2) break;
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
    if (refused)
        throw Failure(kExitMeterError, "the broker refused the connection (" + refusal +
                                           "): check --username and --password-file");
    publisher.goOffline(2.0);
    broker.disconnect();
    std::lock_guard lock(spoolMutex);
    spool.save();  // on failure, failure() says why
    std::fprintf(stderr, "korvel: %lld reading%s taken, %llu published", reader.taken(),
                 reader.taken() == 1 ? "" : "s", static_cast<unsigned long long>(publisher.published()));
    if (!spool.empty())
        std::fprintf(stderr, "; %llu bytes of readings left in %s for the next run",
                     static_cast<unsigned long long>(spool.pendingBytes()), options.spool.c_str());
    std::fprintf(stderr, "\n");
    if (!spool.failure().empty()) throw Failure(kExitMeterError, spool.failure());
    if (!readerFailure.empty()) throw Failure(kExitMeterError, readerFailure);
    if (!reader.error().empty()) throw Failure(kExitMeterError, reader.error());
    return kExitOk;
}

}  // namespace
}  // namespace korvel::cli

void add_publish_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    static PublishOptions options;
    CLI::App* sub = addSubcommand(
        app, context, "publish",
        "Publish the meter's readings to an MQTT broker, none lost: each reading is spooled on disk first "
        "and leaves the spool once the broker has it (QoS 1) or it is sent (QoS 0); while the broker is away "
        "readings wait in the spool and go out in order afterwards. Topics: PREFIX/SERIAL/reading (one JSON "
        "record per reading, the log's record with a sequence number seq that rises by one per reading, also "
        "across reconnections, crashes and runs with the same spool; a reading sent twice is the same record), "
        "PREFIX/SERIAL/meta (retained) and "
        "PREFIX/SERIAL/status (retained \"online\"/\"offline\"; \"offline\" also as the last will). A full spool "
        "drops its oldest readings, says so on standard error and puts the count of those that never reached "
        "the broker in the next record (\"dropped\"). None lost holds for a killed program; on a power cut "
        "the readings spooled in the last --sync-interval seconds and not yet at the broker may be. "
        "Ctrl-C stops reading, waits up to --flush-timeout for the broker and leaves the rest "
        "in the spool for the next run. Exit codes: 1 when the broker refuses the user name or password, "
        "the meter is lost (without --reconnect), the disk refuses the spool, or another publisher holds "
        "the spool (its pid is named).",
        "  korvel --simulate publish --broker mqtt://127.0.0.1:1883 -n 10 --interval 0.1\n"
        "  korvel publish --broker mqtts://broker.lab:8883 --cafile ca.pem --username bench3 --password-file pw\n"
        "  mosquitto_sub -h 127.0.0.1 -t 'korvel/#' -v    # watch what arrives\n");
    sub->add_option("--broker", options.broker, "mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)")
        ->type_name("URL")
        ->required();
    sub->add_option("--interval", options.interval, "Seconds between readings (default 1; 0: as fast as the meter answers)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("-n,--count", options.count, "Readings to take, then publish the rest and stop (default: until Ctrl-C)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
    sub->add_option("--topic-prefix", options.topicPrefix, "First part of every topic (default korvel)")
        ->type_name("PREFIX");
    sub->add_option("--qos", options.qos, "0 or 1 (default 1: the broker acknowledges every reading)")
        ->check(CLI::IsMember({0, 1}));
    sub->add_option("--client-id", options.clientId, "MQTT client id (default korvel-SERIAL)")->type_name("ID");
    sub->add_option("--username", options.username, "User name for the broker")->type_name("NAME");
    sub->add_option("--password-file", options.passwordFile, "File whose first line is the password")
        ->type_name("FILE");
    sub->add_option("--cafile", options.cafile, "CA certificate(s) for mqtts:// (default: the system's)")
        ->type_name("FILE");
    sub->add_option("--cert", options.cert, "Client certificate for mqtts://")->type_name("FILE");
    sub->add_option("--key", options.key, "Client key for mqtts://")->type_name("FILE");
    sub->add_option("--spool", options.spool, "Folder of the spool (default ./korvel-spool)")->type_name("DIR");
    sub->add_option("--spool-max", options.spoolMax, "Most bytes of readings the spool keeps (default 67108864)")
        ->type_name("BYTES")
        ->check(CLI::PositiveNumber);
    sub->add_option("--flush-timeout", options.flushTimeout,
                    "At the end, how long to wait for the broker to take what is spooled (default 30)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--sync-interval", options.syncInterval,
                    "Most seconds between flushes of the spool to the disk: what a power cut can take from "
                    "readings not yet at the broker (default 1; 0: every reading)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    sub->add_flag("--reconnect", options.reconnect,
                  "When the meter is lost, wait for the same meter (by serial), apply the settings again and go on");
    addRunSettingsOptions(sub, &options.settings);
    sub->callback([&context] {
        context.action = [&context] {
            Session session(context.meter);
            return runPublish(session, options, context.commandLine);
        };
    });
}
