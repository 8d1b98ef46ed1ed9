// Fuzzes IVelmoraX::Invoke and GetIDsOfNames: random DISPIDs, flags, named
// arguments and VARIANTs of every kind, on one control whose engine threads
// do not run. The untrusted-caller option is set, so no input can name
// memory for the serial and picture-buffer members.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "control/members.h"
#include "control/velmorax_impl.h"
#include "engine/link_events.h"
#include "platform/message_box.h"
#include "shared/shared_audio_area.h"
#include "tests/fuzz/byte_reader.h"

namespace {

class FuzzForm final : public control::ViewerForm {
 public:
  FuzzForm() {
    link = std::make_unique<CNetManage>(std::make_unique<NoRecorder>(), 0);
    video = std::make_unique<CVideoMPEG4>(nullptr);
    audio = std::make_unique<CAudioG726>();
    link->video = video.get();
    link->audio = audio.get();
    link->vidSock = &vidSock;
    link->audSock = &audSock;
  }
  CNetManage& Link() override { return *link; }
  CVideoMPEG4& Video() override { return *video; }
  CAudioG726& Audio() override { return *audio; }
  int32_t InstanceNumber() const override { return 1; }
  control::FormProperties& Properties() override { return properties; }
  MessageClosure& PassMessage() override { return passMessage; }
  void ActiveFormDestroy() override {}

  platform::ClientSocket vidSock, audSock;
  std::unique_ptr<CNetManage> link;
  std::unique_ptr<CVideoMPEG4> video;
  std::unique_ptr<CAudioG726> audio;
  control::FormProperties properties;
  MessageClosure passMessage;
};

struct Reader : fuzz::ByteReader {
  int32_t Int() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
    return static_cast<int32_t>(v);
  }
};

control::TVelmoraXImpl* Control() {
  static control::TVelmoraXImpl* x = [] {
    setenv("VELMORA_AUDIO", "null", 1);
    setenv("VELMORA_VIDEO", "headless", 1);
    platform::SetMessageBoxSink([](const std::string&, const std::string&) {});
    auto* c = control::CreateVelmoraX(std::make_unique<FuzzForm>());
    c->AddSafetyOptions(control::TVelmoraXImpl::kSafeForUntrustedCaller);
    return c;
  }();
  return x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  control::TVelmoraXImpl* x = Control();
  Reader r{{data, size}};
  const auto members = control::Members();
  while (r.n > 0) {
    const uint8_t pick = r.Byte();
    DISPID id;
    if (pick & 0x80) {
      id = r.Int();
    } else {
      id = members[pick % members.size()].dispid;
    }
    if (pick == 0x7F) {
      // A name lookup with random bytes.
      std::u16string name;
      for (int i = r.Byte() % 12; i > 0; --i) name.push_back(static_cast<char16_t>(r.Byte()));
      LPOLESTR names[] = {name.data()};
      DISPID out;
      x->GetIDsOfNames(IID_NULL, names, 1, 0, &out);
      continue;
    }
    const WORD flags = static_cast<WORD>(r.Byte() & 0x0F);
    const UINT argc = r.Byte() % 7;
    VARIANT args[6];
    int32_t refTargets[6] = {};
    VARIANT refVariants[6];
    for (UINT i = 0; i < argc; ++i) {
      VariantInit(&args[i]);
      VariantInit(&refVariants[i]);
      const uint8_t kind = r.Byte();
      const int32_t v = r.Int();
      switch (kind % 13) {
        case 0: break;
        case 1: args[i].vt = VT_I2; args[i].iVal = static_cast<int16_t>(v); break;
        case 2: args[i].vt = VT_I4; args[i].lVal = v; break;
        case 3: args[i].vt = VT_I8; args[i].llVal = int64_t{v} << (kind % 40); break;
        case 4: args[i].vt = VT_UI4; args[i].ulVal = static_cast<uint32_t>(v); break;
        case 5: args[i].vt = VT_R4; std::memcpy(&args[i].fltVal, &v, 4); break;
        case 6: args[i].vt = VT_BOOL; args[i].boolVal = v & 1 ? VARIANT_TRUE : VARIANT_FALSE; break;
        case 7: {
          std::u16string s;
          for (int k = v & 31; k > 0; --k) s.push_back(static_cast<char16_t>(r.Byte() | (r.Byte() << 8)));
          args[i].vt = VT_BSTR;
          args[i].bstrVal = SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
          break;
        }
        case 8: {
          args[i].vt = VT_DISPATCH;
          IDispatch* font = nullptr;
          if (v & 1) x->get_Font(&font);
          args[i].pdispVal = font;
          break;
        }
        case 9: args[i].vt = VT_UNKNOWN; args[i].punkVal = nullptr; break;
        case 10: args[i].vt = VT_BYREF | VT_I4; refTargets[i] = v; args[i].plVal = &refTargets[i]; break;
        case 11:
          refVariants[i].vt = VT_I4;
          refVariants[i].lVal = v;
          args[i].vt = VT_BYREF | VT_VARIANT;
          args[i].pvarVal = &refVariants[i];
          break;
        default: args[i].vt = static_cast<VARTYPE>(v); args[i].llVal = 0; break;  // not a type
      }
    }
    DISPID named[2] = {DISPID_PROPERTYPUT, r.Int()};
    const uint8_t namedMode = r.Byte();
    const UINT cNamed = namedMode % 3 > argc ? argc : namedMode % 3;
    DISPPARAMS params{argc ? args : nullptr, cNamed ? named : nullptr, argc, cNamed};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excep{};
    UINT argErr = 0;
    x->Invoke(id, (namedMode & 0x80) ? IID_IDispatch : IID_NULL, 0, flags, &params, (namedMode & 0x40) ? nullptr : &result,
              &excep, &argErr);
    VariantClear(&result);
    SysFreeString(excep.bstrSource);
    SysFreeString(excep.bstrDescription);
    SysFreeString(excep.bstrHelpFile);
    for (UINT i = 0; i < argc; ++i) {
      if (args[i].vt == VT_BSTR || args[i].vt == VT_DISPATCH) VariantClear(&args[i]);
      VariantClear(&refVariants[i]);
    }
  }
  static_cast<FuzzForm*>(x->Form())->link->commands.ClearBytes();
  return 0;
}
