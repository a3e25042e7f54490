// Module runner: ordered start with roll-back, stop in reverse order.
#include "ztpu/module.h"

#include "ztpu/log.h"

namespace {

void stop(const module& m) {
  if (m.exit == nullptr) return;
  m.exit();
  ztpu_log(LOG_INFO, "module '%s' stopped\n", m.name != nullptr ? m.name : "");
}

}  // namespace

int __init_modules(const module* modules, int count) {
  if (modules == nullptr || count <= 0) return 0;
  for (int i = 0; i < count; ++i) {
    if (modules[i].init == nullptr || modules[i].init() >= 0) continue;
    ztpu_log(LOG_ERR, "module '%s' initialization failed\n",
             modules[i].name != nullptr ? modules[i].name : "");
    for (int j = i - 1; j >= 0; --j) stop(modules[j]);
    return -1;
  }
  return 0;
}

// Later modules use earlier ones (the server link's threads read the
// configuration and call the security store until they are joined), so
// the last started stops first.
void __exit_modules(const module* modules, int count) {
  if (modules == nullptr) return;
  for (int i = count - 1; i >= 0; --i) stop(modules[i]);
}
