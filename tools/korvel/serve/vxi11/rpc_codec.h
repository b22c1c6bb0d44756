// Calls and replies of ONC RPC (version 2) through the XDR routines rpcgen
// made from vxi11.x. Decoded values own memory the XDR routines allocated:
// Decoded<T> gives it back.
#pragma once

#include <cstdint>
#include <string>

#include "vxi11.h"

namespace korvel::cli::serve::vxi11 {

template <class T>
using XdrRoutine = bool_t (*)(XDR*, T*);

// A value decoded by an XDR routine, freed by the same routine.
template <class T>
class Decoded {
public:
    explicit Decoded(XdrRoutine<T> xdrRoutine) : routine_(xdrRoutine), value_{} {}
    ~Decoded() {
        XDR freeing{};
        freeing.x_op = XDR_FREE;
        routine_(&freeing, &value_);
    }
    Decoded(const Decoded&) = delete;
    Decoded& operator=(const Decoded&) = delete;
    T& operator*() { return value_; }
    T* operator->() { return &value_; }
    XdrRoutine<T> routine() const { return routine_; }

private:
    XdrRoutine<T> routine_;
    T value_;
};

// A call's header; *bodyAt is where its arguments begin. False for bytes
// that are no call.
bool decodeCall(const std::string& record, Decoded<kv_call_header>* header, unsigned* bodyAt);

// Decodes a call's arguments, the whole rest of the record.
template <class T>
bool decodeArguments(const std::string& record, unsigned bodyAt, Decoded<T>* out) {
    if (bodyAt > record.size()) return false;
    XDR xdr{};
    xdrmem_create(&xdr, const_cast<char*>(record.data()) + bodyAt, static_cast<unsigned>(record.size() - bodyAt),
                  XDR_DECODE);
    const bool ok = out->routine()(&xdr, &**out) != 0;
    xdr_destroy(&xdr);
    return ok;
}

// A record (its mark included): the accepted reply's header with `stat`,
// then for KV_SUCCESS the result; empty when that does not fit in
// `capacity` bytes. The two steps below are its parts.
void encodeReplyHeader(std::uint32_t xid, kv_accept_stat stat, XDR* xdr, std::string* buffer,
                              std::size_t capacity);
std::string finishReply(XDR* xdr, std::string* buffer);

template <class T>
std::string encodeResult(std::uint32_t xid, XdrRoutine<T> routine, T* result, std::size_t capacity = 512) {
    std::string buffer;
    XDR xdr{};
    encodeReplyHeader(xid, KV_SUCCESS, &xdr, &buffer, capacity);
    if (!routine(&xdr, result)) {
        xdr_destroy(&xdr);
        return {};
    }
    return finishReply(&xdr, &buffer);
}

// An accepted reply without a result: KV_PROC_UNAVAIL, KV_GARBAGE_ARGS,
// KV_PROG_UNAVAIL, or the empty result of a null procedure (KV_SUCCESS).
std::string encodeStatus(std::uint32_t xid, kv_accept_stat stat);
// The program is here in version `version` only.
std::string encodeProgramMismatch(std::uint32_t xid, unsigned version);
// The call spoke another version of RPC itself.
std::string encodeRpcMismatch(std::uint32_t xid);

}  // namespace korvel::cli::serve::vxi11
