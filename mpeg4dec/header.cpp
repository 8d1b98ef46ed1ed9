#include "header.h"

namespace quenda {

int ParseVopHeader(DecoderState& s) {
  BitReader& r = s.reader;
  if (!FindStartCode(r)) return 0;
  if (GetBits(r, 8) != kVopStartCode) return 0;

  VopHeader& h = s.vop;
  h.codingType = int(GetBits(r, 2));
  h.parsingType = h.codingType == 2 ? 1 : h.codingType;
  // modulo_time_base: ones ended by a zero; past the bound only ones follow.
  while (GetBit(r)) {
    if (Exhausted(r)) return 0;
  }
  ReadMarkerBit(r);
  GetBits(r, kTimeIncrementBits);
  ReadMarkerBit(r);
  h.coded = int(GetBit(r));
  if (!h.coded) return 1;
  h.roundingType = h.parsingType == 1 ? int(GetBit(r)) : 0;
  GetBits(r, 3);  // intra_dc_vlc_thr: DC is always coded with the size codes
  s.qp = int(GetBits(r, 5));
  if (h.parsingType != 0) {
    // fcode 0 is forbidden; read as 1 rather than shift by -1.
    h.fcode = int(GetBits(r, 3));
    if (h.fcode == 0) h.fcode = 1;
  }
  return 1;
}

}  // namespace quenda
