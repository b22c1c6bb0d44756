// Windows: the Korvel DLL loaded at run time with LoadLibrary and reached
// through function pointers typed from the public headers (core/library.h).
#include <windows.h>

#include <cstdlib>
#include <string>

#include "core/failure.h"
#include "core/library.h"

namespace korvel::cli {
namespace {

std::wstring wide(const std::string& text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 1U, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
    out.resize(out.size() - 1);
    return out;
}

std::string narrow(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 1U, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

bool hasFolder(const std::string& path) { return path.find_first_of("/\\:") != std::string::npos; }

std::string systemMessage(DWORD error) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = text != nullptr ? narrow(text) : "error " + std::to_string(error);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}

// FARPROC as the generic function pointer type, which converts to any
// other without a cast warning.
void (*findFunction(void* module, const char* name))() {
    return reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(module), name));
}

}  // namespace

// The explicit path alone when given; otherwise KORVEL_LIBRARY (or
// KORVEL_SIM_LIBRARY), the program's own folder, then the plain name for
// Windows' own search.
std::vector<std::string> libraryCandidates(const LoadRequest& request, const char* environmentPath,
                                           const std::string& programDir) {
    if (!request.explicitPath.empty()) return {request.explicitPath};
    const std::string name = request.simulate ? KORVEL_CLI_SIM_SONAME : KORVEL_CLI_SONAME;
    std::vector<std::string> candidates;
    if (environmentPath != nullptr && *environmentPath != '\0') candidates.emplace_back(environmentPath);
    if (!programDir.empty()) candidates.push_back(programDir + "\\" + name);
    candidates.push_back(name);
    return candidates;
}

std::string programDirectory() {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    if (n == 0 || n >= std::size(path)) return {};
    std::string full = narrow(path);
    const auto slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : full.substr(0, slash);
}

Library Library::load(const LoadRequest& request) {
    const char* environment = std::getenv(request.simulate ? "KORVEL_SIM_LIBRARY" : "KORVEL_LIBRARY");
    const auto candidates = libraryCandidates(request, environment, programDirectory());
    std::string tried;
    for (const auto& candidate : candidates) {
        const bool isFile = hasFolder(candidate);
        if (isFile && GetFileAttributesW(wide(candidate).c_str()) == INVALID_FILE_ATTRIBUTES) {
            tried += "\n  " + candidate + ": no such file";
            continue;
        }
        // A path: its own folder is searched for what it needs (never the
        // current folder's copies).
        HMODULE module = isFile ? LoadLibraryExW(wide(candidate).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
                                : LoadLibraryW(wide(candidate).c_str());
        if (module == nullptr) {
            tried += "\n  " + candidate + ": " + systemMessage(GetLastError());
            continue;
        }
        Library library;
        library.handle_ = module;
        library.path_ = candidate;
        if (!library.bind(findFunction, request, &tried)) continue;
        return library;
    }
    const std::string which = request.simulate ? "the simulated Korvel library" : "the Korvel library";
    throw Failure(kExitMeterError,
                  "cannot load " + which + "; tried:" + tried +
                      "\nKeep korvel.exe next to the Korvel DLLs, or name the library with --library PATH" +
                      (request.simulate ? " (or KORVEL_SIM_LIBRARY)." : " (or KORVEL_LIBRARY)."));
}

}  // namespace korvel::cli
