// Registration with a running rpcbind, through the shared libtirpc opened
// only then (see rpcbind_client.cpp).
#pragma once

#include <string>

namespace korvel::cli::serve {

// Opens libtirpc once; "" when it is there, otherwise why not (naming it).
std::string openRpcbindClient();

}  // namespace korvel::cli::serve
