// The numbers a transfer reports: the speed text of one chunk and the progress percentage.
#pragma once

#include <Ferrix/FRXExport.h>

#include <cstdint>
#include <string>

// "%1.2lf MBps" from 1048576 bytes per second up, "%1.2lf KBps" from 1024, else "%1.2lf Bps".
FRX_EXPORT std::string FRXTransferSpeedText(double bytesPerSecond);
// transferred × 100 / size, the size rounded to single precision as it enters the division (so a
// large file's last report can differ from 100 in its last digits). Sizes are 64-bit.
FRX_EXPORT double FRXTransferProgress(std::uint64_t transferred, std::uint64_t size);
