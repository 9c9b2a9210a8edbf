// Marks what libzeb-client exports; everything else in the library is hidden.
#pragma once

#if defined(ZEB_CLIENT_BUILDING)
#define ZEB_CLIENT_EXPORT __attribute__((visibility("default")))
#else
#define ZEB_CLIENT_EXPORT
#endif
