#include "bitreader.h"

namespace quenda {

bool FindStartCode(BitReader& r) {
  PrimeWindow(r);
  int zeros = 0;
  for (;;) {
    if (zeros == 0 && Exhausted(r)) return false;
    if (GetBit(r)) {
      if (zeros >= 18) return true;
      zeros = 0;
    } else {
      ++zeros;
    }
  }
}

}  // namespace quenda
