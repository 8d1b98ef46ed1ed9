// The encoding of the form's published properties that IPersistStreamInit
// writes and reads: "VMXF", version (u16), record count (u16), payload size
// (u32), then per record a name (u8 length, ASCII), a VARTYPE (u16), a value
// length (u32) and the value (little-endian; a string as UTF-16). Every
// length is checked, and a stream is decoded whole before anything is applied.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/ole.h"

namespace control {

struct FormValue {
  VARTYPE vt = VT_I4;  // VT_BOOL, VT_I2, VT_I4, VT_UI4, VT_R4 or VT_BSTR
  int32_t i = 0;       // the integer types and VT_BOOL
  float f = 0;         // VT_R4
  std::u16string s;    // VT_BSTR
  bool operator==(const FormValue&) const = default;
};

struct FormRecord {
  std::string name;
  FormValue value;
  bool operator==(const FormRecord&) const = default;
};

constexpr size_t kMaxFormRecords = 64;
constexpr size_t kMaxFormPayload = 1u << 16;

// Empty when a record breaks a limit.
std::vector<uint8_t> EncodeFormRecords(const std::vector<FormRecord>& records);
// The records of a whole block (header included), or nothing with the reason.
std::optional<std::vector<FormRecord>> DecodeFormRecords(const uint8_t* data, size_t size, std::string* error = nullptr);

// Writes one block at the stream's position.
HRESULT WriteFormStream(IStream* stream, const std::vector<FormRecord>& records);
// Reads exactly one block from the stream's position: E_FAIL for bad magic,
// a truncated or oversized block or a bad record.
HRESULT ReadFormStream(IStream* stream, std::vector<FormRecord>* records, std::string* error = nullptr);

}  // namespace control
