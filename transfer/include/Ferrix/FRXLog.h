// Where the library's own log lines (one when a connection is destroyed) are written.
#pragma once

#include <Ferrix/FRXExport.h>

// A descriptor that receives every log line; -1 discards them. Standard error (2) by default.
FRX_EXPORT void FRXSetLogFileDescriptor(int fd);
