#include "core/config_file.h"

#include <sys/stat.h>

#include <cstdlib>
#include <deque>
#include <sstream>

#include "core/option_values.h"

namespace korvel::cli {
namespace {

bool isFile(const std::string& path) {
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

const CLI::App* chosen(const CLI::App& app) {
    const auto subs = app.get_subcommands();
    return subs.empty() ? nullptr : subs.front();
}

bool onCommandLine(const std::string& option, int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == option || word.rfind(option + "=", 0) == 0) return true;
    }
    return false;
}

// key = value, as the file would have it: flags true/false, numbers bare,
// the rest quoted.
std::string valueOf(CLI::Option& option) {
    std::vector<std::string> values = option.reduced_results();
    if (option.get_expected_min() == 0) return option.count() > 0 ? "true" : "false";
    // Not given: the value the option's variable holds, its default.
    if (values.empty()) option.capture_default_str();
    if (values.empty()) {
        if (option.get_default_str().empty()) return "";
        values.push_back(option.get_default_str());
    }
    std::string joined;
    for (const std::string& value : values) {
        const bool number = !value.empty() && parseFinite(value).has_value();
        std::string quoted = "\"";
        for (const char c : value) quoted += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
        joined += (joined.empty() ? "" : ", ") + (number ? value : quoted + "\"");
    }
    return values.size() > 1 ? "[" + joined + "]" : joined;
}

void writeOptions(std::ostream& out, const CLI::App& app, const CLI::App* skipShared) {
    for (const CLI::Option* shown : app.get_options()) {
        auto* option = const_cast<CLI::Option*>(shown);  // capturing the default changes no value
        if (!option->get_configurable() || option->get_name() == "--print-config") continue;
        const std::string key = option->get_single_name();
        // The meter options are bound on every subcommand too: written once, at the top.
        if (skipShared != nullptr && skipShared->get_option_no_throw("--" + key) != nullptr) continue;
        // What was not given shows as a comment with its default, so the
        // output read back as a file sets the same and nothing more.
        const std::string value = valueOf(*option);
        out << (option->count() == 0 ? "# " : "") << key << " =" << (value.empty() ? "" : " " + value) << "\n";
    }
}

}  // namespace

std::string defaultConfigFile() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::string user;
    if (xdg != nullptr && xdg[0] == '/') user = std::string(xdg) + "/korvel/korvel.conf";
    else if (home != nullptr && home[0] != '\0') user = std::string(home) + "/.config/korvel/korvel.conf";
    if (!user.empty() && isFile(user)) return user;
    return isFile("/etc/korvel/korvel.conf") ? "/etc/korvel/korvel.conf" : "";
}

void addConfigOptions(CLI::App& app) {
    app.allow_config_extras(CLI::config_extras_mode::error);
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
        sub->allow_config_extras(CLI::config_extras_mode::error);
        static std::deque<bool> asked;  // read through the option's count
        asked.push_back(false);
        sub->add_flag("--print-config", asked.back(), "Print the settings this command would use (from the command line, the "
                                        "config file and the defaults) as a config file, and exit")
            ->configurable(false);
    }
    app.set_config("--config", defaultConfigFile(),
                   "Read options from FILE (default: $XDG_CONFIG_HOME/korvel/korvel.conf, else "
                   "/etc/korvel/korvel.conf, when there): top-level keys for the options before the command "
                   "(meter = \"KV0002\"), a [read], [publish], [serve] ... section for each command's own; the "
                   "command line wins")
        ->type_name("FILE");
}

bool printConfigAsked(const CLI::App& app) {
    const CLI::App* sub = chosen(app);
    if (sub == nullptr) return false;
    const CLI::Option* flag = sub->get_option_no_throw("--print-config");
    return flag != nullptr && flag->count() > 0;
}

std::string effectiveConfig(const CLI::App& app) {
    std::ostringstream out;
    const std::string file = configFileUsed(app);
    out << "# korvel settings" << (file.empty() ? " (no config file read)" : " (config file " + file + ")") << "\n";
    writeOptions(out, app, nullptr);
    if (const CLI::App* sub = chosen(app)) {
        out << "\n[" << sub->get_name() << "]\n";
        writeOptions(out, *sub, &app);
    }
    return out.str();
}

std::string configFileUsed(const CLI::App& app) {
    const CLI::Option* config = app.get_config_ptr();
    if (config == nullptr) return "";
    if (config->count() > 0) return config->as<std::string>();
    return config->get_default_str();
}

std::string configErrorMessage(const CLI::Error& error, const CLI::App& app, int argc, char** argv,
                               const std::string& optionError) {
    const std::string file = configFileUsed(app);
    if (file.empty()) return "";
    const std::string text = error.what();
    if (dynamic_cast<const CLI::FileError*>(&error) != nullptr)
        return "cannot read the config file " + file + " (--config): " + text;
    if (dynamic_cast<const CLI::ConfigError*>(&error) != nullptr) {
        // "INI was not able to parse read.intervall": the key after the last space.
        const std::string key = text.substr(text.rfind(' ') + 1);
        const std::size_t dot = key.rfind('.');
        const std::string section = dot == std::string::npos ? "" : key.substr(0, dot);
        const std::string name = dot == std::string::npos ? key : key.substr(dot + 1);
        const CLI::App* where = &app;
        if (!section.empty()) {
            try {
                where = app.get_subcommand(section);
            } catch (const CLI::Error&) {
                return file + ": section [" + section + "] is not a korvel command";
            }
        }
        std::vector<std::string> names;
        for (const CLI::Option* option : where->get_options()) {
            if (option->get_configurable()) names.push_back(option->get_single_name());
        }
        const std::string nearest = nearestName(name, names);
        return file + ": " + (section.empty() ? "" : "[" + section + "] ") + name + " is not an option of korvel" +
               (section.empty() ? "" : " " + section) +
               (nearest.empty() ? "" : "; did you mean " + nearest + "?") +
               (text.find("not able to parse") == std::string::npos ? " (" + text + ")" : "");
    }
    // A refused value: from the file when its option is not on the command line.
    const std::string sentence = optionError.empty() ? text : optionError;
    std::string option = sentence.substr(0, sentence.find(' '));
    while (!option.empty() && option.back() == ':') option.pop_back();  // "--port: Value ..."
    if (option.rfind("-", 0) != 0 || onCommandLine(option, argc, argv)) return "";
    const std::string key = option.substr(option.find_first_not_of('-'));
    std::string section;  // "" : a top-level key
    if (app.get_option_no_throw(option) == nullptr) {
        const CLI::App* sub = chosen(app);
        if (sub == nullptr || sub->get_option_no_throw(option) == nullptr) {
            sub = nullptr;  // another command's section
            for (const CLI::App* other : app.get_subcommands({})) {
                if (other->get_option_no_throw(option) != nullptr) {
                    sub = other;
                    break;
                }
            }
        }
        if (sub != nullptr) section = "[" + sub->get_name() + "] ";
    }
    std::string why = sentence;
    if (why.rfind(option + ": ", 0) == 0) why = option + ": " + why.substr(option.size() + 2);
    return file + ": " + section + key + ": " + why;
}

}  // namespace korvel::cli
