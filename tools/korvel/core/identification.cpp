#include "core/identification.h"

#include "core/text.h"

namespace korvel::cli {

std::string identificationText(const char* bytes, int size) {
    std::string text;
    for (int i = 0; i < size && bytes[i] != '\0'; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        text.push_back(c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?');
    }
    return text;
}

bool identificationCarriesSerial(std::string_view identification, std::string_view serial) {
    const std::string wanted = trim(serial);
    if (wanted.empty()) return false;
    for (const auto& field : commaFields(identification)) {
        if (equalsIgnoringCase(field, wanted)) return true;
    }
    return false;
}

std::string serialOf(std::string_view identification) {
    const auto parts = commaFields(identification);
    return parts.size() >= 3 ? parts[2] : std::string();
}

}  // namespace korvel::cli
