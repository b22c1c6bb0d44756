// libavahi-client, opened when serve first announces itself (see
// avahi_loader.cpp).
#pragma once

#include <string>

namespace korvel::cli::serve {

// Opens the library once; "" when it is there, otherwise why not (naming it).
std::string openAvahi();

}  // namespace korvel::cli::serve
