// The library's exported C interface: thin wrappers that set the per-call
// state and go through the option dispatcher, as the library always has.
#define QUENDA_BUILDING 1
#include "quenda.h"

#include "decoder.h"
#include "output.h"

using namespace quenda;

namespace {

constexpr int kInitWidth = 320;
constexpr int kInitHeight = 240;
constexpr int kInitFormat = 32;

int32_t Initialise() {
  DecoderParams params{kInitWidth, kInitHeight, kInitFormat};
  const int32_t rc = DecoderDispatch(1, kOptionSetup, &params, &params, nullptr);
  if (rc != kSetupOk) return rc;
  DecoderState& s = g_decoder;
  s.outputBpp = kInitFormat;
  s.output = nullptr;
  DecoderPostProcSetting off{0};
  DecoderDispatch(1, kOptionPostProc, &off, &off, nullptr);
  return 0;
}

// Points the reader at the buffer under the bound of DecoderSetInputSize,
// which holds for this one call.
void BeginCall(DecoderState& s, const uint8_t* buffer, void* output) {
  s.output = static_cast<uint8_t*>(output);
  StartBuffer(s.reader, buffer, s.nextInputBound);
  s.nextInputBound = kUnbounded;
}

int32_t Decode(DecoderState& s, void* output) {
  DecoderFrameRequest request{output, 1};
  DecoderDispatch(1, 0, &request, &request, output);
  return int32_t(ConsumedBytes(s.reader));
}

void UseCallerStores(DecoderState& s, uint8_t* reference, uint8_t* current) {
  s.ref = CallerStorePlanes(reference, s.width, s.height);
  s.cur = CallerStorePlanes(current, s.width, s.height);
}

}  // namespace

extern "C" {

int32_t Decoder_Init(void) {
  const int32_t rc = Initialise();
  if (rc == 0) ResetBitReader(g_decoder.reader);
  return rc;
}

int32_t Decoder_Init_old(void* output) {
  const int32_t rc = Initialise();
  g_decoder.initOutput = output;
  return rc;
}

int32_t DecoderFrame(const uint8_t* buffer, int32_t mode, void* output) {
  DecoderState& s = g_decoder;
  if (!s.initialised || !buffer) return 0;
  s.outputBpp = int(uint32_t(mode) & 0xFFFF);
  const uint32_t high = uint32_t(mode) >> 16;
  s.postProc = high != 0;
  s.postProcFlags = high & 0xF;
  BeginCall(s, buffer, output);
  return Decode(s, output);
}

int32_t DecoderFrame_old(const uint8_t* buffer) {
  DecoderState& s = g_decoder;
  if (!s.initialised || !buffer) return 0;
  ResetBitReader(s.reader);
  BeginCall(s, buffer, nullptr);
  return Decode(s, nullptr);
}

int32_t DecoderFrame2(const uint8_t* buffer, int32_t mode, void* output, uint8_t* referenceStore,
                      uint8_t* currentStore) {
  DecoderState& s = g_decoder;
  if (!s.initialised || !buffer || !referenceStore || !currentStore) return 0;
  s.outputBpp = int(uint32_t(mode) & 0xFFFF);
  ApplyModeLevel(s, uint32_t(mode) >> 16);
  UseCallerStores(s, referenceStore, currentStore);
  BeginCall(s, buffer, output);
  return Decode(s, output);
}

int32_t DecoderOnly(const uint8_t* buffer, uint8_t* referenceStore, uint8_t* currentStore, int32_t* codingType) {
  DecoderState& s = g_decoder;
  if (!s.initialised || !buffer || !referenceStore || !currentStore) return 0;
  UseCallerStores(s, referenceStore, currentStore);
  BeginCall(s, buffer, nullptr);
  const int32_t consumed = Decode(s, nullptr);
  if (codingType) *codingType = s.vop.codingType;
  return consumed;
}

int32_t YUV2RGB(void* output, int32_t mode, uint8_t* store) {
  DecoderState& s = g_decoder;
  if (!s.initialised || !store) return 0;
  s.outputBpp = int(uint32_t(mode) & 0xFFFF);
  ApplyModeLevel(s, uint32_t(mode) >> 16);
  s.cur = CallerStorePlanes(store, s.width, s.height);
  return RenderPicture(s, static_cast<uint8_t*>(output), 1);
}

int32_t ReDisplay(void* output, int32_t format) {
  return RenderLastPicture(g_decoder, static_cast<uint8_t*>(output), format, 1);
}

void DecoderClose(void) {
  DecoderDispatch(1, kOptionRelease, nullptr, nullptr, nullptr);
}

void DecoderSetInputSize(uint32_t n) {
  g_decoder.nextInputBound = n;
}

}  // extern "C"
