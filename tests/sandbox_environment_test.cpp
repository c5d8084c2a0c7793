// The integration tests run in the same sandboxed home as the core tests.
#include "testing/sandbox_environment_test.cpp"
