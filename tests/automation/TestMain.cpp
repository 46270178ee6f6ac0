// The automation tests run in a UTC zone: the runtime takes the zone from TZ.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

int main(int argc, char** argv) {
  _putenv("TZ=UTC0");
  _tzset();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
