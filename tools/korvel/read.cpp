// korvel read: readings with timestamps, in text, CSV or JSON lines, with a
// summary at the end. Logs describe themselves, are never overwritten unasked,
// hold only whole records, can wait for a lost meter and can be rotated.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "core/command.h"
#include "core/failure.h"
#include "core/log_file.h"
#include "core/option_values.h"
#include "core/reading.h"
#include "core/run_settings.h"

namespace korvel::cli {
namespace {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

// How long a logger waits between attempts to find its lost meter (each
// attempt of the library itself takes about 1.5 s when none answers).
constexpr auto kReconnectPause = std::chrono::milliseconds(500);

struct ReadOptions {
    long long count = 0;
    double duration = 0;
    double interval = 0;
    bool continuous = false;
    bool quiet = false;
    std::string format = "text";
    std::string output;
    RunSettingsOptions settings;
    bool append = false;
    bool force = false;
    bool reconnect = false;
    long long rotateSize = 0;
    double rotateTime = 0;
};

volatile std::sig_atomic_t stopSignal = 0;

// The first Ctrl-C ends the run after the reading in progress; a second one
// ends the program at once (every reading taken is in the file already).
extern "C" void onStopSignal(int signal) {
    if (stopSignal != 0) {
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
    stopSignal = signal;
}

void installSignalHandlers() {
    struct sigaction action{};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a sleep ends at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a closed pipe shows as EPIPE instead
}

// Sleeps until `when` or a stop signal.
void sleepUntil(Clock::time_point when) {
    const auto since = when.time_since_epoch();
    timespec target{};
    target.tv_sec = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
    target.tv_nsec = static_cast<long>((std::chrono::duration_cast<std::chrono::nanoseconds>(since) -
                                        std::chrono::duration_cast<std::chrono::seconds>(since))
                                           .count());
    while (stopSignal == 0 && clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &target, nullptr) == EINTR) {
    }
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

Format parseFormat(const std::string& name) {
    if (name == "csv") return Format::Csv;
    if (name == "jsonl") return Format::Jsonl;
    return Format::Text;
}

enum class End { Done, Interrupted, Lost, OutputClosed, WriteFailed };

// One logging run: the meter, the log and what was taken.
class Run {
public:
    Run(Session& session, const ReadOptions& options, const std::string& commandLine)
        : session_(session), options_(options), format_(parseFormat(options.format)),
          settings_(settingsOf(options.settings)), meter_(session.open()), log_(target(options)) {
        meta_.version = KORVEL_CLI_VERSION;
        meta_.host = hostName();
        meta_.command = commandLine;
        checkAppendFormat();
        session.armUnplug(meter_);
    }

    int run();

    static LogTarget target(const ReadOptions& o) {
        LogTarget t;
        t.path = o.output;
        t.existing = o.append ? Existing::Append : o.force ? Existing::Replace : Existing::Refuse;
        t.rotateBytes = static_cast<std::uint64_t>(o.rotateSize);
        t.rotateSeconds = o.rotateTime;
        return t;
    }

private:
    // Appending CSV to a JSON-lines log (or the other way) would spoil both.
    void checkAppendFormat() {
        if (!log_.continued() || format_ == Format::Text) return;
        const bool json = log_.firstByte() == '{';
        if (json != (format_ == Format::Jsonl)) {
            throw Failure(kExitUsage, log_.name() + " is not a " + options_.format +
                                          " log: --append adds to a log of the same --format");
        }
    }

    // setUp(); false when the meter was lost meanwhile (a refusal throws).
    bool setUpOrLost() {
        try {
            setUp();
            return true;
        } catch (const Failure&) {
            if (meter_.lost()) return false;
            throw;
        }
    }

    // Applies the settings and learns what goes into the meta block.
    void setUp() {
        describeMeter(meter_, applySettings(session_.api(), meter_, settings_), &meta_);
    }

    // The meta block (and the CSV header) at the top of a file or of an
    // appended run.
    int writeHead(bool header) {
        meta_.start = WallClock::now();
        meta_.file = log_.rotating() ? log_.fileNumber() : 0;
        std::string head = formatMeta(format_, meta_);
        if (header && format_ == Format::Csv) head += csvHeader();
        return head.empty() ? 0 : log_.write(head);
    }

    int write(const std::string& record) {
        if (log_.wantsRotation(record.size())) {
            if (const int error = log_.rotate(); error != 0) return error;
            if (const int error = writeHead(true); error != 0) return error;
        }
        return log_.write(record);
    }

    bool waitForMeter(std::optional<WallClock::time_point> lostAt);
    void showProgress(const LoggedReading& reading);

    Session& session_;
    const ReadOptions& options_;
    Format format_;
    RunSettings settings_;
    Meter meter_;
    LogFile log_;
    RunMeta meta_;
    End end_ = End::Done;
    int writeError_ = 0;
    long long taken_ = 0;
    Statistics stats_;
    Clock::time_point lastProgress_{};
};

// Waits for the same meter (by serial) to come back, sets it up again and
// writes the gap record (none when it was lost before the first record).
// False when stopped meanwhile or the write failed.
bool Run::waitForMeter(std::optional<WallClock::time_point> lostAt) {
    const std::string serial = meter_.serial();
    meter_.close();
    if (!options_.quiet) {
        std::fprintf(stderr, "korvel: the meter %s was lost at %s; waiting for it to come back (Ctrl-C ends)\n",
                     serial.c_str(), isoTimestamp(lostAt.value_or(WallClock::now())).c_str());
    }
    while (stopSignal == 0) {
        try {
            Meter meter = session_.openSerial(serial);
            meter_ = std::move(meter);
        } catch (const Failure&) {  // not back yet
            sleepUntil(Clock::now() + kReconnectPause);
            continue;
        }
        // Lost again while being set up: wait on; a refused setting is final.
        if (!setUpOrLost()) {
            meter_.close();
            continue;
        }
        if (!lostAt) return true;
        writeError_ = write(formatGap(format_, *lostAt, WallClock::now()));
        if (writeError_ != 0) {
            end_ = writeError_ == EPIPE ? End::OutputClosed : End::WriteFailed;
            return false;
        }
        if (!options_.quiet) std::fprintf(stderr, "korvel: the meter %s is back; logging goes on\n", serial.c_str());
        return true;
    }
    end_ = End::Interrupted;
    return false;
}

void Run::showProgress(const LoggedReading& reading) {
    const auto now = Clock::now();
    if (taken_ != 1 && now - lastProgress_ < std::chrono::milliseconds(200)) return;
    lastProgress_ = now;
    const size_t first = reading.value.text.find_first_not_of(' ');
    std::fprintf(stderr, "\r%lld readings, %.1f s, last %s\033[K", taken_, reading.elapsed,
                 first == std::string::npos ? "" : reading.value.text.c_str() + first);
}

int Run::run() {
    const Api& api = session_.api();
    installSignalHandlers();
    const bool progress = log_.toFile() && !options_.quiet && isatty(STDERR_FILENO) != 0;
    // Without a limit, one reading.
    const long long count =
        options_.count > 0 ? options_.count : (options_.continuous || options_.duration > 0 ? 0 : 1);
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.interval));
    const auto duration = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options_.duration));

    if (!setUpOrLost()) {
        if (!options_.reconnect) end_ = End::Lost;
        else if (!waitForMeter(std::nullopt) && end_ == End::Done) end_ = End::Interrupted;
    }
    if (end_ == End::Done) {
        writeError_ = writeHead(!log_.continued());
        if (writeError_ != 0) end_ = writeError_ == EPIPE ? End::OutputClosed : End::WriteFailed;
    }

    Clock::time_point start{}, last{}, nextDue{};
    const auto wallStart = WallClock::now();
    while (end_ == End::Done) {
        if (stopSignal != 0) {
            end_ = End::Interrupted;
            break;
        }
        if (count > 0 && taken_ >= count) break;
        if (taken_ > 0) {
            if (interval.count() > 0) {
                nextDue += interval;
                const auto now = Clock::now();
                if (nextDue < now) nextDue = now;  // late: no burst to catch up
                if (duration.count() > 0 && nextDue - start >= duration) break;
                sleepUntil(nextDue);
                if (stopSignal != 0) {
                    end_ = End::Interrupted;
                    break;
                }
            } else if (duration.count() > 0 && Clock::now() - start >= duration) {
                break;
            }
        }
        const auto at = Clock::now();
        if (taken_ == 0) start = nextDue = at;
        MeterReading raw{};
        if (api.mtrGetReading(meter_.handle(), &raw) != 0) {
            meter_.markLost();
            if (!options_.reconnect) {
                end_ = End::Lost;
                break;
            }
            if (!waitForMeter(wallStart + std::chrono::duration_cast<WallClock::duration>(at - start))) break;
            nextDue = Clock::now();
            continue;
        }
        last = Clock::now();
        LoggedReading reading;
        reading.elapsed = seconds(at - start);
        reading.time = wallStart + std::chrono::duration_cast<WallClock::duration>(at - start);
        reading.raw = raw;
        reading.value = describeReading(raw);
        writeError_ = write(formatRecord(format_, reading));
        if (writeError_ != 0) {
            end_ = writeError_ == EPIPE ? End::OutputClosed : End::WriteFailed;
            break;
        }
        // Counted once it is in the file, so the summary tells what the file holds.
        ++taken_;
        if (reading.value.tesla) stats_.add(*reading.value.tesla);
        if (progress) showProgress(reading);
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
    if (end_ != End::WriteFailed && end_ != End::OutputClosed) {
        writeError_ = log_.finish();
        if (writeError_ != 0) end_ = writeError_ == EPIPE ? End::OutputClosed : End::WriteFailed;
    } else {
        log_.finish();
    }
    if (!options_.quiet) {
        std::fputs(formatSummary(taken_, taken_ > 0 ? seconds(last - start) : 0.0, stats_).c_str(), stderr);
    }
    const std::string where = log_.toFile() ? " in " + log_.name() : " on standard output";
    switch (end_) {
    case End::Lost:
        throw Failure(kExitMeterError, "the meter stopped answering after " + std::to_string(taken_) +
                                           " reading(s): the connection was lost. Every reading taken is" +
                                           where + ". Check the cable and run again (--reconnect waits for it).");
    case End::WriteFailed:
        throw Failure(kExitMeterError, "cannot write " + log_.name() + ": " + std::strerror(writeError_) + ". " +
                                           (log_.toFile() ? "It ends at the last whole record; " : "") +
                                           std::to_string(taken_) + " reading(s) were written");
    default: return kExitOk;
    }
}

