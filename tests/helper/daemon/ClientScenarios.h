// Client behaviours run in a signed copy of the test binary: `TEST_BINARY --zeb-client NAME SOCKET`.
#pragma once

namespace zebtest {

// Runs the named scenario when argv asks for one; returns its exit status, or -1 otherwise.
int runClientScenario(int argc, char** argv);

}  // namespace zebtest
