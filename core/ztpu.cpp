// Module table of the device's background services.
#include "ztpu/ztpu.h"

#include <iterator>

#include "ztpu/mconf.h"
#include "ztpu/module.h"
#include "ztpu/phone.h"
#include "ztpu/security.h"
#include "ztpu/server.h"

namespace {

// Start order matters: later modules read configuration items and call
// security functions as soon as their threads run.
const module module_table[] = {
    {"mconf", mconf_init, mconf_exit},
    {"security", security_init, security_exit},
    {"phone", phone_init, phone_exit},
    {"server", server_init, server_exit},
};

constexpr int module_count = static_cast<int>(std::size(module_table));

}  // namespace

int ztpu_init() { return __init_modules(module_table, module_count); }

// Stops in reverse: the server link and the receiver are joined before the
// configuration and the key tables they read go away.
void ztpu_exit() { __exit_modules(module_table, module_count); }
