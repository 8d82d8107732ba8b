// The lifetime scenario: many load, run and unload cycles of one module in
// one process, with the process-wide resources a module can leak measured
// before and after.
#pragma once

#include <string>

struct LifetimeReport {
  std::string error;  // a cycle failed (load, run, misuse)
  bool grew = false;  // a resource grew past its allowance
  std::string text;   // the measurements, for people
};

LifetimeReport RunLifetime(const std::string& module, int cycles);
