// The type library's own binary format: what the type-library objects serve,
// written at build time from the control's member table into an ELF section
// of the control's library and into a .tlb file beside it.
//
// Little-endian. Header: "VTLB", format version (u32), payload size (u32),
// CRC-32 of the payload (u32). Payload: the library, then each type info in
// order, each function with its parameters, each implemented type. Strings
// are a u32 byte count and UTF-8 text. Every count and length is bounded and
// checked when read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::typelib {

// The 16 bytes of a GUID as it lies in memory (Data1..3 little-endian).
using GuidBytes = std::array<uint8_t, 16>;

// Kinds, flags and types use the automation numbering.
enum class TypeKind : uint8_t { Interface = 3, Dispatch = 4, CoClass = 5 };

enum : uint16_t {
  kTypeFlagAppObject = 0x1,
  kTypeFlagCanCreate = 0x2,
  kTypeFlagHidden = 0x10,
  kTypeFlagControl = 0x20,
  kTypeFlagDual = 0x40,
  kTypeFlagOleAutomation = 0x100,
  kTypeFlagDispatchable = 0x1000,
};

enum : uint8_t { kInvokeFunc = 1, kInvokePropertyGet = 2, kInvokePropertyPut = 4, kInvokePropertyPutRef = 8 };

enum : uint16_t { kParamIn = 0x1, kParamOut = 0x2, kParamRetval = 0x8 };

enum : uint16_t { kFuncFlagHidden = 0x40 };

enum : uint32_t { kImplDefault = 0x1, kImplSource = 0x2 };

struct Param {
  std::string name;
  uint16_t vt = 0;  // VARTYPE; VT_BYREF (0x4000) set for a by-reference parameter
  uint16_t flags = kParamIn;
  bool operator==(const Param&) const = default;
};

struct Func {
  int32_t memid = 0;
  uint8_t invkind = kInvokeFunc;
  uint16_t flags = 0;
  uint16_t returnVt = 25;  // VT_HRESULT
  std::string name;
  std::vector<Param> params;
  bool operator==(const Func&) const = default;
};

struct ImplType {
  uint32_t typeIndex = 0;  // index of the implemented type in TypeLibData::types
  uint32_t flags = 0;
  bool operator==(const ImplType&) const = default;
};

struct TypeInfoData {
  TypeKind kind = TypeKind::Dispatch;
  GuidBytes guid{};
  std::string name;
  std::string helpString;
  uint16_t typeFlags = 0;
  std::vector<Func> funcs;
  std::vector<ImplType> impls;
  bool operator==(const TypeInfoData&) const = default;
};

struct TypeLibData {
  GuidBytes libid{};
  uint16_t majorVersion = 1;
  uint16_t minorVersion = 0;
  uint32_t lcid = 0x409;
  uint16_t libFlags = 0;
  std::string name;
  std::string helpString;
  std::vector<TypeInfoData> types;
  bool operator==(const TypeLibData&) const = default;
};

// Limits a reader enforces (a writer refuses data beyond them too).
constexpr size_t kMaxTypes = 64;
constexpr size_t kMaxFuncs = 1024;
constexpr size_t kMaxParams = 32;
constexpr size_t kMaxString = 4096;
constexpr size_t kMaxImage = 4u << 20;

// The encoded image; empty when data exceeds a limit or an implemented type
// index points nowhere.
std::vector<uint8_t> Serialize(const TypeLibData& data);
// Decodes an image; on failure nothing, with the reason in *error.
std::optional<TypeLibData> Parse(const uint8_t* image, size_t size, std::string* error = nullptr);

// The name of the ELF section that carries the image.
inline constexpr char kSectionName[] = ".velmora_typelib";

// The bytes of the named section of an ELF file (64-bit little-endian); on
// failure nothing, with the reason in *error.
std::optional<std::vector<uint8_t>> ReadElfSection(const std::string& path, const std::string& section,
                                                   std::string* error = nullptr);

// Loads the type library of path: from its ELF section, else from the file
// of the same path with the extension replaced by ".tlb".
std::optional<TypeLibData> LoadTypeLibData(const std::string& path, std::string* error = nullptr);

}  // namespace platform::typelib
