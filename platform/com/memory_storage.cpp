// In-memory IStream, IStorage and IPropertyBag for hosts and tests.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "platform/com/ole.h"

namespace {

constexpr HRESULT STG_E_INVALIDNAME = MakeHr(0x800300FC);
constexpr uint64_t kMaxStreamSize = uint64_t(1) << 30;
constexpr size_t kMaxElementName = 31;

std::u16string Fold(std::u16string_view s) {
  std::u16string out(s);
  for (char16_t& c : out)
    if (c >= u'A' && c <= u'Z') c = char16_t(c + 32);
  return out;
}

// Reference counting shared by the objects here.
template <typename Self, typename... Interfaces>
class Object : public Interfaces... {
 public:
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    ULONG n = --refs_;
    if (n == 0) delete static_cast<Self*>(this);
    return n;
  }
  virtual ~Object() = default;

 private:
  std::atomic<ULONG> refs_{1};
};

// The bytes of one stream; a storage keeps them after its streams are released.
struct StreamData {
  std::mutex mutex;
  std::vector<uint8_t> bytes;
};

class MemoryStream final : public Object<MemoryStream, IStream> {
 public:
  explicit MemoryStream(std::shared_ptr<StreamData> data, uint64_t position = 0)
      : data_(std::move(data)), position_(position) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
      *ppv = static_cast<IStream*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (!pv && cb > 0) return STG_E_INVALIDPOINTER;
    std::lock_guard<std::mutex> lock(data_->mutex);
    uint64_t size = data_->bytes.size();
    ULONG n = position_ >= size ? 0 : ULONG(std::min<uint64_t>(cb, size - position_));
    if (n > 0) std::memcpy(pv, data_->bytes.data() + position_, n);
    position_ += n;
    if (pcbRead) *pcbRead = n;
    return S_OK;
  }
  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten) *pcbWritten = 0;
    if (!pv && cb > 0) return STG_E_INVALIDPOINTER;
    std::lock_guard<std::mutex> lock(data_->mutex);
    if (position_ + cb > kMaxStreamSize) return STG_E_MEDIUMFULL;
    if (position_ + cb > data_->bytes.size()) data_->bytes.resize(position_ + cb);
    if (cb > 0) std::memcpy(data_->bytes.data() + position_, pv, cb);
    position_ += cb;
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
  }
  HRESULT Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* newPosition) override {
    std::lock_guard<std::mutex> lock(data_->mutex);
    int64_t base;
    switch (origin) {
      case STREAM_SEEK_SET: base = 0; break;
      case STREAM_SEEK_CUR: base = int64_t(position_); break;
      case STREAM_SEEK_END: base = int64_t(data_->bytes.size()); break;
      default: return STG_E_INVALIDFUNCTION;
    }
    if ((move.QuadPart < 0 && base + move.QuadPart < 0) || (move.QuadPart > 0 && uint64_t(move.QuadPart) > kMaxStreamSize))
      return STG_E_INVALIDFUNCTION;
    position_ = uint64_t(base + move.QuadPart);
    if (newPosition) newPosition->QuadPart = position_;
    return S_OK;
  }
  HRESULT SetSize(ULARGE_INTEGER size) override {
    if (size.QuadPart > kMaxStreamSize) return STG_E_MEDIUMFULL;
    std::lock_guard<std::mutex> lock(data_->mutex);
    data_->bytes.resize(size.QuadPart);
    return S_OK;
  }
  HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
    if (!pstm) return STG_E_INVALIDPOINTER;
    std::vector<uint8_t> chunk;
    {
      std::lock_guard<std::mutex> lock(data_->mutex);
      uint64_t size = data_->bytes.size();
      uint64_t n = position_ >= size ? 0 : std::min<uint64_t>(cb.QuadPart, size - position_);
      chunk.assign(data_->bytes.begin() + int64_t(position_), data_->bytes.begin() + int64_t(position_ + n));
      position_ += n;
    }
    ULONG written = 0;
    HRESULT hr = pstm->Write(chunk.data(), ULONG(chunk.size()), &written);
    if (pcbRead) pcbRead->QuadPart = chunk.size();
    if (pcbWritten) pcbWritten->QuadPart = written;
    return hr;
  }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT Stat(STATSTG* st, DWORD) override {
    if (!st) return STG_E_INVALIDPOINTER;
    std::memset(st, 0, sizeof *st);
    st->type = STGTY_STREAM;
    std::lock_guard<std::mutex> lock(data_->mutex);
    st->cbSize.QuadPart = data_->bytes.size();
    return S_OK;
  }
  HRESULT Clone(IStream** ppstm) override {
    if (!ppstm) return STG_E_INVALIDPOINTER;
    std::lock_guard<std::mutex> lock(data_->mutex);
    *ppstm = new (std::nothrow) MemoryStream(data_, position_);
    return *ppstm ? S_OK : E_OUTOFMEMORY;
  }

 private:
  std::shared_ptr<StreamData> data_;
  uint64_t position_;  // guarded by data_->mutex
};

