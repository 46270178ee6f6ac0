// Exit code 0 when the modem-status shim works in this process, 1 when not, 2 when
// COM<argument> did not open: lets a test see whether programs it starts inherit the shim.
#include <cstdlib>

#include "tests/support/reader/FakeReader.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int active = quillon_test::TiocmShimActive(atoi(argv[1]));
  return active == 1 ? 0 : active == 0 ? 1 : 2;
}
