// pmhost's exit codes, which name what became of a run.
#pragma once

constexpr int kExitOk = 0;
constexpr int kExitHostError = 1;      // usage, files, loading
constexpr int kExitRefused = 2;        // the filter is not enabled for this document
constexpr int kExitModuleError = 3;    // the module returned an error code
constexpr int kExitCancelled = 4;      // the module returned userCanceledErr
constexpr int kExitMisuse = 5;         // the run finished but the module misused the host
constexpr int kExitCrash = 6;
constexpr int kExitTimeout = 7;
