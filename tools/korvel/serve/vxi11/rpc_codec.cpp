#include "serve/vxi11/rpc_codec.h"

#include "serve/vxi11/rpc_record.h"

namespace korvel::cli::serve::vxi11 {
namespace {

kv_accepted_reply acceptedHeader(std::uint32_t xid, kv_accept_stat stat) {
    kv_accepted_reply reply{};
    reply.xid = xid;
    reply.mtype = KV_MSG_REPLY;
    reply.reply_stat = KV_MSG_ACCEPTED;
    reply.verf.flavor = KV_AUTH_NONE;
    reply.body.stat = stat;
    return reply;
}

}  // namespace

bool decodeCall(const std::string& record, Decoded<kv_call_header>* header, unsigned* bodyAt) {
    XDR xdr{};
    xdrmem_create(&xdr, const_cast<char*>(record.data()), static_cast<unsigned>(record.size()), XDR_DECODE);
    const bool ok = xdr_kv_call_header(&xdr, &**header) != 0 && (*header)->mtype == KV_MSG_CALL;
    *bodyAt = xdr_getpos(&xdr);
    xdr_destroy(&xdr);
    return ok;
}

void encodeReplyHeader(std::uint32_t xid, kv_accept_stat stat, XDR* xdr, std::string* buffer,
                              std::size_t capacity) {
    buffer->assign(4 + capacity, '\0');  // 4: the record mark
    xdrmem_create(xdr, buffer->data() + 4, static_cast<unsigned>(capacity), XDR_ENCODE);
    kv_accepted_reply reply = acceptedHeader(xid, stat);
    xdr_kv_accepted_reply(xdr, &reply);
}

std::string finishReply(XDR* xdr, std::string* buffer) {
    buffer->resize(4 + xdr_getpos(xdr));
    xdr_destroy(xdr);
    markRecord(buffer);
    return std::move(*buffer);
}

std::string encodeStatus(std::uint32_t xid, kv_accept_stat stat) {
    std::string buffer;
    XDR xdr{};
    encodeReplyHeader(xid, stat, &xdr, &buffer, 64);
    return finishReply(&xdr, &buffer);
}

std::string encodeProgramMismatch(std::uint32_t xid, unsigned version) {
    std::string buffer(4 + 64, '\0');
    XDR xdr{};
    xdrmem_create(&xdr, buffer.data() + 4, 64, XDR_ENCODE);
    kv_accepted_reply reply = acceptedHeader(xid, KV_PROG_MISMATCH);
    reply.body.kv_accepted_body_u.versions = {version, version};
    xdr_kv_accepted_reply(&xdr, &reply);
    return finishReply(&xdr, &buffer);
}

std::string encodeRpcMismatch(std::uint32_t xid) {
    std::string buffer(4 + 64, '\0');
    XDR xdr{};
    xdrmem_create(&xdr, buffer.data() + 4, 64, XDR_ENCODE);
    kv_rejected_reply reply{};
    reply.xid = xid;
    reply.mtype = KV_MSG_REPLY;
    reply.reply_stat = KV_MSG_DENIED;
    reply.reject_stat = 0;  // RPC_MISMATCH
    reply.versions = {KV_RPC_VERSION, KV_RPC_VERSION};
    xdr_kv_rejected_reply(&xdr, &reply);
    return finishReply(&xdr, &buffer);
}

}  // namespace korvel::cli::serve::vxi11
