#include "output.h"

#include "colour.h"

namespace quenda {

namespace {

int Render(DecoderState& s, const FramePlanes& picture, uint8_t* output, int format) {
  RenderRequest request;
  request.picture = picture;
  request.postPlanes = FramePlanes{s.post[0], s.post[1], s.post[2], s.width, s.width / 2};
  request.postProcessing = s.postProc != 0;
  request.postProcFlags = s.postProcFlags;
  request.qpStore = &s.side.qp[0][0];
  request.qpRowLength = kQpStoreRowLength;
  request.width = s.width;
  request.height = s.height;
  return RenderPlanes(request, output, format);
}

}  // namespace

int RenderPicture(DecoderState& s, uint8_t* output, int renderFlag) {
  if (!renderFlag || !output || !s.initialised || !s.cur.y) return 0;
  return Render(s, s.cur, output, s.outputBpp);
}

int RenderLastPicture(DecoderState& s, uint8_t* output, int format, int renderFlag) {
  if (!renderFlag || !output || !s.initialised || !s.haveLast) return 0;
  return Render(s, s.last, output, format);
}

}  // namespace quenda
