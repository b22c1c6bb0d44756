#include "commands/command.h"

namespace korvel::commands {

int encodePayload(const Spec& spec, std::initializer_list<int> args, std::uint8_t* bytes) {
    int n = 0;
    const int* arg = args.begin();
    for (const char* kind = spec.payload; *kind != '\0' && arg != args.end(); ++kind, ++arg) {
        const auto value = static_cast<unsigned>(*arg);
        if (*kind == 'W') bytes[n++] = static_cast<std::uint8_t>(value >> 8);
        bytes[n++] = static_cast<std::uint8_t>(value & 0xFFU);
    }
    return n;
}

int run(MeterHandle handle, const Spec& spec, std::initializer_list<int> args, MB_PDU* response) {
    std::uint8_t payload[wire::kMaxRequestPayload];
    const int n = encodePayload(spec, args, payload);
    return link::commandExchange(handle, static_cast<std::uint8_t>(spec.code), payload, n,
                                 response);
}

}  // namespace korvel::commands
