#include "platform/com/typelib_format.h"

#include <elf.h>

#include <cstring>
#include <fstream>

namespace platform::typelib {
namespace {

constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderSize = 16;

uint32_t Crc32(const uint8_t* p, size_t n) {
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

class Writer {
 public:
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) {
    for (int i = 0; i < 2; ++i) out_.push_back(uint8_t(v >> (8 * i)));
  }
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(uint8_t(v >> (8 * i)));
  }
  void Guid(const GuidBytes& g) { out_.insert(out_.end(), g.begin(), g.end()); }
  void Str(const std::string& s) {
    U32(uint32_t(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
  }
  std::vector<uint8_t>& bytes() { return out_; }

 private:
  std::vector<uint8_t> out_;
};

class Reader {
 public:
  Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  bool ok() const { return ok_; }
  bool AtEnd() const { return pos_ == n_; }
  const std::string& error() const { return error_; }
  void Fail(const std::string& why) {
    if (ok_) error_ = why + " at byte " + std::to_string(pos_ + kHeaderSize);
    ok_ = false;
  }

  uint8_t U8() { return uint8_t(Take(1)); }
  uint16_t U16() { return uint16_t(Take(2)); }
  uint32_t U32() { return uint32_t(Take(4)); }
  GuidBytes Guid() {
    GuidBytes g{};
    if (Need(16)) {
      std::memcpy(g.data(), p_ + pos_, 16);
      pos_ += 16;
    }
    return g;
  }
  std::string Str() {
    uint32_t len = U32();
    if (!ok_) return {};
    if (len > kMaxString) {
      Fail("string of " + std::to_string(len) + " bytes");
      return {};
    }
    if (!Need(len)) return {};
    std::string s(reinterpret_cast<const char*>(p_ + pos_), len);
    pos_ += len;
    return s;
  }
  // A count bounded by limit, and by the bytes left at minSize bytes each.
  size_t Count(size_t limit, size_t minSize, const char* what) {
    uint32_t n = U32();
    if (!ok_) return 0;
    if (n > limit || size_t(n) * minSize > n_ - pos_) {
      Fail(std::string("bad ") + what + " count " + std::to_string(n));
      return 0;
    }
    return n;
  }

 private:
  bool Need(size_t k) {
    if (!ok_) return false;
    if (k > n_ - pos_) {
      Fail("truncated");
      return false;
    }
    return true;
  }
  uint64_t Take(size_t k) {
    if (!Need(k)) return 0;
    uint64_t v = 0;
    for (size_t i = 0; i < k; ++i) v |= uint64_t(p_[pos_ + i]) << (8 * i);
    pos_ += k;
    return v;
  }

  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
  std::string error_;
};

bool WithinLimits(const TypeLibData& d) {
  auto shortString = [](const std::string& s) { return s.size() <= kMaxString; };
  if (d.types.size() > kMaxTypes || !shortString(d.name) || !shortString(d.helpString)) return false;
  for (const TypeInfoData& t : d.types) {
    if (t.funcs.size() > kMaxFuncs || t.impls.size() > kMaxTypes || !shortString(t.name) ||
        !shortString(t.helpString))
      return false;
    for (const Func& f : t.funcs) {
      if (f.params.size() > kMaxParams || !shortString(f.name)) return false;
      for (const Param& p : f.params)
        if (!shortString(p.name)) return false;
    }
    for (const ImplType& i : t.impls)
      if (i.typeIndex >= d.types.size()) return false;
  }
  return true;
}

bool ValidKind(uint8_t k) {
  return k == uint8_t(TypeKind::Interface) || k == uint8_t(TypeKind::Dispatch) || k == uint8_t(TypeKind::CoClass);
}

void SetError(std::string* error, const std::string& why) {
  if (error) *error = why;
}

}  // namespace

std::vector<uint8_t> Serialize(const TypeLibData& d) {
  if (!WithinLimits(d)) return {};
  Writer w;
  w.Guid(d.libid);
  w.U16(d.majorVersion);
  w.U16(d.minorVersion);
  w.U32(d.lcid);
  w.U16(d.libFlags);
  w.Str(d.name);
  w.Str(d.helpString);
  w.U32(uint32_t(d.types.size()));
  for (const TypeInfoData& t : d.types) {
    w.U8(uint8_t(t.kind));
    w.Guid(t.guid);
    w.Str(t.name);
    w.Str(t.helpString);
    w.U16(t.typeFlags);
    w.U32(uint32_t(t.funcs.size()));
    for (const Func& f : t.funcs) {
      w.U32(uint32_t(f.memid));
      w.U8(f.invkind);
      w.U16(f.flags);
      w.U16(f.returnVt);
      w.Str(f.name);
      w.U32(uint32_t(f.params.size()));
      for (const Param& p : f.params) {
        w.Str(p.name);
        w.U16(p.vt);
        w.U16(p.flags);
      }
    }
    w.U32(uint32_t(t.impls.size()));
    for (const ImplType& i : t.impls) {
      w.U32(i.typeIndex);
      w.U32(i.flags);
    }
  }
  std::vector<uint8_t> payload = std::move(w.bytes());
  if (payload.size() + kHeaderSize > kMaxImage) return {};
  Writer h;
  for (char c : {'V', 'T', 'L', 'B'}) h.U8(uint8_t(c));
  h.U32(kFormatVersion);
  h.U32(uint32_t(payload.size()));
  h.U32(Crc32(payload.data(), payload.size()));
  std::vector<uint8_t> image = std::move(h.bytes());
  image.insert(image.end(), payload.begin(), payload.end());
  return image;
}

std::optional<TypeLibData> Parse(const uint8_t* image, size_t size, std::string* error) {
  if (image == nullptr || size < kHeaderSize || std::memcmp(image, "VTLB", 4) != 0) {
    SetError(error, "not a type library image");
    return std::nullopt;
  }
  Reader header(image + 4, kHeaderSize - 4);
  uint32_t version = header.U32();
  uint32_t payloadSize = header.U32();
  uint32_t crc = header.U32();
  if (version != kFormatVersion) {
    SetError(error, "type library format version " + std::to_string(version));
    return std::nullopt;
  }
  if (payloadSize != size - kHeaderSize || size > kMaxImage) {
    SetError(error, "type library size does not match its header");
    return std::nullopt;
  }
  const uint8_t* payload = image + kHeaderSize;
  if (Crc32(payload, payloadSize) != crc) {
    SetError(error, "type library checksum mismatch");
    return std::nullopt;
  }

  // Smallest encodings, so a count can never promise more than the bytes hold.
  constexpr size_t kMinType = 1 + 16 + 4 + 4 + 2 + 4 + 4;
  constexpr size_t kMinFunc = 4 + 1 + 2 + 2 + 4 + 4;
  constexpr size_t kMinParam = 4 + 2 + 2;
  constexpr size_t kMinImpl = 8;

  Reader r(payload, payloadSize);
  TypeLibData d;
  d.libid = r.Guid();
  d.majorVersion = r.U16();
  d.minorVersion = r.U16();
  d.lcid = r.U32();
  d.libFlags = r.U16();
  d.name = r.Str();
  d.helpString = r.Str();
  size_t types = r.Count(kMaxTypes, kMinType, "type");
  for (size_t i = 0; i < types && r.ok(); ++i) {
    TypeInfoData t;
    uint8_t kind = r.U8();
    if (r.ok() && !ValidKind(kind)) r.Fail("bad type kind " + std::to_string(kind));
    t.kind = TypeKind(kind);
    t.guid = r.Guid();
    t.name = r.Str();
    t.helpString = r.Str();
    t.typeFlags = r.U16();
    size_t funcs = r.Count(kMaxFuncs, kMinFunc, "function");
    for (size_t k = 0; k < funcs && r.ok(); ++k) {
      Func f;
      f.memid = int32_t(r.U32());
      f.invkind = r.U8();
      f.flags = r.U16();
      f.returnVt = r.U16();
      f.name = r.Str();
      size_t params = r.Count(kMaxParams, kMinParam, "parameter");
      for (size_t p = 0; p < params && r.ok(); ++p) {
        Param param;
        param.name = r.Str();
        param.vt = r.U16();
        param.flags = r.U16();
        f.params.push_back(std::move(param));
      }
      t.funcs.push_back(std::move(f));
    }
    size_t impls = r.Count(kMaxTypes, kMinImpl, "implemented type");
    for (size_t k = 0; k < impls && r.ok(); ++k) {
      ImplType impl;
      impl.typeIndex = r.U32();
      impl.flags = r.U32();
      t.impls.push_back(impl);
    }
    d.types.push_back(std::move(t));
  }
  if (r.ok() && !r.AtEnd()) r.Fail("trailing bytes");
  for (const TypeInfoData& t : d.types)
    for (const ImplType& impl : t.impls)
      if (r.ok() && impl.typeIndex >= d.types.size()) r.Fail("implemented type index out of range");
  if (!r.ok()) {
    SetError(error, "corrupt type library: " + r.error());
    return std::nullopt;
  }
  return d;
}

std::optional<std::vector<uint8_t>> ReadElfSection(const std::string& path, const std::string& section,
                                                   std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    SetError(error, "cannot open " + path);
    return std::nullopt;
  }
  in.seekg(0, std::ios::end);
  const uint64_t fileSize = uint64_t(in.tellg());
  auto readAt = [&](uint64_t offset, void* out, uint64_t n) {
    if (offset > fileSize || n > fileSize - offset) return false;
    in.seekg(std::streamoff(offset));
    return bool(in.read(static_cast<char*>(out), std::streamsize(n)));
  };
  Elf64_Ehdr eh;
  if (!readAt(0, &eh, sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
      eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_ident[EI_DATA] != ELFDATA2LSB) {
    SetError(error, path + " is not a 64-bit little-endian ELF file");
    return std::nullopt;
  }
  if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 || eh.e_shstrndx >= eh.e_shnum) {
    SetError(error, path + " has no usable section table");
    return std::nullopt;
  }
  std::vector<Elf64_Shdr> sections(eh.e_shnum);
  if (!readAt(eh.e_shoff, sections.data(), uint64_t(eh.e_shnum) * sizeof(Elf64_Shdr))) {
    SetError(error, path + ": section table outside the file");
    return std::nullopt;
  }
  const Elf64_Shdr& names = sections[eh.e_shstrndx];
  if (names.sh_type == SHT_NOBITS || names.sh_size > (1u << 20)) {
    SetError(error, path + ": bad section-name table");
    return std::nullopt;
  }
  std::string nameTable(names.sh_size, '\0');
  if (!readAt(names.sh_offset, nameTable.data(), names.sh_size)) {
    SetError(error, path + ": section-name table outside the file");
    return std::nullopt;
  }
  for (const Elf64_Shdr& s : sections) {
    if (s.sh_name >= nameTable.size()) continue;
    const char* name = nameTable.c_str() + s.sh_name;
    if (section != std::string(name, strnlen(name, nameTable.size() - s.sh_name))) continue;
    if (s.sh_type == SHT_NOBITS || s.sh_size > kMaxImage) {
      SetError(error, path + ": section " + section + " has no usable contents");
      return std::nullopt;
    }
    std::vector<uint8_t> bytes(s.sh_size);
    if (!readAt(s.sh_offset, bytes.data(), s.sh_size)) {
      SetError(error, path + ": section " + section + " lies outside the file");
      return std::nullopt;
    }
    return bytes;
  }
  SetError(error, path + " has no section " + section);
  return std::nullopt;
}

std::optional<TypeLibData> LoadTypeLibData(const std::string& path, std::string* error) {
  std::string sectionError;
  if (auto bytes = ReadElfSection(path, kSectionName, &sectionError)) {
    if (auto data = Parse(bytes->data(), bytes->size(), &sectionError)) return data;
  }
  // The file of the same path with its extension replaced.
  std::string tlb = path;
  size_t slash = tlb.find_last_of('/');
  size_t dot = tlb.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) tlb.erase(dot);
  tlb += ".tlb";
  std::ifstream in(tlb, std::ios::binary);
  if (!in) {
    SetError(error, sectionError + "; cannot open " + tlb);
    return std::nullopt;
  }
  std::vector<uint8_t> bytes;
  char buffer[65536];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes.insert(bytes.end(), buffer, buffer + in.gcount());
    if (bytes.size() > kMaxImage) {
      SetError(error, sectionError + "; " + tlb + " is too large");
      return std::nullopt;
    }
  }
  std::string tlbError;
  if (auto data = Parse(bytes.data(), bytes.size(), &tlbError)) return data;
  SetError(error, sectionError + "; " + tlb + ": " + tlbError);
  return std::nullopt;
}

}  // namespace platform::typelib
