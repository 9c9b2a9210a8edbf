// Symbol visibility for the Ferrix shared library: only what is marked here is exported.
#pragma once

#define FRX_EXPORT __attribute__((visibility("default")))
