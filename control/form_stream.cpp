#include "control/form_stream.h"

#include <cstring>

namespace control {
namespace {

constexpr char kMagic[4] = {'V', 'M', 'X', 'F'};
constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxName = 64;
constexpr size_t kMaxStringBytes = 1u << 15;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
uint32_t Get(const uint8_t* p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= uint32_t(p[i]) << (8 * i);
  return v;
}

// The value's size for a fixed-size type, 0 for a string, -1 when unknown.
int FixedSize(VARTYPE vt) {
  switch (vt) {
    case VT_BOOL:
    case VT_I2: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_R4: return 4;
    case VT_BSTR: return 0;
    default: return -1;
  }
}

void SetError(std::string* error, const std::string& why) {
  if (error) *error = why;
}

}  // namespace

std::vector<uint8_t> EncodeFormRecords(const std::vector<FormRecord>& records) {
  if (records.size() > kMaxFormRecords) return {};
  std::vector<uint8_t> payload;
  for (const FormRecord& r : records) {
    int size = FixedSize(r.value.vt);
    if (r.name.empty() || r.name.size() > kMaxName || size < 0) return {};
    payload.push_back(uint8_t(r.name.size()));
    payload.insert(payload.end(), r.name.begin(), r.name.end());
    Put16(payload, r.value.vt);
    if (r.value.vt == VT_BSTR) {
      size_t bytes = r.value.s.size() * 2;
      if (bytes > kMaxStringBytes) return {};
      Put32(payload, uint32_t(bytes));
      for (char16_t c : r.value.s) Put16(payload, c);
    } else if (r.value.vt == VT_R4) {
      uint32_t bits;
      std::memcpy(&bits, &r.value.f, 4);
      Put32(payload, 4);
      Put32(payload, bits);
    } else {
      Put32(payload, uint32_t(size));
      if (size == 2)
        Put16(payload, uint16_t(r.value.i));
      else
        Put32(payload, uint32_t(r.value.i));
    }
  }
  if (payload.size() > kMaxFormPayload) return {};
  std::vector<uint8_t> out(kMagic, kMagic + 4);
  Put16(out, kVersion);
  Put16(out, uint16_t(records.size()));
  Put32(out, uint32_t(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::optional<std::vector<FormRecord>> DecodeFormRecords(const uint8_t* data, size_t size, std::string* error) {
  if (size < kHeaderSize || std::memcmp(data, kMagic, 4) != 0) {
    SetError(error, "not a form property stream");
    return std::nullopt;
  }
  uint32_t version = Get(data + 4, 2), count = Get(data + 6, 2), payloadSize = Get(data + 8, 4);
  if (version != kVersion) {
    SetError(error, "form property stream version " + std::to_string(version));
    return std::nullopt;
  }
  if (count > kMaxFormRecords || payloadSize > kMaxFormPayload || payloadSize != size - kHeaderSize) {
    SetError(error, "form property stream of a bad size");
    return std::nullopt;
  }
  const uint8_t* p = data + kHeaderSize;
  size_t left = payloadSize;
  std::vector<FormRecord> records;
  for (uint32_t k = 0; k < count; ++k) {
    auto fail = [&](const std::string& why) {
      SetError(error, "record " + std::to_string(k) + ": " + why);
      return std::nullopt;
    };
    if (left < 1) return fail("truncated");
    size_t nameLen = p[0];
    if (nameLen == 0 || nameLen > kMaxName) return fail("bad name length");
    if (left < 1 + nameLen + 6) return fail("truncated");
    FormRecord r;
    r.name.assign(reinterpret_cast<const char*>(p + 1), nameLen);
    for (char c : r.name)
      if (c < 0x20 || c > 0x7E) return fail("bad name");
    p += 1 + nameLen;
    left -= 1 + nameLen;
    r.value.vt = VARTYPE(Get(p, 2));
    uint32_t valueLen = Get(p + 2, 4);
    p += 6;
    left -= 6;
    int fixed = FixedSize(r.value.vt);
    if (fixed < 0) return fail("bad type " + std::to_string(r.value.vt));
    if (fixed > 0 ? valueLen != uint32_t(fixed) : (valueLen % 2 != 0 || valueLen > kMaxStringBytes))
      return fail("bad value length " + std::to_string(valueLen));
    if (valueLen > left) return fail("truncated");
    if (r.value.vt == VT_BSTR) {
      for (uint32_t i = 0; i < valueLen; i += 2) r.value.s.push_back(char16_t(Get(p + i, 2)));
    } else if (r.value.vt == VT_R4) {
      uint32_t bits = Get(p, 4);
      std::memcpy(&r.value.f, &bits, 4);
    } else if (fixed == 2) {
      r.value.i = int16_t(Get(p, 2));
    } else {
      r.value.i = int32_t(Get(p, 4));
    }
    p += valueLen;
    left -= valueLen;
    records.push_back(std::move(r));
  }
  if (left != 0) {
    SetError(error, "bytes after the last record");
    return std::nullopt;
  }
  return records;
}

HRESULT WriteFormStream(IStream* stream, const std::vector<FormRecord>& records) {
  if (!stream) return E_POINTER;
  std::vector<uint8_t> bytes = EncodeFormRecords(records);
  if (bytes.empty()) return E_FAIL;
  ULONG written = 0;
  HRESULT hr = stream->Write(bytes.data(), ULONG(bytes.size()), &written);
  if (FAILED(hr)) return hr;
  return written == bytes.size() ? S_OK : STG_E_MEDIUMFULL;
}

HRESULT ReadFormStream(IStream* stream, std::vector<FormRecord>* records, std::string* error) {
  if (!stream || !records) return E_POINTER;
  std::vector<uint8_t> bytes(kHeaderSize);
  auto readExactly = [&](uint8_t* into, size_t n) {
    size_t done = 0;
    while (done < n) {
      ULONG got = 0;
      HRESULT hr = stream->Read(into + done, ULONG(n - done), &got);
      if (FAILED(hr) || got == 0) return false;
      done += got;
    }
    return true;
  };
  if (!readExactly(bytes.data(), kHeaderSize)) {
    SetError(error, "truncated form property stream");
    return E_FAIL;
  }
  if (std::memcmp(bytes.data(), kMagic, 4) != 0) {
    SetError(error, "not a form property stream");
    return E_FAIL;
  }
  uint32_t payloadSize = Get(bytes.data() + 8, 4);
  if (payloadSize > kMaxFormPayload) {
    SetError(error, "form property stream of a bad size");
    return E_FAIL;
  }
  bytes.resize(kHeaderSize + payloadSize);
  if (!readExactly(bytes.data() + kHeaderSize, payloadSize)) {
    SetError(error, "truncated form property stream");
    return E_FAIL;
  }
  auto decoded = DecodeFormRecords(bytes.data(), bytes.size(), error);
  if (!decoded) return E_FAIL;
  *records = std::move(*decoded);
  return S_OK;
}

}  // namespace control
