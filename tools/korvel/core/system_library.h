// System libraries opened only by the subcommands that use them (MQTT for
// publish, Avahi for serve's announcements, line editing for the console),
// so that every other command starts without loading them: libmosquitto's
// OpenSSL alone more than doubles the start-up time of `korvel --version`.
#pragma once

#include <mutex>
#include <string>

namespace korvel::cli {

// One symbol to look up and where its address goes (a function pointer or a
// pointer to a variable, of the type the library's header gives it).
struct SystemSymbol {
    const char* name;
    void* address;  // the pointer variable to fill
};

struct SystemLibrary {
    const char* soname;       // "libmosquitto.so.1"
    const char* package;      // the Debian package that installs it
    const char* variable;     // environment variable naming another file to open instead
    const SystemSymbol* symbols;  // ends with {nullptr, nullptr}
};

// Opens the library and fills every symbol's pointer. Returns "" on success,
// otherwise one sentence naming the library (or the file the variable named),
// the package to install and what is wrong: "who" says what needs it
// ("korvel publish"). The library stays loaded for the life of the process.
std::string openSystemLibrary(const SystemLibrary& library, const char* who);

// A library opened the first time it is asked for, from whichever thread,
// with the outcome kept: a missing library fails every later use with the
// same sentence, and nothing is tried twice.
class LibraryOnDemand {
public:
    LibraryOnDemand(const SystemLibrary& library, const char* who) : library_(library), who_(who) {}
    // "" once the library is open and every symbol filled; else openSystemLibrary's sentence.
    const std::string& error() {
        std::call_once(once_, [this] { error_ = openSystemLibrary(library_, who_); });
        return error_;
    }

private:
    SystemLibrary library_;
    const char* who_;
    std::once_flag once_;
    std::string error_;
};

}  // namespace korvel::cli
