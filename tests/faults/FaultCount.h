// Counts the faults a test binary injects and prints the total when the binary ends, so a run's
// log can be quoted: "faults injected: N".
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

namespace faults {

inline std::atomic<int>& injected() {
  static std::atomic<int> count{0};
  return count;
}

// Call where a fault is actually put in place (a kill, a full disk, a bad connection ...).
inline void inject(int n = 1) { injected() += n; }

class FaultCountPrinter : public testing::Environment {
 public:
  void TearDown() override { std::printf("faults injected: %d\n", injected().load()); }
};

inline void printCountAtEnd() { testing::AddGlobalTestEnvironment(new FaultCountPrinter); }

}  // namespace faults
