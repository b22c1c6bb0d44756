// korvel eeprom dump|verify|restore: backup and restore of the meter's
// non-volatile memory (it holds the calibration) as raw binary images.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/subcommand.h"
#include "core/stop_signals.h"
#include "core/memory_image.h"
#include "core/failure.h"
#include "core/identification.h"
#include "core/text.h"

namespace korvel::cli {
namespace {

struct EepromOptions {
    std::string file;    // dump: -o FILE; verify and restore: the image
    std::string start;   // --start ADDRESS
    std::string length;  // --length BYTES (dump)
    std::string size;    // --size BYTES: the meter's memory size
    bool yes = false;    // restore: --yes
    bool force = false;  // dump: --force
    bool otherMeter = false;  // restore: --other-meter
};

// FILE, --start and --size: how verify and restore take an image.
void addImageOptions(CLI::App* app, EepromOptions& options, const char* sizeHelp) {
    app->add_option("FILE", options.file, "The image file")->required();
    app->add_option("--start", options.start,
                    "Where the image starts (without it, the image must be the whole memory)")
        ->type_name("ADDRESS");
    app->add_option("--size", options.size, sizeHelp)->type_name("BYTES");
}

std::string hex(long long address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04llX", address);
    return text;
}

std::optional<long long> numberOption(const std::string& text, const char* option) {
    if (text.empty()) return std::nullopt;
    const auto value = parseNumber(text);
    if (!value) {
        throw Failure(kExitUsage, std::string(option) + " takes a number (decimal, or hexadecimal after 0x), not '" +
                                      text + "'");
    }
    return value;
}

// The memory size: --size, else the simulated meter's own, else the size of
// a real meter's memory.
int memorySize(Session& session, const Meter& meter, const EepromOptions& options, bool* defaulted) {
    *defaulted = false;
    if (const auto size = numberOption(options.size, "--size")) {
        if (*size < 1 || *size > kEepromAddressLimit)
            throw Failure(kExitUsage, "--size must be 1 to 65536 bytes");
        return static_cast<int>(*size);
    }
    if (const SimBench* bench = session.bench()) {
        const int size = bench->memorySize(meter);
        if (size > 0) return size;
    }
    *defaulted = true;
    return kDefaultEepromSize;
}

std::string sizeNote(int size, bool defaulted) {
    return defaulted ? " (memory size " + std::to_string(size) + " bytes, the usual size; --size sets another)" : "";
}

// A progress line on standard error when it is a terminal.
Progress progressLine(const char* verb) {
    if (isatty(STDERR_FILENO) == 0) return {};
    return [verb](int done, int total) {
        std::fprintf(stderr, "\r%s %d of %d bytes\033[K", verb, done, total);
        if (done >= total) std::fprintf(stderr, "\r\033[K");
    };
}

std::vector<std::uint8_t> readImage(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure(kExitUsage, "cannot open " + path + ": " + std::strerror(errno));
    std::vector<std::uint8_t> bytes;
    char buffer[4096];
    // No image is larger than the 16-bit address space; read one byte more
    // to tell.
    while (in && bytes.size() <= static_cast<size_t>(kEepromAddressLimit)) {
        in.read(buffer, sizeof buffer);
        bytes.insert(bytes.end(), buffer, buffer + in.gcount());
    }
    if (bytes.size() > static_cast<size_t>(kEepromAddressLimit))
        throw Failure(kExitUsage, path + " is larger than any meter's memory (64 KiB): it is not a memory image");
    return bytes;
}

// Where the image goes in this meter's memory; refuses what does not fit.
int placeOrRefuse(const std::string& path, size_t imageSize, const EepromOptions& options, int size,
                  bool defaulted) {
    const auto start = numberOption(options.start, "--start");
    std::optional<int> at;
    if (start) {
        if (*start >= kEepromAddressLimit) throw Failure(kExitUsage, "--start must be below 0x10000");
        at = static_cast<int>(*start);
    }
    const Placement placement = placeImage(static_cast<long long>(imageSize), at, size);
    if (!placement.refusal.empty())
        throw Failure(kExitUsage, "refusing " + path + ": " + placement.refusal + sizeNote(size, defaulted));
    return placement.start;
}

struct Difference {
    long long count = 0;
    std::string firstFew;
};

Difference compare(const std::vector<std::uint8_t>& meter, const std::vector<std::uint8_t>& image, int start) {
    Difference d;
    for (size_t i = 0; i < image.size() && i < meter.size(); ++i) {
        if (meter[i] == image[i]) continue;
        if (++d.count <= 8) {
            char line[96];
            std::snprintf(line, sizeof line, "  %s: meter 0x%02X, file 0x%02X\n",
                          hex(start + static_cast<long long>(i)).c_str(), meter[i], image[i]);
            d.firstFew += line;
        }
    }
    return d;
}

bool toStandardOutput(const std::string& path) { return path == "-"; }

// Refuses what the dump could not or should not write, before the meter is
// read: an existing file without --force, a folder, binary on a terminal.
void checkDumpTarget(const EepromOptions& options) {
    if (toStandardOutput(options.file)) {
        if (isatty(STDOUT_FILENO) != 0)
            throw Failure(kExitUsage, "-o - writes the binary image to standard output, which is a terminal: "
                                      "redirect it (> backup.bin) or give -o FILE");
        return;
    }
    struct stat info{};
    if (::stat(options.file.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) throw Failure(kExitUsage, "cannot write " + options.file + ": it is a folder");
    if (S_ISREG(info.st_mode) && !options.force)
        throw Failure(kExitUsage, options.file + " exists: give --force to overwrite it (a backup is kept "
                                                 "until the new one is complete)");
}

int writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Written beside the target and renamed at the end, so a failed dump never
// leaves a short file that looks like a backup (nor spoils the old one).
void writeImage(const std::string& path, const std::vector<std::uint8_t>& bytes, bool force) {
    if (toStandardOutput(path)) {
        if (const int error = writeAll(STDOUT_FILENO, bytes); error != 0)
            throw Failure(kExitMeterError, std::string("cannot write standard output: ") + std::strerror(error));
        return;
    }
    // A device or FIFO (/dev/null, a pipe) is written to directly: renaming
    // a file over it would replace it.
    struct stat info{};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        int error = fd < 0 ? errno : writeAll(fd, bytes);
        if (fd >= 0 && ::close(fd) != 0 && error == 0) error = errno;
        if (error != 0) throw Failure(kExitUsage, "cannot write " + path + ": " + std::strerror(error));
        return;
    }
    const std::string partial = path + ".part";
    const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int error = errno;  // before anything else can change it
        throw Failure(kExitUsage, "cannot write " + path + ": " + std::strerror(error));
    }
    int error = writeAll(fd, bytes);
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    // Without --force the target must still be free: another program may
    // have made it meanwhile.
    if (error == 0 && !force && ::link(partial.c_str(), path.c_str()) != 0) {
        error = errno;
        // A file system without hard links (FAT): check, then rename.
        struct stat other{};
        if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS)
            error = ::stat(path.c_str(), &other) == 0 ? EEXIST : 0;
        if (error == 0 && ::rename(partial.c_str(), path.c_str()) != 0) error = errno;
    } else if (error == 0 && force && ::rename(partial.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    ::unlink(partial.c_str());
    if (error == EEXIST) throw Failure(kExitUsage, path + " exists: give --force to overwrite it");
    if (error != 0) throw Failure(kExitUsage, "cannot write " + path + ": " + std::strerror(error));
}

int runDump(Session& session, const EepromOptions& options) {
    checkDumpTarget(options);
    Meter meter = session.open();
    bool defaulted = false;
    const int size = memorySize(session, meter, options, &defaulted);
    const long long start = numberOption(options.start, "--start").value_or(0);
    if (start >= size)
        throw Failure(kExitUsage, "--start " + hex(start) + " lies beyond the memory (" + std::to_string(size) +
                                      " bytes)" + sizeNote(size, defaulted));
    const long long length = numberOption(options.length, "--length").value_or(size - start);
    if (length < 1 || length > size - start)
        throw Failure(kExitUsage, "--length " + std::to_string(length) + " from " + hex(start) +
                                      " runs past the memory's end (" + std::to_string(size) + " bytes)" +
                                      sizeNote(size, defaulted));

    EepromAccess memory(session.api(), meter.handle());
    const auto bytes = memory.read(static_cast<int>(start), static_cast<int>(length), progressLine("reading"));

    writeImage(options.file, bytes, options.force);
    // With the image on standard output, the report goes to standard error.
    std::fprintf(toStandardOutput(options.file) ? stderr : stdout, "saved %lld bytes (%s to %s) of meter %s to %s%s\n", length, hex(start).c_str(),
                hex(start + length - 1).c_str(), meter.serial().c_str(),
                toStandardOutput(options.file) ? "standard output" : options.file.c_str(),
                sizeNote(size, defaulted).c_str());
    return kExitOk;
}

int runVerify(Session& session, const EepromOptions& options) {
    const auto image = readImage(options.file);
    Meter meter = session.open();
    bool defaulted = false;
    const int size = memorySize(session, meter, options, &defaulted);
    const int start = placeOrRefuse(options.file, image.size(), options, size, defaulted);
    EepromAccess memory(session.api(), meter.handle());
    const auto bytes = memory.read(start, static_cast<int>(image.size()), progressLine("reading"));
    const Difference d = compare(bytes, image, start);
    const long long end = start + static_cast<long long>(image.size()) - 1;
    if (d.count == 0) {
        std::printf("the meter's memory matches %s (%zu bytes, %s to %s)\n", options.file.c_str(), image.size(),
                    hex(start).c_str(), hex(end).c_str());
        return kExitOk;
    }
    std::printf("%lld of %zu bytes differ between the meter's memory and %s:\n%s%s", d.count, image.size(),
                options.file.c_str(), d.firstFew.c_str(), d.count > 8 ? "  ...\n" : "");
    std::fflush(stdout);
    throw Failure(kExitMeterError, "the meter's memory does not match " + options.file);
}

// The identification text (maker, model, serial, firmware) the meter keeps
// at the start of its memory.
constexpr int kIdentificationSize = 40;

// The serial number an image carries ("" when it does not hold the whole
// identification area).
std::string imageSerial(const std::vector<std::uint8_t>& image, int start) {
    if (start != 0 || image.size() < static_cast<size_t>(kIdentificationSize)) return {};
    return serialOf(identificationText(reinterpret_cast<const char*>(image.data()), kIdentificationSize));
}

// An image from another meter would give this one its serial number and
// calibration: refused unless asked for. A partial image is judged by the
// bytes it would write into the identification area: they must be the ones
// this meter holds there.
void checkSameMeter(Session& session, const EepromOptions& options, const std::vector<std::uint8_t>& image, int start,
                    const Meter& meter) {
    if (options.otherMeter) return;
    const std::string ours = meter.serial();
    const std::string theirs = imageSerial(image, start);
    if (!theirs.empty()) {
        if (equalsIgnoringCase(trim(theirs), trim(ours))) return;
        throw Failure(kExitUsage, options.file + " is the memory of meter " + theirs + ", but this is meter " +
                                      (ours.empty() ? "(no serial number)" : ours) +
                                      ": restoring it would give this meter another's serial number and "
                                      "calibration. Give --other-meter to do it anyway");
    }
    const int from = std::max(start, 0);
    const int to = std::min(start + static_cast<int>(image.size()), kIdentificationSize);
    if (from >= to) return;  // the image stays clear of the identification area
    const std::vector<std::uint8_t> held = EepromAccess(session.api(), meter.handle()).read(from, to - from);
    if (std::equal(held.begin(), held.end(), image.begin() + (from - start))) return;
    throw Failure(kExitUsage, options.file + " would rewrite bytes " + hex(from) + " to " + hex(to - 1) +
                                  " of the identification area (maker, model, serial number) with bytes this "
                                  "meter (" + (ours.empty() ? "no serial number" : ours) +
                                  ") does not hold there: it looks like part of another meter's memory. Give "
                                  "--other-meter to do it anyway");
}

// Writes chunk by chunk, reading each back before the next; a held signal
// stops the restore between chunks.
void writeAndVerify(Session& session, Meter& meter, const std::vector<std::uint8_t>& image, int start) {
    EepromAccess memory(session.api(), meter.handle());
    const Progress progress = progressLine("writing");
    const int total = static_cast<int>(image.size());
    // Ctrl-C, SIGTERM and SIGHUP: held until the chunk being written is
    // written and read back (the exchange in progress goes on), then the
    // restore stops there; a further one stays held until it has said where.
    SignalPolicy policy;
    policy.further = FurtherSignal::Held;
    policy.restartCalls = true;
    StopSignals held(policy);
    int done = 0;
    for (const Chunk& chunk : planChunks(start, total)) {
        const auto from = image.begin() + (chunk.address - start);
        const std::vector<std::uint8_t> piece(from, from + chunk.count);
        std::vector<std::uint8_t> readBack;
        try {
            memory.write(chunk.address, piece);
            readBack = memory.read(chunk.address, chunk.count);
        } catch (const Failure& failure) {
            if (progress) std::fprintf(stderr, "\r\033[K");
            throw Failure(failure.exitCode(),
                          std::string(failure.what()) + ". " + std::to_string(done) + " of " +
                              std::to_string(total) + " bytes were written and verified: the memory from " +
                              hex(chunk.address) + " to " + hex(start + total - 1) +
                              " may hold old or new bytes, so it is partly written. Reconnect the meter and run "
                              "the restore again to complete it");
        }
        const Difference d = compare(readBack, piece, chunk.address);
        if (d.count != 0) {
            std::printf("after writing, %lld bytes read back differently:\n%s", d.count, d.firstFew.c_str());
            std::fflush(stdout);
            throw Failure(kExitMeterError, "the restore did not hold at " + hex(chunk.address) +
                                               ": the meter's memory from " + hex(start) +
                                               " on is partly written. Run the restore again; if it fails "
                                               "again the meter needs service");
        }
        done += chunk.count;
        if (progress) progress(done, total);
        if (held.stopping() && done < total) {
            held.keepUntilExit();
            if (progress) std::fprintf(stderr, "\r\033[K");
            throw Failure(kExitMeterError,
                          std::string("stopped by ") + StopSignals::name(held.signal()) + " after " + std::to_string(done) +
                              " of " + std::to_string(total) + " bytes were written and verified: the memory from " +
                              hex(start + done) + " to " + hex(start + total - 1) +
                              " still holds its old bytes, so it is partly written. Run the restore again to "
                              "complete it");
        }
    }
}

int runRestore(Session& session, const EepromOptions& options) {
    if (!options.yes) {
        throw Failure(kExitUsage, "restore overwrites the meter's non-volatile memory, which holds its "
                                  "calibration. Check that " + options.file +
                                  " is this meter's backup ('korvel eeprom verify " + options.file +
                                  "' shows what would change), then add --yes");
    }
    const auto image = readImage(options.file);
    Meter meter = session.open();
    bool defaulted = false;
    const int size = memorySize(session, meter, options, &defaulted);
    const int start = placeOrRefuse(options.file, image.size(), options, size, defaulted);
    checkSameMeter(session, options, image, start, meter);
    writeAndVerify(session, meter, image, start);
    std::printf("restored %zu bytes (%s to %s) of meter %s from %s and verified every byte\n", image.size(),
                hex(start).c_str(), hex(start + static_cast<long long>(image.size()) - 1).c_str(),
                meter.serial().c_str(), options.file.c_str());
    return kExitOk;
}

using Runner = int (*)(Session&, const EepromOptions&);

void bind(CLI::App* sub, Context& context, std::shared_ptr<EepromOptions> options, Runner run) {
    sub->callback([&context, options, run] {
        context.action = [&context, options, run] {
            Session session(context.meter);
            return run(session, *options);
        };
    });
}

}  // namespace
}  // namespace korvel::cli

