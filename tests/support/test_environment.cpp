// The paths tests look up in the environment (the source tree, the public
// corpus beside it, the brenix program), set at start-up unless the caller
// already set them, so a test program behaves the same under ctest and by hand.
#include <cstdlib>

namespace {

struct TestEnvironment {
  TestEnvironment() {
    setenv("BRENIX_SOURCE_DIR", BRENIX_TEST_SOURCE_DIR, 0);
    setenv("BRENIX_CORPUS_DIR", BRENIX_TEST_CORPUS_DIR, 0);
    setenv("BRENIX_CLI", BRENIX_TEST_CLI, 0);
  }
};

const TestEnvironment environment;

}  // namespace
