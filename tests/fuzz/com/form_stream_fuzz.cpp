// Arbitrary bytes as the stream IPersistStreamInit::Load reads: decoded from
// a memory stream and applied to the form's properties. What loads must save
// back to the same records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "control/form_stream.h"
#include "control/ole_control.h"
#include "control/viewer_form.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  IStream* stream = nullptr;
  if (FAILED(VelmoraCreateMemoryStream(data, ULONG(size), &stream))) return 0;
  std::vector<control::FormRecord> records;
  control::FormProperties props;
  if (SUCCEEDED(control::ReadFormStream(stream, &records)) && control::ApplyFormPropertyRecords(records, &props)) {
    std::vector<uint8_t> again = control::EncodeFormRecords(control::FormPropertyRecords(props));
    auto decoded = control::DecodeFormRecords(again.data(), again.size());
    if (!decoded || !control::ApplyFormPropertyRecords(*decoded, &props)) std::abort();
  }
  stream->Release();
  return 0;
}