void add_eeprom_command(CLI::App& app, korvel::cli::Context& context) {
    using namespace korvel::cli;
    CLI::App* eeprom = addSubcommand(app, context, "eeprom",
                                     "Back up, check and restore the meter's memory (it holds the calibration)");
    eeprom->require_subcommand(1);
    const char* sizeHelp = "The meter's memory size in bytes (default: the simulated meter's own, 2048 for a "
                           "real meter)";

    auto dump = std::make_shared<EepromOptions>();
    CLI::App* d = addSubcommand(*eeprom, context, "dump",
                                "Save the meter's memory (or part of it) to FILE");
    d->add_option("-o,--output", dump->file, "The image file to write ('-': standard output)")
        ->type_name("FILE")
        ->required();
    d->add_flag("--force", dump->force, "Overwrite an existing FILE");
    d->add_option("--start", dump->start, "First address (default 0)")->type_name("ADDRESS");
    d->add_option("--length", dump->length, "Bytes to save (default: to the end)")->type_name("BYTES");
    d->add_option("--size", dump->size, sizeHelp)->type_name("BYTES");
    bind(d, context, dump, runDump);

    auto verify = std::make_shared<EepromOptions>();
    CLI::App* v = addSubcommand(*eeprom, context, "verify",
                                "Compare the meter's memory with an image; exit code 1 when they differ");
    addImageOptions(v, *verify, sizeHelp);
    bind(v, context, verify, runVerify);

    auto restore = std::make_shared<EepromOptions>();
    CLI::App* r = addSubcommand(*eeprom, context, "restore",
                                "Write an image back into the meter's memory, reading every chunk back to verify it");
    addImageOptions(r, *restore, sizeHelp);
    r->add_flag("--yes", restore->yes, "Really overwrite the meter's memory");
    r->add_flag("--other-meter", restore->otherMeter,
                "Restore an image that carries another meter's serial number (it then takes that serial "
                "number and calibration)");
    bind(r, context, restore, runRestore);
}
