// pmap_set and pmap_unset from the shared libtirpc, opened when serve
// registers VXI-11 with a running rpcbind. The XDR routines come from
// libtirpc's static archive (they need nothing else), but its RPC client,
// which these two use, brings GSS-API and Kerberos' five libraries: linked,
// they would load into every subcommand at start. Defined here under their
// own names, they also keep the archive's client objects out of the program.
#include "serve/vxi11/rpcbind_client.h"

#include <rpc/pmap_clnt.h>


#include "core/system_library.h"

namespace korvel::cli::serve {
namespace {

struct Api {
    decltype(&::pmap_set) set = nullptr;
    decltype(&::pmap_unset) unset = nullptr;
};

Api table;

const std::string& loadError() {
    static const SystemSymbol symbols[] = {
        {"pmap_set", &table.set}, {"pmap_unset", &table.unset}, {nullptr, nullptr}};
    static LibraryOnDemand library({"libtirpc.so.3", "libtirpc3", "KORVEL_TIRPC_LIBRARY", symbols},
                                   "korvel serve's VXI-11 registration with rpcbind");
    return library.error();
}

}  // namespace

std::string openRpcbindClient() { return loadError(); }

}  // namespace korvel::cli::serve

// Reached only after openRpcbindClient() said yes; otherwise they refuse.
bool_t pmap_set(u_long program, u_long version, int protocol, int port) {
    using korvel::cli::serve::openRpcbindClient;
    return openRpcbindClient().empty() ? korvel::cli::serve::table.set(program, version, protocol, port) : FALSE;
}

bool_t pmap_unset(u_long program, u_long version) {
    using korvel::cli::serve::openRpcbindClient;
    return openRpcbindClient().empty() ? korvel::cli::serve::table.unset(program, version) : FALSE;
}
