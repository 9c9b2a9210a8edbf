#include <Ferrix/FRXTransferMath.h>

#include <cstdio>

std::string FRXTransferSpeedText(double bytesPerSecond) {
  // Powers of 1024, as the reports have always used.
  constexpr double kKilo = 1024.0;
  constexpr double kMega = 1048576.0;
  char text[64];
  if (bytesPerSecond >= kMega) {
    std::snprintf(text, sizeof text, "%1.2lf MBps", bytesPerSecond / kMega);
  } else if (bytesPerSecond >= kKilo) {
    std::snprintf(text, sizeof text, "%1.2lf KBps", bytesPerSecond / kKilo);
  } else {
    std::snprintf(text, sizeof text, "%1.2lf Bps", bytesPerSecond);
  }
  return text;
}

double FRXTransferProgress(std::uint64_t transferred, std::uint64_t size) {
  const double roundedSize = static_cast<double>(static_cast<float>(size));
  return static_cast<double>(transferred) * 100.0 / roundedSize;
}
