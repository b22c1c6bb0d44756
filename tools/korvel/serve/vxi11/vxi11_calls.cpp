// The procedures of the VXI-11 core and abort channels and of the port
// mapper, for Vxi11Server's loop.
#include <netinet/in.h>

#include <cctype>

#include "serve/line_buffer.h"
#include "serve/log.h"
#include "serve/vxi11/rpc_codec.h"
#include "serve/vxi11/vxi11_server.h"

namespace korvel::cli::serve::vxi11 {
namespace {

// VXI-11 error numbers.
constexpr int kNoError = 0;
constexpr int kDeviceNotAccessible = 3;
constexpr int kInvalidLink = 4;
constexpr int kParameterError = 5;
constexpr int kChannelNotEstablished = 6;
constexpr int kNotSupported = 8;
constexpr int kOutOfResources = 9;
constexpr int kLocked = 11;
constexpr int kNoLockHeld = 12;
constexpr int kIoTimeout = 15;
constexpr int kAborted = 23;

// Operation flags and read reasons.
constexpr long kWaitLock = 1;
constexpr long kEnd = 8;
constexpr long kTermCharSet = 128;
constexpr long kReasonCount = 1;
constexpr long kReasonChar = 2;
constexpr long kReasonEnd = 4;

// A message, as device_write gathers it until its END: one line's worth.
constexpr std::size_t kMaxMessage = kMaxLineLength;
// A device_read's answer at most.
constexpr std::size_t kMaxReadChunk = 64 * 1024;
// Lines of one link with the meter at a time (as a socket client's).
constexpr int kLinesAtMeter = 4;
// Links per connection allowed at most, and in all.
constexpr std::size_t kLinksPerConnectionLimit = 16;

// Status byte: message available.
constexpr int kMessageAvailable = 0x10;

using Clock = std::chrono::steady_clock;

Clock::time_point after(Clock::time_point now, unsigned long milliseconds) {
    // Bounded so that the sum cannot overflow (a day is longer than any wait here).
    return now + std::chrono::milliseconds(std::min<unsigned long>(milliseconds, 86'400'000UL));
}

std::string deviceError(std::uint32_t xid, int error) {
    Device_Error result{error};
    return encodeResult(xid, xdr_Device_Error, &result);
}

std::string writeReply(std::uint32_t xid, int error, std::size_t size) {
    Device_WriteResp result{error, static_cast<unsigned long>(size)};
    return encodeResult(xid, xdr_Device_WriteResp, &result);
}

std::string readReply(std::uint32_t xid, int error, long reason, std::string data) {
    Device_ReadResp result{};
    result.error = error;
    result.reason = reason;
    result.data.data_len = static_cast<u_int>(data.size());
    result.data.data_val = data.data();
    return encodeResult(xid, xdr_Device_ReadResp, &result, data.size() + 64);
}

std::string stbReply(std::uint32_t xid, int error, int stb) {
    Device_ReadStbResp result{error, static_cast<u_char>(stb)};
    return encodeResult(xid, xdr_Device_ReadStbResp, &result);
}

std::string createReply(std::uint32_t xid, int error, std::int32_t link, int abortPort) {
    Create_LinkResp result{error, link, static_cast<u_short>(abortPort), static_cast<u_long>(kMaxMessage)};
    return encodeResult(xid, xdr_Create_LinkResp, &result);
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

}  // namespace

void Vxi11Server::call(Connection& c, const std::string& record) {
    Decoded<kv_call_header> header(xdr_kv_call_header);
    unsigned bodyAt = 0;
    if (!decodeCall(record, &header, &bodyAt)) return closeConnection(c, "sent bytes that are no RPC call");
    const std::uint32_t xid = header->xid;
    if (header->rpcvers != KV_RPC_VERSION) return answer(c, encodeRpcMismatch(xid));
    const unsigned program = header->prog;
    if (program == KV_PMAP_PROGRAM) {
        if (header->vers != KV_PMAP_VERSION) return answer(c, encodeProgramMismatch(xid, KV_PMAP_VERSION));
        return answer(c, mapperCall(header->proc, xid, record, bodyAt));
    }
    // The port mapper's port answers for the port mapper alone.
    if (c.mapper || (program != DEVICE_CORE && program != DEVICE_ASYNC)) return answer(c, encodeStatus(xid, KV_PROG_UNAVAIL));
    if (header->vers != 1) return answer(c, encodeProgramMismatch(xid, 1));
    if (program == DEVICE_ASYNC) return answer(c, abortCall(xid, record, bodyAt));
    if (auto reply = coreCall(c, header->proc, xid, record, bodyAt)) answer(c, std::move(*reply));
}

std::string Vxi11Server::mapperCall(std::uint32_t proc, std::uint32_t xid, const std::string& record,
                                    unsigned bodyAt) {
    if (proc == KV_PMAPPROC_NULL) return encodeStatus(xid, KV_SUCCESS);
    if (proc != KV_PMAPPROC_GETPORT) return encodeStatus(xid, KV_PROC_UNAVAIL);
    Decoded<kv_pmap_mapping> mapping(xdr_kv_pmap_mapping);
    if (!decodeArguments(record, bodyAt, &mapping)) return encodeStatus(xid, KV_GARBAGE_ARGS);
    u_int port = mapping->prog == DEVICE_CORE && mapping->vers == DEVICE_CORE_VERSION && mapping->prot == IPPROTO_TCP
                     ? static_cast<u_int>(corePort_)
                     : 0;
    return encodeResult(xid, xdr_u_int, &port);
}

std::string Vxi11Server::abortCall(std::uint32_t xid, const std::string& record, unsigned bodyAt) {
    Decoded<Device_Link> id(xdr_Device_Link);
    if (!decodeArguments(record, bodyAt, &id)) return encodeStatus(xid, KV_GARBAGE_ARGS);
    Link* link = findLink(static_cast<std::int32_t>(*id));
    if (link == nullptr) return deviceError(xid, kInvalidLink);
    // The link's call in progress ends now, with "aborted".
    if (Connection* c = findConnection(link->connection); c != nullptr && c->held.what != Waiting::Nothing &&
                                                           c->held.link == link->id)
        answer(*c, failHeld(c->held, kAborted));
    return deviceError(xid, kNoError);
}

std::optional<std::string> Vxi11Server::coreCall(Connection& c, std::uint32_t proc, std::uint32_t xid,
                                                 const std::string& record, unsigned bodyAt) {
    const auto now = Clock::now();
    Held held;
    held.xid = xid;
    held.proc = proc;
    Link* link = nullptr;
    // The generic operations' arguments, and the check of their link.
    const auto generic = [&]() -> std::optional<std::string> {
        Decoded<Device_GenericParms> parms(xdr_Device_GenericParms);
        if (!decodeArguments(record, bodyAt, &parms)) return encodeStatus(xid, KV_GARBAGE_ARGS);
        link = findLink(static_cast<std::int32_t>(parms->lid));
        if (link == nullptr) return deviceError(xid, kInvalidLink);
        held.what = Waiting::Generic;
        held.link = link->id;
        held.waitLock = (parms->flags & kWaitLock) != 0;
        held.lockDeadline = after(now, parms->lock_timeout);
        held.deadline = after(now, parms->io_timeout);
        return std::nullopt;
    };
    std::optional<std::string> reply;
    switch (proc) {
    case 0: return encodeStatus(xid, KV_SUCCESS);  // the null procedure
    case CREATE_LINK: {
        Decoded<Create_LinkParms> parms(xdr_Create_LinkParms);
        if (!decodeArguments(record, bodyAt, &parms)) return encodeStatus(xid, KV_GARBAGE_ARGS);
        const std::string name = parms->device != nullptr ? parms->device : "";
        std::optional<std::size_t> door;
        for (std::size_t i = 0; i < doors_.size(); ++i) {
            const std::string serial = doors_[i].worker->serial();
            if (equalsIgnoringCase(name, doors_[i].instrumentName()) ||
                (!serial.empty() && equalsIgnoringCase(name, "inst-" + serial)))
                door = i;
        }
        if (!door) return createReply(xid, kDeviceNotAccessible, 0, 0);
        std::size_t own = 0;
        for (const auto& [id, other] : links_) own += other.connection == c.id ? 1 : 0;
        if (own >= kLinksPerConnectionLimit || links_.size() >= 4 * static_cast<std::size_t>(options_.maxClients))
            return createReply(xid, kOutOfResources, 0, 0);
        Link fresh;
        fresh.id = nextLink_;
        nextLink_ = nextLink_ == 0x7FFFFFFF ? 1 : nextLink_ + 1;
        fresh.connection = c.id;
        fresh.door = *door;
        fresh.client = newClientId();
        fresh.stbClient = newClientId();
        link = &links_.emplace(fresh.id, fresh).first->second;
        ++linkCount_;
        held.what = Waiting::CreateLink;
        held.link = link->id;
        held.waitLock = parms->lockDevice != 0;  // waits its lock_timeout for the lock
        held.lockDeadline = held.deadline = after(now, parms->lock_timeout);
        reply = tryCreate(*link, held, now);
        break;
    }
    case DEVICE_WRITE: {
        Decoded<Device_WriteParms> parms(xdr_Device_WriteParms);
        if (!decodeArguments(record, bodyAt, &parms)) return encodeStatus(xid, KV_GARBAGE_ARGS);
        link = findLink(static_cast<std::int32_t>(parms->lid));
        if (link == nullptr) return writeReply(xid, kInvalidLink, 0);
        held.what = Waiting::Write;
        held.link = link->id;
        held.waitLock = (parms->flags & kWaitLock) != 0;
        held.lockDeadline = after(now, parms->lock_timeout);
        held.deadline = after(now, parms->io_timeout);
        held.data.assign(parms->data.data_val, parms->data.data_len);
        held.end = (parms->flags & kEnd) != 0;
        reply = tryWrite(*link, held, now);
        break;
    }
    case DEVICE_READ: {
        Decoded<Device_ReadParms> parms(xdr_Device_ReadParms);
        if (!decodeArguments(record, bodyAt, &parms)) return encodeStatus(xid, KV_GARBAGE_ARGS);
        link = findLink(static_cast<std::int32_t>(parms->lid));
        if (link == nullptr) return readReply(xid, kInvalidLink, 0, {});
        held.what = Waiting::Read;
        held.link = link->id;
        held.waitLock = (parms->flags & kWaitLock) != 0;
        held.lockDeadline = after(now, parms->lock_timeout);
        held.deadline = after(now, parms->io_timeout);
        held.requestSize = static_cast<std::uint32_t>(std::min<unsigned long>(parms->requestSize, kMaxReadChunk));
        if (parms->flags & kTermCharSet) held.termChar = static_cast<unsigned char>(parms->termChar);
        reply = tryRead(*link, held, now);
        break;
    }
    case DEVICE_READSTB:
    case DEVICE_CLEAR:
    case DEVICE_REMOTE:
    case DEVICE_LOCAL:
    case DEVICE_TRIGGER:
        if (auto refused = generic()) return refused;
        if (proc == DEVICE_READSTB) {
            held.what = Waiting::ReadStb;
            reply = tryReadStb(*link, held, now);
        } else {
            reply = tryGeneric(*link, held, now);
        }
        break;
    case DEVICE_LOCK: {
        Decoded<Device_LockParms> parms(xdr_Device_LockParms);
        if (!decodeArguments(record, bodyAt, &parms)) return encodeStatus(xid, KV_GARBAGE_ARGS);
        link = findLink(static_cast<std::int32_t>(parms->lid));
        if (link == nullptr) return deviceError(xid, kInvalidLink);
        held.what = Waiting::Lock;
        held.link = link->id;
        held.waitLock = (parms->flags & kWaitLock) != 0;
        held.lockDeadline = held.deadline = after(now, parms->lock_timeout);
        reply = tryLock(*link, held, now);
        break;
    }
    case DEVICE_UNLOCK:
    case DESTROY_LINK: {
        Decoded<Device_Link> id(xdr_Device_Link);
        if (!decodeArguments(record, bodyAt, &id)) return encodeStatus(xid, KV_GARBAGE_ARGS);
        link = findLink(static_cast<std::int32_t>(*id));
        if (link == nullptr) return deviceError(xid, kInvalidLink);
        if (proc == DESTROY_LINK) {
            destroyLink(link->id);
            return deviceError(xid, kNoError);
        }
        return deviceError(xid, doors_[link->door].lock->release(link->client) ? kNoError : kNoLockHeld);
    }
    case DEVICE_ENABLE_SRQ: return deviceError(xid, kNoError);  // no interrupt channel: never sent
    case DEVICE_DOCMD: return deviceError(xid, kNotSupported);
    case CREATE_INTR_CHAN: return deviceError(xid, kNotSupported);
    case DESTROY_INTR_CHAN: return deviceError(xid, kChannelNotEstablished);
    default: return encodeStatus(xid, KV_PROC_UNAVAIL);
    }
    if (!reply) c.held = held;
    return reply;
}

std::optional<std::string> Vxi11Server::progress(Connection& c, Clock::time_point now) {
    Held& held = c.held;
    Link* link = findLink(held.link);
    if (link == nullptr) return failHeld(held, kInvalidLink);
    switch (held.what) {
    case Waiting::Read: return tryRead(*link, held, now);
    case Waiting::Write: return tryWrite(*link, held, now);
    case Waiting::Lock: return tryLock(*link, held, now);
    case Waiting::CreateLink: return tryCreate(*link, held, now);
    case Waiting::ReadStb: return tryReadStb(*link, held, now);
    case Waiting::Generic: return tryGeneric(*link, held, now);
    case Waiting::Nothing: break;
    }
    return std::string();
}

std::string Vxi11Server::failHeld(const Held& held, int error) {
    switch (held.what) {
    case Waiting::Read: return readReply(held.xid, error, 0, {});
    case Waiting::Write: return writeReply(held.xid, error, 0);
    case Waiting::ReadStb: return stbReply(held.xid, error, 0);
    case Waiting::CreateLink:
        destroyLink(held.link);
        return createReply(held.xid, error, 0, 0);
    case Waiting::Lock:
    case Waiting::Generic:
    case Waiting::Nothing: break;
    }
    return deviceError(held.xid, error);
}

bool Vxi11Server::lockAllows(const Link& link, const Held& held, Clock::time_point now, int* error) const {
    *error = kNoError;
    if (!doors_[link.door].lock->heldByOther(link.client)) return true;
    // pyvisa-py never sets the flag: it learns "locked" at once.
    if (!held.waitLock || now >= held.lockDeadline) *error = kLocked;
    return false;
}

std::optional<std::string> Vxi11Server::tryCreate(Link& link, Held& held, Clock::time_point now) {
    if (held.waitLock && !doors_[link.door].lock->take(link.client)) {
        if (now < held.lockDeadline) return std::nullopt;
        return failHeld(held, kLocked);
    }
    return createReply(held.xid, kNoError, link.id, corePort_);
}

std::optional<std::string> Vxi11Server::tryLock(Link& link, Held& held, Clock::time_point now) {
    if (doors_[link.door].lock->take(link.client)) return deviceError(held.xid, kNoError);
    if (held.waitLock && now < held.lockDeadline) return std::nullopt;
    return deviceError(held.xid, kLocked);
}

std::optional<std::string> Vxi11Server::tryWrite(Link& link, Held& held, Clock::time_point now) {
    int error = kNoError;
    if (!lockAllows(link, held, now, &error)) {
        if (error != kNoError) return writeReply(held.xid, error, 0);
        return std::nullopt;
    }
    if (link.atMeter >= kLinesAtMeter) {
        if (now >= held.deadline) return writeReply(held.xid, kIoTimeout, 0);
        return std::nullopt;
    }
    if (link.message.size() + held.data.size() > kMaxMessage) {
        link.message.clear();  // the whole message is refused
        return writeReply(held.xid, kParameterError, 0);
    }
    link.message += held.data;
    if (held.end) submitMessage(link);
    return writeReply(held.xid, kNoError, held.data.size());
}

std::optional<std::string> Vxi11Server::tryRead(Link& link, Held& held, Clock::time_point now) {
    int error = kNoError;
    if (!lockAllows(link, held, now, &error)) {
        if (error != kNoError) return readReply(held.xid, error, 0, {});
        return std::nullopt;
    }
    if (link.output.empty()) {
        if (held.requestSize == 0) return readReply(held.xid, kNoError, kReasonCount, {});
        if (now >= held.deadline) return readReply(held.xid, kIoTimeout, 0, {});
        return std::nullopt;
    }
    // Each response ends with its line feed, which carries END.
    const std::size_t end = link.output.find('\n') + 1;
    std::size_t count = std::min<std::size_t>(held.requestSize, end);
    long reason = 0;
    if (held.termChar >= 0) {
        const std::size_t at = link.output.find(static_cast<char>(held.termChar));
        if (at != std::string::npos && at < count) {
            count = at + 1;
            reason |= kReasonChar;
        }
    }
    if (count == end) reason |= kReasonEnd;
    if (reason == 0 && count == held.requestSize) reason = kReasonCount;
    std::string data = link.output.substr(0, count);
    link.output.erase(0, count);
    return readReply(held.xid, kNoError, reason, std::move(data));
}

std::optional<std::string> Vxi11Server::tryReadStb(Link& link, Held& held, Clock::time_point now) {
    int error = kNoError;
    if (!lockAllows(link, held, now, &error)) {
        if (error != kNoError) return stbReply(held.xid, error, 0);
        return std::nullopt;
    }
    const int available = link.output.empty() ? 0 : kMessageAvailable;
    MeterWorker& worker = *doors_[link.door].worker;
    if (!held.submitted) {
        // Without the meter, the status byte is the link's own bit.
        if (!worker.connected()) return stbReply(held.xid, kNoError, available);
        link.statusByte.reset();
        worker.submit(link.stbClient, "*STB?", MeterWorker::Vxi11Door);
        held.submitted = true;
    }
    if (link.statusByte) {
        const int stb = (*link.statusByte & ~kMessageAvailable) | available;
        link.statusByte.reset();
        return stbReply(held.xid, kNoError, stb);
    }
    if (now >= held.deadline) return stbReply(held.xid, kIoTimeout, 0);
    return std::nullopt;
}

std::optional<std::string> Vxi11Server::tryGeneric(Link& link, Held& held, Clock::time_point now) {
    int error = kNoError;
    if (!lockAllows(link, held, now, &error)) {
        if (error != kNoError) return deviceError(held.xid, error);
        return std::nullopt;
    }
    switch (held.proc) {
    case DEVICE_CLEAR: clearLink(link); break;
    case DEVICE_TRIGGER: return deviceError(held.xid, kNotSupported);  // the meter has no trigger
    default: break;                                                    // remote, local: nothing to change
    }
    return deviceError(held.xid, kNoError);
}

// A whole message: its lines go to the meter, in order.
void Vxi11Server::submitMessage(Link& link) {
    MeterWorker& worker = *doors_[link.door].worker;
    const ExchangeMode mode{options_.raw, options_.allowService};
    std::size_t start = 0;
    while (start <= link.message.size()) {
        std::size_t stop = link.message.find('\n', start);
        if (stop == std::string::npos) stop = link.message.size();
        std::string line = link.message.substr(start, stop - start);
        start = stop + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (worker.connected() || link.atMeter > 0) {
            // Lines behind one at the meter go there too, so answers keep their order.
            worker.submit(link.client, std::move(line), MeterWorker::Vxi11Door);
            ++link.atMeter;
        } else if (expectsResponse(line, mode)) {
            link.output += kConnectionProblem;
            link.output += '\n';
        }
    }
    link.message.clear();
}

// device_clear: what the link had written, and the responses not yet read,
// are gone.
void Vxi11Server::clearLink(Link& link) {
    MeterWorker& worker = *doors_[link.door].worker;
    link.message.clear();
    link.output.clear();
    link.atMeter -= static_cast<int>(worker.forget(link.client));
    link.discard = link.atMeter;
}

void Vxi11Server::destroyLink(std::int32_t id) {
    Link* link = findLink(id);
    if (link == nullptr) return;
    const MeterDoor& door = doors_[link->door];
    door.lock->release(link->client);
    door.worker->forget(link->client);
    door.worker->forget(link->stbClient);
    links_.erase(id);
    --linkCount_;
}

}  // namespace korvel::cli::serve::vxi11
