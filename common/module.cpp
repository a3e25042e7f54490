// Module runner: ordered start with roll-back, stop in table order.
#include "ztpu/module.h"

#include "ztpu/log.h"

int __init_modules(const module* modules, int count) {
  if (modules == nullptr || count <= 0) return 0;
  for (int i = 0; i < count; ++i) {
    if (modules[i].init == nullptr || modules[i].init() >= 0) continue;
    ztpu_log(LOG_ERR, "module '%s' initialization failed\n",
             modules[i].name != nullptr ? modules[i].name : "");
    for (int j = i - 1; j >= 0; --j) {
      if (modules[j].exit != nullptr) modules[j].exit();
    }
    return -1;
  }
  return 0;
}

void __exit_modules(const module* modules, int count) {
  if (modules == nullptr) return;
  for (int i = 0; i < count; ++i) {
    if (modules[i].exit != nullptr) modules[i].exit();
  }
}
