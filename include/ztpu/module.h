// Generic runner of an ordered table of modules with start and stop operations.
#pragma once

struct module {
  const char* name;  // used in the failure message
  int (*init)();     // NULL: nothing to start; a negative result is a failure
  void (*exit)();    // NULL: nothing to stop
};

// Starts modules[0..count) in order. On a failing start the failure is logged
// with the module's name and the modules already started are stopped, nearest
// first (each logged as stopped); later ones are not started. 0 (also for count <= 0), or -1.
int __init_modules(const module* modules, int count);

// Stops modules[0..count) in reverse order, last to first, logging
// "module '%s' stopped" for each stop operation called.
void __exit_modules(const module* modules, int count);