// Checks that need every option at once.
void checkCombinations(const ReadOptions& o) {
    if (o.append && o.force) throw Failure(kExitUsage, "--append and --force exclude each other: choose one");
}

}  // namespace
}  // namespace korvel::cli

void add_read_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    auto options = std::make_shared<ReadOptions>();
    CLI::App* sub = addSubcommand(
        app, context, "read",
        "Take readings with timestamps, as text, CSV or JSON lines: each has an ISO-8601 UTC timestamp, the "
        "seconds since the first, the field in tesla, the meter's own text (as :MEAS:FLUX? shows it), units, "
        "range and AC/DC. A CSV log starts with '#' lines and a JSON-lines log with a {\"type\":\"meta\"} "
        "record naming the meter, its settings, the start time and the command (docs/records.md). Without -n, "
        "--duration or --continuous it takes one reading. An existing -o file is refused unless --append or "
        "--force. A summary goes to standard error. Ctrl-C ends the run cleanly.",
        "  korvel read\n"
        "  korvel --simulate read -n 10 --units T --range auto\n"
        "  korvel read --duration 60 --interval 0.5 --format csv -o field.csv\n"
        "  korvel read --continuous --format jsonl | jq .tesla\n"
        "  korvel read --continuous --interval 1 --format csv -o field.csv --reconnect --rotate-time 86400 "
        "--append\n");
    sub->add_option("-n,--count", options->count, "Take COUNT readings")
        ->type_name("COUNT")
        ->check(valueCheck("-n", {ValueRule::Whole, 1, 0, false, true, "a whole number"}));
    sub->add_option("--duration", options->duration, "Take readings for SECONDS")
        ->type_name("SECONDS")
        ->check(valueCheck("--duration", {ValueRule::Number, 0, 0, true, true, "a number of seconds"}));
    sub->add_flag("--continuous", options->continuous, "Take readings until Ctrl-C");
    sub->add_option("--interval", options->interval,
                    "Seconds from one reading to the next (default: as fast as the meter answers)")
        ->type_name("SECONDS")
        ->check(valueCheck("--interval", {ValueRule::Number, 0, 0, false, true, "a number of seconds"}));
    sub->add_option("--format", options->format, "Output format: text (default), csv or jsonl")
        ->check(choiceCheck("--format", {"text", "csv", "jsonl"}))
        ->type_name("FORMAT");
    sub->add_option("-o,--output", options->output,
                    "Write the readings to FILE ('-': standard output; a live progress line then shows on a "
                    "terminal)")
        ->type_name("FILE");
    sub->add_flag("--append", options->append, "Add this run to an existing -o file (after a new meta block)");
    sub->add_flag("--force", options->force, "Overwrite an existing -o file");
    addRunSettingsOptions(sub, &options->settings);
    const char* longGroup = "Long runs";
    sub->add_flag("--reconnect", options->reconnect,
                  "When the meter is lost, wait for it (the same serial number) to come back, note the gap in "
                  "the log and go on")
        ->group(longGroup);
    sub->add_option("--rotate-size", options->rotateSize,
                    "Start a new numbered file (FILE.0002.csv, ...) before one grows past BYTES")
        ->type_name("BYTES")
        ->check(valueCheck("--rotate-size", {ValueRule::Whole, 1, 0, false, true, "a whole number of bytes"}))
        ->group(longGroup);
    sub->add_option("--rotate-time", options->rotateTime, "Start a new numbered file every SECONDS")
        ->type_name("SECONDS")
        ->check(valueCheck("--rotate-time", {ValueRule::Number, 0, 0, true, true, "a number of seconds"}))
        ->group(longGroup);
    sub->add_flag("-q,--quiet", options->quiet, "No summary and no progress line");
    sub->callback([&context, options] {
        context.action = [&context, options] {
            checkCombinations(*options);
            LogFile::check(Run::target(*options));
            Session session(context.meter);
            Run run(session, *options, context.commandLine);
            return run.run();
        };
    });
}
