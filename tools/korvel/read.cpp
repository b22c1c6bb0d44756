// korvel read: readings with timestamps, in text, CSV or JSON lines, with a
// summary at the end. Logs describe themselves, are never overwritten unasked,
// hold only whole records, can wait for a lost meter and can be rotated.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/acquisition.h"
#include "core/subcommand.h"
#include "core/failure.h"
#include "core/log_file.h"
#include "core/log_writer.h"
#include "core/option_values.h"
#include "core/reading.h"
#include "core/run_settings.h"
#include "core/service_status.h"
#include "core/text.h"

namespace korvel::cli {
namespace {

struct ReadOptions {
    AcquisitionOptions run;
    std::string format;  // "" : from -o's extension
    std::string output;
    RunSettingsOptions settings;
    bool append = false;
    bool force = false;
    long long rotateSize = 0;
    double rotateTime = 0;
};

// -o field.csv writes CSV unless --format says otherwise.
Format chosenFormat(const ReadOptions& o) {
    if (o.format == "csv") return Format::Csv;
    if (o.format == "jsonl") return Format::Jsonl;
    if (o.format == "text" || o.output.empty() || o.output == "-") return Format::Text;
    return formatOfPath(o.output);
}

LogTarget targetOf(const ReadOptions& o) {
    LogTarget t;
    t.path = o.output;
    t.existing = o.append ? Existing::Append : o.force ? Existing::Replace : Existing::Refuse;
    t.rotateBytes = static_cast<std::uint64_t>(o.rotateSize);
    t.rotateSeconds = o.rotateTime;
    t.format = chosenFormat(o);
    return t;
}

// The log, with a progress line on a terminal.
class ProgressLog : public LogWriter {
public:
    ProgressLog(LogFile& log, Format format, bool progress) : LogWriter(log, format), progress_(progress) {}

    int reading(const LoggedReading& reading) override {
        if (const int error = LogWriter::reading(reading); error != 0) return error;
        ++taken_;
        if (progress_) showProgress(reading);
        return 0;
    }

    void endProgress() const {
        if (progress_) std::fprintf(stderr, "\r\033[K");
    }

private:
    void showProgress(const LoggedReading& reading) {
        const auto now = SteadyClock::now();
        if (taken_ != 1 && now - lastProgress_ < std::chrono::milliseconds(200)) return;
        lastProgress_ = now;
        std::fprintf(stderr, "\r%lld readings, %.1f s, last %s\033[K", taken_, reading.elapsed,
                     trim(reading.value.text).c_str());
    }

    const bool progress_;
    long long taken_ = 0;
    SteadyClock::time_point lastProgress_{};
};

int runRead(Session& session, const ReadOptions& options, const std::string& commandLine) {
    AcquisitionOptions run = options.run;
    run.settings = settingsOf(options.settings);
    const Format format = chosenFormat(options);
    Meter meter = session.open();
    LogFile log(targetOf(options));
    const StopSignals signals({FurtherSignal::EndsAtOnce});
    RunMeta meta;
    meta.version = KORVEL_CLI_VERSION;
    meta.host = hostName();
    meta.command = commandLine;
    Acquisition acquisition(session, meter, run, signals, meta);
    ProgressLog sink(log, format, log.toFile() && !run.quiet && isatty(STDERR_FILENO) != 0);

    // Under systemd: READY once the meter is set up (or waited for), a status
    // line per change, watchdog check-ins from the run's loop.
    ServiceStatus status;
    ServiceRunEvents events(status, log.toFile() ? "logging to " + log.name() : "reading to standard output");
    acquisition.setEvents(&events);

    RunEnd end = acquisition.setUp();
    int writeError = 0;
    if (end == RunEnd::Done) {
        writeError = sink.begin(acquisition.meta());
        end = writeError != 0 ? RunEnd::SinkFailed : acquisition.run(sink);
        if (end == RunEnd::SinkFailed && writeError == 0) writeError = acquisition.sinkError();
    }
    sink.endProgress();
    ServiceNotifier::instance().stopping();
    const int finishError = log.finish();
    if (writeError == 0 && finishError != 0) {
        writeError = finishError;
        end = RunEnd::SinkFailed;
    }
    if (!run.quiet) std::fputs(formatSummary(acquisition.taken(), acquisition.seconds(), acquisition.statistics()).c_str(), stderr);
    const std::string where = log.toFile() ? " in " + log.name() : " on standard output";
    switch (end) {
    case RunEnd::Lost:
        throw Failure(kExitMeterError, "the meter stopped answering after " + std::to_string(acquisition.taken()) +
                                           " reading(s): the connection was lost. Every reading taken is" + where +
                                           ". Check the cable and run again (--reconnect waits for it).");
    case RunEnd::SinkFailed:
        if (writeError == EPIPE) return kExitOk;  // the reader of the pipe has what it wanted
        throw Failure(kExitMeterError, "cannot write " + log.name() + ": " + std::strerror(writeError) + ". " +
                                           (log.toFile() ? "It ends at the last whole record; " : "") +
                                           std::to_string(acquisition.taken()) + " reading(s) were written");
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
    AcquisitionOptions& run = options->run;
    CLI::App* sub = addSubcommand(app, context, "read",
                                  "Take readings with timestamps, as text, CSV or JSON lines");
    sub->add_option("-n,--count", run.count, "Take COUNT readings")
        ->type_name("COUNT")
        ->check(valueCheck("-n", {ValueRule::Whole, 1, 0, false, true, "a whole number"}));
    sub->add_option("--duration", run.duration, "Take readings for SECONDS")
        ->type_name("SECONDS")
        ->check(valueCheck("--duration", {ValueRule::Number, 0, 0, true, true, "a number of seconds"}));
    sub->add_flag("--continuous", run.continuous, "Take readings until Ctrl-C");
    sub->add_option("--interval", run.interval,
                    "Seconds from one reading to the next (default: as fast as the meter answers)")
        ->type_name("SECONDS")
        ->check(valueCheck("--interval", {ValueRule::Number, 0, 0, false, true, "a number of seconds"}));
    sub->add_option("--format", options->format, "Output format: text, csv or jsonl (default: from -o's extension, .csv, .jsonl or .ndjson; else text)")
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
    sub->add_flag("--reconnect", run.reconnect,
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
    sub->add_flag("-q,--quiet", run.quiet, "No summary and no progress line");
    sub->callback([&context, options] {
        context.action = [&context, options] {
            checkCombinations(*options);
            LogFile::check(targetOf(*options));
            Session session(context.meter);
            return runRead(session, *options, context.commandLine);
        };
    });
}
