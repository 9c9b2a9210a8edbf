// Symbol visibility for the Ferrix shared library: only what is marked here is exported.
#pragma once

// The interface uses std::optional, std::variant and inline variables.
#if __cplusplus < 201703L
#error "Ferrix needs C++17 or later"
#endif

#define FRX_EXPORT __attribute__((visibility("default")))
