#include "link/exchange.h"

#include "link/usb_api.h"

#include <cstring>

#include "link/frame.h"
#include "link/handle_table.h"
#include "link/protocol.h"

namespace korvel::link {

using namespace wire;

int transact(MeterHandle handle, const MB_PDU& request, MB_PDU* response, bool clearUndelivered) {
    HeldConnection held(handle);
    if (!held) return -1;
    // libusb-0.1 takes char*; the request bytes are only read.
    char* out = const_cast<char*>(reinterpret_cast<const char*>(request.frame));
    if (usb_bulk_write(held.device(), kEndpointOut, out, kTransferSize, kWriteTimeoutMs) <= 0) {
        held.close();
        return -1;
    }
    const int got = usb_bulk_read(held.device(), kEndpointIn,
                                  reinterpret_cast<char*>(response->frame), kTransferSize,
                                  kReadTimeoutMs);
    if (got <= 0) {
        held.close();
        return -1;
    }
    const int delivered = got > kTransferSize ? kTransferSize : got;
    // After a short read, zero what the meter did not send (bytes 60 to 63 of
    // a full transfer lie past every position a command decodes).
    if (clearUndelivered && delivered < kTransferSize)
        std::memset(response->frame + delivered, 0, sizeof response->frame - static_cast<std::size_t>(delivered));
    if (!mbValidateResponse(response, delivered)) {
        held.close();
        return -1;
    }
    return 0;
}

int commandExchange(MeterHandle handle, std::uint8_t command, const std::uint8_t* payload,
                    int count, MB_PDU* response) {
    MB_PDU request;
    mbBuildRequest(&request, command, payload, count);
    return transact(handle, request, response, true);
}

}  // namespace korvel::link

KORVEL_API int mtrTransaction(MeterHandle handle, MB_PDU* request, MB_PDU* response) {
    if (request == nullptr || response == nullptr) return -1;
    return korvel::link::transact(handle, *request, response);
}
