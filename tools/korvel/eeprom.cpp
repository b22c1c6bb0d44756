// korvel eeprom dump|verify|restore: backup and restore of the meter's
// non-volatile memory (it holds the calibration) as raw binary images.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/command.h"
#include "core/eeprom.h"
#include "core/failure.h"

namespace korvel::cli {
namespace {

struct EepromOptions {
    std::string file;    // dump: -o FILE; verify and restore: the image
    std::string start;   // --start ADDRESS
    std::string length;  // --length BYTES (dump)
    std::string size;    // --size BYTES: the meter's memory size
    bool yes = false;    // restore: --yes
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
    if (session.simulated()) {
        const int index = session.simulatedIndex(meter);
        const int size = index >= 0 ? session.api().korvelSimEepromSize(index) : -1;
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

int runDump(Session& session, const EepromOptions& options) {
    Meter meter = session.open();
    session.armUnplug(meter);
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

    // Written beside the target and renamed at the end, so a failed dump
    // never leaves a short file that looks like a backup.
    const std::string partial = options.file + ".part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(partial, ignored);
            throw Failure(kExitUsage, "cannot write " + options.file + ": " + std::strerror(errno));
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, options.file, error);
    if (error) {
        std::filesystem::remove(partial, error);
        throw Failure(kExitUsage, "cannot write " + options.file + ": " + error.message());
    }
    std::printf("saved %lld bytes (%s to %s) of meter %s to %s%s\n", length, hex(start).c_str(),
                hex(start + length - 1).c_str(), meter.serial().c_str(), options.file.c_str(),
                sizeNote(size, defaulted).c_str());
    return kExitOk;
}

int runVerify(Session& session, const EepromOptions& options) {
    const auto image = readImage(options.file);
    Meter meter = session.open();
    session.armUnplug(meter);
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

int runRestore(Session& session, const EepromOptions& options) {
    if (!options.yes) {
        throw Failure(kExitUsage, "restore overwrites the meter's non-volatile memory, which holds its "
                                  "calibration. Check that " + options.file +
                                  " is this meter's backup ('korvel eeprom verify " + options.file +
                                  "' shows what would change), then add --yes");
    }
    const auto image = readImage(options.file);
    Meter meter = session.open();
    session.armUnplug(meter);
    bool defaulted = false;
    const int size = memorySize(session, meter, options, &defaulted);
    const int start = placeOrRefuse(options.file, image.size(), options, size, defaulted);
    EepromAccess memory(session.api(), meter.handle());
    memory.write(start, image, progressLine("writing"));
    const auto readBack = memory.read(start, static_cast<int>(image.size()), progressLine("verifying"));
    const Difference d = compare(readBack, image, start);
    if (d.count != 0) {
        std::printf("after the restore %lld bytes read back differently:\n%s", d.count, d.firstFew.c_str());
        std::fflush(stdout);
        throw Failure(kExitMeterError, "the restore did not hold: the meter's memory does not match " +
                                           options.file + ". Run the restore again; if it fails again the "
                                           "meter needs service");
    }
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
    CLI::App* eeprom = addSubcommand(
        app, context, "eeprom",
        "Back up, check and restore the meter's non-volatile memory (it holds the calibration) as raw "
        "binary images",
        "  korvel eeprom dump -o backup.bin\n"
        "  korvel eeprom verify backup.bin\n"
        "  korvel eeprom restore backup.bin --yes\n"
        "  korvel eeprom dump -o probe.bin --start 0x100 --length 64\n");
    eeprom->require_subcommand(1);
    const char* sizeHelp = "The meter's memory size in bytes (default: the simulated meter's own, 2048 for a "
                           "real meter)";

    auto dump = std::make_shared<EepromOptions>();
    CLI::App* d = addSubcommand(*eeprom, context, "dump", "Save the meter's memory (or part of it) to FILE",
                                "  korvel eeprom dump -o backup.bin\n"
                                "  korvel eeprom dump -o part.bin --start 0x100 --length 64\n");
    d->add_option("-o,--output", dump->file, "The image file to write")->type_name("FILE")->required();
    d->add_option("--start", dump->start, "First address (default 0)")->type_name("ADDRESS");
    d->add_option("--length", dump->length, "Bytes to save (default: to the end)")->type_name("BYTES");
    d->add_option("--size", dump->size, sizeHelp)->type_name("BYTES");
    bind(d, context, dump, runDump);

    auto verify = std::make_shared<EepromOptions>();
    CLI::App* v = addSubcommand(*eeprom, context, "verify",
                                "Compare the meter's memory with an image; exit code 1 when they differ",
                                "  korvel eeprom verify backup.bin\n"
                                "  korvel eeprom verify part.bin --start 0x100\n");
    addImageOptions(v, *verify, sizeHelp);
    bind(v, context, verify, runVerify);

    auto restore = std::make_shared<EepromOptions>();
    CLI::App* r = addSubcommand(
        *eeprom, context, "restore",
        "Write an image back into the meter's memory, then read every byte back to verify it",
        "  korvel eeprom restore backup.bin --yes\n"
        "  korvel eeprom restore part.bin --start 0x100 --yes\n");
    addImageOptions(r, *restore, sizeHelp);
    r->add_flag("--yes", restore->yes, "Really overwrite the meter's memory");
    bind(r, context, restore, runRestore);
}
