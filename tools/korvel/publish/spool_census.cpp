#include "publish/spool_census.h"

#include <dirent.h>

#include <fstream>
#include <iterator>

#include "publish/spool_state.h"

namespace korvel::cli::publish {
namespace {

std::uint64_t unsentIn(const std::string& data, const std::string& state) {
    SpoolState saved;
    const std::uint64_t head = readState(state, &saved) == StateFile::Read ? saved.head : 0;
    std::ifstream file(data, std::ios::binary);
    if (!file) return 0;
    file.seekg(static_cast<std::streamoff>(head));
    std::uint64_t records = 0;
    for (std::istreambuf_iterator<char> at(file), end; at != end; ++at) records += *at == '\n';
    return records;
}

}  // namespace

std::uint64_t unsentRecords(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return 0;
    std::uint64_t total = 0;
    const std::string suffix = ".spool";
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string serial = name.substr(0, name.size() - suffix.size());
        total += unsentIn(folder + "/" + name, folder + "/" + serial + ".state");
    }
    ::closedir(dir);
    return total;
}

}  // namespace korvel::cli::publish
