// korvel read: readings with timestamps, in text, CSV or JSON lines, with a
// summary at the end.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "core/command.h"
#include "core/failure.h"
#include "core/reading.h"

namespace korvel::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct ReadOptions {
    long long count = 0;
    double duration = 0;
    double interval = 0;
    bool continuous = false;
    bool quiet = false;
    std::string format = "text";
    std::string output;
};

volatile std::sig_atomic_t stopSignal = 0;

// The first Ctrl-C ends the run after the reading in progress; a second one
// ends the program at once (every reading taken is flushed already).
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

class Output {
public:
    explicit Output(const std::string& path) : path_(path) {
        if (path.empty() || path == "-") {
            file_ = stdout;
            return;
        }
        file_ = std::fopen(path.c_str(), "w");
        if (file_ == nullptr) {
            throw Failure(kExitUsage, "cannot create " + path + ": " + std::strerror(errno));
        }
        owned_ = true;
    }
    ~Output() {
        if (owned_) std::fclose(file_);
    }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    bool toFile() const { return owned_; }
    const std::string& path() const { return path_; }

    // Writes and flushes, so a record is on disk (or in the pipe) as soon
    // as it was taken. Returns 0 or the errno of the failure.
    int write(const std::string& text) {
        errno = 0;
        if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0)
            return errno != 0 ? errno : EIO;
        return 0;
    }
    int close() {
        if (!owned_) return std::fflush(file_) == 0 ? 0 : errno;
        owned_ = false;
        return std::fclose(file_) == 0 ? 0 : errno;
    }

private:
    std::string path_;
    FILE* file_ = nullptr;
    bool owned_ = false;
};

int runRead(Session& session, const ReadOptions& options) {
    const Api& api = session.api();
    const Format format = parseFormat(options.format);
    Meter meter = session.open();
    Output output(options.output);
    session.armUnplug(meter);
    installSignalHandlers();

    const bool progress = output.toFile() && !options.quiet && isatty(STDERR_FILENO) != 0;
    // Without a limit, one reading.
    const long long count =
        options.count > 0 ? options.count : (options.continuous || options.duration > 0 ? 0 : 1);
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.interval));
    const auto duration = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.duration));

    End end = End::Done;
    int writeError = 0;
    if (format == Format::Csv) writeError = output.write(csvHeader());
    if (writeError != 0) end = writeError == EPIPE ? End::OutputClosed : End::WriteFailed;

    Statistics stats;
    long long taken = 0;
    Clock::time_point start{}, last{}, nextDue{}, lastProgress{};
    const auto wallStart = std::chrono::system_clock::now();
    std::string lastText;
    while (end == End::Done) {
        if (stopSignal != 0) {
            end = End::Interrupted;
            break;
        }
        if (count > 0 && taken >= count) break;
        if (taken > 0) {
            if (interval.count() > 0) {
                nextDue += interval;
                const auto now = Clock::now();
                if (nextDue < now) nextDue = now;  // late: no burst to catch up
                if (duration.count() > 0 && nextDue - start >= duration) break;
                sleepUntil(nextDue);
                if (stopSignal != 0) {
                    end = End::Interrupted;
                    break;
                }
            } else if (duration.count() > 0 && Clock::now() - start >= duration) {
                break;
            }
        }
        const auto at = Clock::now();
        if (taken == 0) start = nextDue = at;
        MeterReading raw{};
        if (api.mtrGetReading(meter.handle(), &raw) != 0) {
            meter.markLost();
            end = End::Lost;
            break;
        }
        last = Clock::now();
        LoggedReading reading;
        reading.elapsed = seconds(at - start);
        reading.time = wallStart + std::chrono::duration_cast<std::chrono::system_clock::duration>(at - start);
        reading.raw = raw;
        reading.value = describeReading(raw);
        ++taken;
        if (reading.value.tesla) stats.add(*reading.value.tesla);
        writeError = output.write(formatRecord(format, reading));
        if (writeError != 0) {
            end = writeError == EPIPE ? End::OutputClosed : End::WriteFailed;
            break;
        }
        if (progress && (taken == 1 || last - lastProgress > std::chrono::milliseconds(200))) {
            lastProgress = last;
            const size_t first = reading.value.text.find_first_not_of(' ');
            std::fprintf(stderr, "\r%lld readings, %.1f s, last %s\033[K", taken, reading.elapsed,
                         first == std::string::npos ? "" : reading.value.text.c_str() + first);
        }
    }
    if (progress) std::fprintf(stderr, "\r\033[K");
    if (end != End::WriteFailed) {
        writeError = output.close();
        if (writeError != 0) end = writeError == EPIPE ? End::OutputClosed : End::WriteFailed;
    }
    if (!options.quiet) {
        std::fputs(formatSummary(taken, taken > 0 ? seconds(last - start) : 0.0, stats).c_str(), stderr);
    }
    const std::string where = output.toFile() || (!options.output.empty() && options.output != "-")
                                  ? " in " + options.output
                                  : " on standard output";
    switch (end) {
    case End::Lost:
        throw Failure(kExitMeterError, "the meter stopped answering after " + std::to_string(taken) +
                                           " reading(s): the connection was lost. Every reading taken is" +
                                           where + ". Check the cable and run again.");
    case End::WriteFailed:
        throw Failure(kExitMeterError, "cannot write " + (options.output.empty() ? "standard output" : options.output) +
                                           ": " + std::strerror(writeError));
    default: return kExitOk;
    }
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
        "range and AC/DC. Without -n, "
        "--duration or --continuous it takes one reading. A summary (count, min, max, mean, standard "
        "deviation, readings per second) goes to standard error. Ctrl-C ends the run cleanly.",
        "  korvel read\n"
        "  korvel --simulate read -n 10\n"
        "  korvel read --duration 60 --interval 0.5 --format csv -o field.csv\n"
        "  korvel read --continuous --format jsonl | jq .tesla\n");
    sub->add_option("-n,--count", options->count, "Take COUNT readings")
        ->type_name("COUNT")
        ->check(CLI::PositiveNumber);
    sub->add_option("--duration", options->duration, "Take readings for SECONDS")
        ->type_name("SECONDS")
        ->check(CLI::PositiveNumber);
    sub->add_flag("--continuous", options->continuous, "Take readings until Ctrl-C");
    sub->add_option("--interval", options->interval,
                    "Seconds from one reading to the next (default: as fast as the meter answers)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    sub->add_option("--format", options->format, "Output format (default text)")
        ->check(CLI::IsMember({"text", "csv", "jsonl"}))
        ->type_name("FORMAT");
    sub->add_option("-o,--output", options->output,
                    "Write the readings to FILE (a live progress line then shows on a terminal)")
        ->type_name("FILE");
    sub->add_flag("-q,--quiet", options->quiet, "No summary and no progress line");
    sub->callback([&context, options] {
        context.action = [&context, options] {
            Session session(context.meter);
            return runRead(session, *options);
        };
    });
}