struct StorageData;
struct Element {
  std::u16string name;
  std::shared_ptr<StreamData> stream;    // a stream, or
  std::shared_ptr<StorageData> storage;  // a storage
};
struct StorageData {
  std::mutex mutex;
  std::map<std::u16string, Element> elements;  // by folded name
  CLSID clsid{};
};

class MemoryStorage final : public Object<MemoryStorage, IStorage> {
 public:
  explicit MemoryStorage(std::shared_ptr<StorageData> data) : data_(std::move(data)) {}

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IStorage) {
      *ppv = static_cast<IStorage*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT CreateStream(LPCOLESTR name, DWORD mode, DWORD, DWORD, IStream** ppstm) override {
    return Make(name, mode, true, reinterpret_cast<void**>(ppstm));
  }
  HRESULT OpenStream(LPCOLESTR name, void*, DWORD, DWORD, IStream** ppstm) override {
    return Open(name, true, reinterpret_cast<void**>(ppstm));
  }
  HRESULT CreateStorage(LPCOLESTR name, DWORD mode, DWORD, DWORD, IStorage** ppstg) override {
    return Make(name, mode, false, reinterpret_cast<void**>(ppstg));
  }
  HRESULT OpenStorage(LPCOLESTR name, IStorage*, DWORD, SNB, DWORD, IStorage** ppstg) override {
    return Open(name, false, reinterpret_cast<void**>(ppstg));
  }
  HRESULT CopyTo(DWORD, const IID*, SNB, IStorage*) override { return E_NOTIMPL; }
  HRESULT MoveElementTo(LPCOLESTR, IStorage*, LPCOLESTR, DWORD) override { return E_NOTIMPL; }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** ppenum) override {
    if (ppenum) *ppenum = nullptr;
    return E_NOTIMPL;
  }
  HRESULT DestroyElement(LPCOLESTR name) override {
    if (HRESULT hr = CheckName(name); FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(data_->mutex);
    return data_->elements.erase(Fold(name)) ? S_OK : STG_E_FILENOTFOUND;
  }
  HRESULT RenameElement(LPCOLESTR oldName, LPCOLESTR newName) override {
    if (HRESULT hr = CheckName(oldName); FAILED(hr)) return hr;
    if (HRESULT hr = CheckName(newName); FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(data_->mutex);
    auto it = data_->elements.find(Fold(oldName));
    if (it == data_->elements.end()) return STG_E_FILENOTFOUND;
    if (data_->elements.count(Fold(newName))) return STG_E_FILEALREADYEXISTS;
    Element e = std::move(it->second);
    data_->elements.erase(it);
    e.name = newName;
    data_->elements[Fold(newName)] = std::move(e);
    return S_OK;
  }
  HRESULT SetElementTimes(LPCOLESTR, const FILETIME*, const FILETIME*, const FILETIME*) override { return S_OK; }
  HRESULT SetClass(REFCLSID clsid) override {
    std::lock_guard<std::mutex> lock(data_->mutex);
    data_->clsid = clsid;
    return S_OK;
  }
  HRESULT SetStateBits(DWORD, DWORD) override { return S_OK; }
  HRESULT Stat(STATSTG* st, DWORD) override {
    if (!st) return STG_E_INVALIDPOINTER;
    std::memset(st, 0, sizeof *st);
    st->type = STGTY_STORAGE;
    std::lock_guard<std::mutex> lock(data_->mutex);
    st->clsid = data_->clsid;
    return S_OK;
  }

 private:
  static HRESULT CheckName(LPCOLESTR name) {
    if (!name) return STG_E_INVALIDPOINTER;
    size_t n = std::u16string_view(name).size();
    return n == 0 || n > kMaxElementName ? STG_E_INVALIDNAME : S_OK;
  }

  HRESULT Make(LPCOLESTR name, DWORD mode, bool stream, void** out) {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    if (HRESULT hr = CheckName(name); FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(data_->mutex);
    std::u16string key = Fold(name);
    if (data_->elements.count(key) && !(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
    Element e;
    e.name = name;
    if (stream)
      e.stream = std::make_shared<StreamData>();
    else
      e.storage = std::make_shared<StorageData>();
    data_->elements[key] = e;
    return Wrap(e, out);
  }

  HRESULT Open(LPCOLESTR name, bool stream, void** out) {
    if (!out) return STG_E_INVALIDPOINTER;
    *out = nullptr;
    if (HRESULT hr = CheckName(name); FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(data_->mutex);
    auto it = data_->elements.find(Fold(name));
    if (it == data_->elements.end() || bool(it->second.stream) != stream) return STG_E_FILENOTFOUND;
    return Wrap(it->second, out);
  }

  static HRESULT Wrap(const Element& e, void** out) {
    if (e.stream)
      *out = static_cast<IStream*>(new (std::nothrow) MemoryStream(e.stream));
    else
      *out = static_cast<IStorage*>(new (std::nothrow) MemoryStorage(e.storage));
    return *out ? S_OK : E_OUTOFMEMORY;
  }

  std::shared_ptr<StorageData> data_;
};

class MemoryPropertyBag final : public Object<MemoryPropertyBag, IPropertyBag> {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IPropertyBag) {
      *ppv = static_cast<IPropertyBag*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }

  // The caller's vt asks for a type (VT_EMPTY: as stored).
  HRESULT Read(LPCOLESTR name, VARIANT* var, IErrorLog*) override {
    if (!name || !var) return E_POINTER;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = values_.find(Fold(name));
    if (it == values_.end()) return E_INVALIDARG;
    VARTYPE want = var->vt;
    VariantInit(var);
    if (want == VT_EMPTY) return VariantCopy(var, &it->second);
    return VariantChangeType(var, &it->second, 0, want);
  }
  HRESULT Write(LPCOLESTR name, VARIANT* var) override {
    if (!name || !var) return E_POINTER;
    VARIANT copy;
    VariantInit(&copy);
    if (HRESULT hr = VariantCopy(&copy, var); FAILED(hr)) return hr;
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, fresh] = values_.try_emplace(Fold(name), copy);
    if (!fresh) {
      VariantClear(&it->second);
      it->second = copy;
    }
    return S_OK;
  }

 public:
  ~MemoryPropertyBag() override {
    for (auto& [name, value] : values_) VariantClear(&value);
  }

  std::mutex mutex_;
  std::map<std::u16string, VARIANT> values_;
};

}  // namespace

extern "C" HRESULT VelmoraCreateMemoryStream(const void* data, ULONG size, IStream** ppstm) {
  if (!ppstm) return E_POINTER;
  auto bytes = std::make_shared<StreamData>();
  if (data) bytes->bytes.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  *ppstm = new (std::nothrow) MemoryStream(std::move(bytes));
  return *ppstm ? S_OK : E_OUTOFMEMORY;
}

extern "C" HRESULT VelmoraCreateMemoryStorage(IStorage** ppstg) {
  if (!ppstg) return E_POINTER;
  *ppstg = new (std::nothrow) MemoryStorage(std::make_shared<StorageData>());
  return *ppstg ? S_OK : E_OUTOFMEMORY;
}

extern "C" HRESULT VelmoraCreateMemoryPropertyBag(IPropertyBag** ppbag) {
  if (!ppbag) return E_POINTER;
  *ppbag = new (std::nothrow) MemoryPropertyBag;
  return *ppbag ? S_OK : E_OUTOFMEMORY;
}
