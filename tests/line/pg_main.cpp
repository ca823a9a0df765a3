// main() of the line's test programs: GoogleTest with the private server.
#include <gtest/gtest.h>

#include "pg_support.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new quelmar::testing::PgEnvironment);
  return RUN_ALL_TESTS();
}
