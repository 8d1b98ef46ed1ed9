// The members by name through IDispatch, on a control whose engine threads
// are not running, so posted commands stay in the queue to be read.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "control/font.h"
#include "control/members.h"
#include "platform/message_box.h"
#include "shared/command_codes.h"
#include "test_form.h"

namespace control_test {
namespace {

class Members : public ::testing::Test {
 protected:
  void SetUp() override {
    auto f = std::make_unique<TestForm>(false);
    form = f.get();
    x = control::CreateVelmoraX(std::move(f));
  }
  void TearDown() override { x->Release(); }
  CNetManage& link() { return *form->link; }

  TestForm* form = nullptr;
  control::TVelmoraXImpl* x = nullptr;
};

TEST_F(Members, SnapsAndClampsAsTheTablesSay) {
  const std::pair<int32_t, int32_t> frameRates[] = {{0, 1}, {1, 1}, {8, 7}, {14, 10}, {29, 15}, {100, 30}, {-5, 1}, {4, 4}};
  for (auto [in, out] : frameRates) {
    ASSERT_EQ(PutI4(x, u"maxfrmrate", in), S_OK);
    EXPECT_EQ(GetI4(x, u"MAXFRMRATE"), out) << in;
  }
  const std::pair<int32_t, int32_t> buffering[] = {{-5, 0}, {950, 900}, {1000, 1000}, {1999, 1000}, {4999, 4000}, {70000, 5000}};
  for (auto [in, out] : buffering) {
    form->video->playing = 1;
    ASSERT_EQ(PutI4(x, u"buffering", in), S_OK);
    EXPECT_EQ(GetI4(x, u"buffering"), out) << in;
    EXPECT_EQ(form->audio->buffering.load(), static_cast<uint32_t>(out));
    EXPECT_EQ(form->video->playing.load(), 0) << "every put restarts the pre-buffer";
  }
  PutI4(x, u"prerecord", 30000);
  EXPECT_EQ(GetI4(x, u"prerecord"), 25000);
  PutI4(x, u"prerecord", -1);
  EXPECT_EQ(GetI4(x, u"prerecord"), 0);
  PutI4(x, u"audsen", -1);
  EXPECT_EQ(GetI4(x, u"audsen"), 0);
  PutI4(x, u"audsen", 70000);
  EXPECT_EQ(GetI4(x, u"audsen"), 60000);
  PutI4(x, u"maxbitrate", 0x12345);
  EXPECT_EQ(GetI4(x, u"maxbitrate"), 0x2345);
  PutI4(x, u"maxq", 0x1FF);
  EXPECT_EQ(GetI4(x, u"maxq"), 0xFF);
  PutI4(x, u"motionsen", 70000);
  EXPECT_EQ(GetI4(x, u"motionsen"), 70000 & 0xFFFF);
  PutI4(x, u"port", 40000);
  EXPECT_EQ(GetI4(x, u"port"), -25536);
  PutI4(x, u"audmode", 7);
  EXPECT_EQ(GetI4(x, u"audmode"), 1);
  PutI4(x, u"AudioModule", -3);
  EXPECT_EQ(GetI4(x, u"AudioModule"), 1);
  PutI4(x, u"MotionGrid", 9);
  EXPECT_EQ(GetI4(x, u"MotionGrid"), 1);
  PutI4(x, u"localvideo", 6);  // bit 1 on, bit 0 off
  EXPECT_EQ(GetI4(x, u"localvideo"), 2);
  EXPECT_EQ(form->video->localvideoChanged.load(), 1);
}

TEST_F(Members, ReadsEngineFieldsAndClearsMotionOnRead) {
  link().cameraId = 0x8001;
  link().firmwareVersion = 0x0105;
  EXPECT_EQ(GetI4(x, u"lumoid"), 0x01058001);
  form->video->motionoccur = 1;
  EXPECT_EQ(GetI4(x, u"motionoccur"), 1);
  EXPECT_EQ(GetI4(x, u"motionoccur"), 0);
  EXPECT_EQ(GetI4(x, u"idnum"), 3);
  EXPECT_EQ(GetText(x, u"version"), u"1.5.0.0");
  EXPECT_EQ(GetText(x, u"message"), u"");
  link().audconnected = 1;
  EXPECT_EQ(GetI4(x, u"connected"), 1);
  form->video->MotionGridMask = 0xFFFFFFFF;
  EXPECT_EQ(GetI4(x, u"MotionGridMask"), 0x1FFFFFF);
}

TEST_F(Members, ReadOnlyPutShowsTheBoxAndStoresNothing) {
  std::vector<std::pair<std::string, std::string>> boxes;
  auto previous = platform::SetMessageBoxSink(
      [&](const std::string& text, const std::string& title) { boxes.push_back({text, title}); });
  link().frmrate = 12;
  EXPECT_EQ(PutI4(x, u"frmrate", 99), S_OK);
  EXPECT_EQ(GetI4(x, u"frmrate"), 12);
  EXPECT_EQ(PutText(x, u"message", u"x"), S_OK);
  platform::SetMessageBoxSink(previous);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0].first, "Don't assign a value to read-only variable");
  EXPECT_EQ(boxes[0].second, "Inform");
  // A get-only member has no put at all.
  EXPECT_EQ(PutI4(x, u"lumoid", 1), DISP_E_MEMBERNOTFOUND);
}

TEST_F(Members, VidEnableChangesOnlyOnADifference) {
  PutI4(x, u"VidEnable", 5);
  EXPECT_EQ(form->video->vidEnableChanged.load(), 0);
  PutI4(x, u"VidEnable", 0);
  EXPECT_EQ(form->video->vidEnableChanged.load(), 1);
  EXPECT_EQ(form->video->VidEnable.load(), 0);
  EXPECT_EQ(GetI4(x, u"VidEnable"), 0);
  form->audio->playEnabled = 1;
  PutI4(x, u"AudEnable", 0);
  EXPECT_EQ(form->audio->playEnabled.load(), 0);
}

TEST_F(Members, RightsDecideWhatIsPosted) {
  // As a user: channel, encoder and mask are refused silently.
  link().loginLevel = kLoginUser;
  EXPECT_EQ(Call(x, u"SelVidChannel", {I4(7), I4(2)}), S_OK);
  EXPECT_EQ(PutI4(x, u"MotionGridMask", 5), S_OK);
  EXPECT_EQ(form->video->MotionGridMask.load(), 0u);
  EXPECT_EQ(Call(x, u"PutGPIOValue", {I4(1)}), S_OK);
  EXPECT_TRUE(PendingCommands(link()).empty());
  link().gpioAllowed = 1;
  Call(x, u"PutGPIOValue", {I4(3)});
  EXPECT_EQ(link().gpioOut.load(), 3);
  EXPECT_EQ(PendingCommands(link()), std::vector<int32_t>{CmdSendGpio});

  link().loginLevel = kLoginAdmin;
  Call(x, u"SelVidChannel", {I4(7), I4(2)});
  EXPECT_EQ(link().channelRequest.load(), 3);
  EXPECT_EQ(link().channelUpdate.load(), 1);
  com::Variant retval;
  ASSERT_EQ(Call(x, u"AdminSet", {I4(1)}, &retval), S_OK);  // not streaming
  EXPECT_EQ(retval.vt, VT_I4);
  EXPECT_EQ(retval.lVal, 0);
  link().videoState = 100;
  Call(x, u"AdminSet", {I4(0)}, &retval);
  EXPECT_EQ(retval.lVal, 1);
  Call(x, u"SetMPEG4Control", {}, &retval);
  EXPECT_EQ(PendingCommands(link()), (std::vector<int32_t>{CmdSelectChannel, CmdSetEncoderNoFlash, CmdSetEncoderFlash}));
}

TEST_F(Members, SwitchUserCountsConvertedBytes) {
  VARIANT user19 = Text(u"abcdefghijklmnopqrs"), user20 = Text(u"abcdefghijklmnopqrst"), pass = Text(u"pw");
  VARIANT wide = Text(u"\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9\u00E9");  // 10 characters, 20 bytes
  Call(x, u"SwitchUser", {user19, pass});
  EXPECT_TRUE(PendingCommands(link()).empty()) << "refused before any connect";
  link().loginLevel = kLoginUser;
  Call(x, u"SwitchUser", {user20, pass});
  Call(x, u"SwitchUser", {wide, pass});
  EXPECT_TRUE(PendingCommands(link()).empty());
  Call(x, u"SwitchUser", {user19, pass});
  EXPECT_EQ(PendingCommands(link()), std::vector<int32_t>{CmdSwitchUser});
  EXPECT_EQ(link().GetText(link().switchUsername), "abcdefghijklmnopqrs");
  for (VARIANT* v : {&user19, &user20, &pass, &wide}) VariantClear(v);
}

TEST_F(Members, StringFieldsConvertAndNeverSplitACharacter) {
  PutText(x, u"ipaddr", u"127.0.0.1");
  EXPECT_EQ(GetText(x, u"ipaddr"), u"127.0.0.1");
  // 18 ASCII bytes and a two-byte character: 20 bytes do not fit in 19.
  PutText(x, u"username", u"abcdefghijklmnopqr\u00E9");
  EXPECT_EQ(GetText(x, u"username"), u"abcdefghijklmnopqr");
  PutText(x, u"password", u"");
  EXPECT_EQ(GetText(x, u"password"), u"");
  std::u16string longName(120, u'n');
  PutText(x, u"recname", longName);
  EXPECT_EQ(GetText(x, u"recname"), longName.substr(0, 99));
}

TEST_F(Members, SerialDataMovesAtMost254BytesPerCall) {
  std::vector<uint8_t> waiting(300);
  for (size_t i = 0; i < waiting.size(); ++i) waiting[i] = static_cast<uint8_t>(i);
  link().sioRx[1].PutBytes(waiting.data(), 300);
  std::vector<uint8_t> buf(254, 0xEE);
  int32_t length = -1;
  ASSERT_EQ(Call(x, u"GetSIOData", {I4(1), I8(reinterpret_cast<intptr_t>(buf.data())), OutI4(&length)}), S_OK);
  EXPECT_EQ(length, 254);
  EXPECT_EQ(buf[253], 253);
  Call(x, u"GetSIOData", {I4(1), I8(reinterpret_cast<intptr_t>(buf.data())), OutI4(&length)});
  EXPECT_EQ(length, 46);
  EXPECT_EQ(buf[0], 254);
  std::fill(buf.begin(), buf.end(), 0xEE);
  Call(x, u"GetSIOData", {I4(1), I8(reinterpret_cast<intptr_t>(buf.data())), OutI4(&length)});
  EXPECT_EQ(length, 0);
  EXPECT_EQ(buf[0], 0xEE);
  // Out of range channel and a null buffer do nothing.
  Call(x, u"GetSIOData", {I4(2), I8(reinterpret_cast<intptr_t>(buf.data())), OutI4(&length)});
  EXPECT_EQ(length, 0);
  link().loginLevel = kLoginAdmin;
  Call(x, u"PutSIOData", {I4(0), I8(0), I4(10)});
  Call(x, u"PutSIOData", {I4(0), I8(reinterpret_cast<intptr_t>(buf.data())), I4(-1)});
  EXPECT_EQ(link().sioTx[0].Count(), 0u);
  Call(x, u"PutSIOData", {I4(0), I8(reinterpret_cast<intptr_t>(buf.data())), I4(10)});
  EXPECT_EQ(link().sioTx[0].Count(), 10u);
  // A block the ring cannot take is refused, and the caller is told so.
  std::vector<uint8_t> big(CManage1DBUF::kCapacity, 0x11);
  const int32_t bigSize = static_cast<int32_t>(big.size());
  EXPECT_EQ(Call(x, u"PutSIOData", {I4(0), I8(reinterpret_cast<intptr_t>(big.data())), I4(bigSize)}), DISP_E_EXCEPTION);
  EXPECT_EQ(link().sioTx[0].Count(), 10u);
  // Untrusted callers may not name memory.
  x->AddSafetyOptions(control::TVelmoraXImpl::kSafeForUntrustedCaller);
  Call(x, u"PutSIOData", {I4(0), I8(reinterpret_cast<intptr_t>(buf.data())), I4(10)});
  EXPECT_EQ(link().sioTx[0].Count(), 10u);
  Call(x, u"SetDecPointer", {I8(reinterpret_cast<intptr_t>(buf.data()))});
  EXPECT_EQ(form->video->decPointer.load(), nullptr);
}

TEST_F(Members, SerialSettingsRoundTripSignExtended) {
  Call(x, u"SetSIOInit", {I4(1), I4(115200), I4(0x1FF), I4(2), I4(0x80)});
  int32_t b = 0, d = 0, s = 0, p = 0;
  ASSERT_EQ(Call(x, u"GetSIOInit", {I4(1), OutI4(&b), OutI4(&d), OutI4(&s), OutI4(&p)}), S_OK);
  EXPECT_EQ(b, 115200);
  EXPECT_EQ(d, -1);
  EXPECT_EQ(s, 2);
  EXPECT_EQ(p, -128);
  Call(x, u"GetSIOInit", {I4(5), OutI4(&b), OutI4(&d), OutI4(&s), OutI4(&p)});
  EXPECT_EQ(b, 0);
  EXPECT_EQ(p, 0);
}

TEST_F(Members, ConnectPostsInOrderAndWritesTheTraceLine) {
  int32_t connect = 77;
  ASSERT_EQ(Call(x, u"ConnectWebcam", {OutI4(&connect)}), S_OK);
  EXPECT_EQ(connect, 0);
  EXPECT_EQ(link().loginLevel.load(), 0);
  Call(x, u"DisconnectWebcam", {});
  Call(x, u"StartRecording", {});
  Call(x, u"StopRecording", {});
  Call(x, u"VidConnect", {});
  Call(x, u"AudConnect", {});
  Call(x, u"AudDisconnect", {});
  Call(x, u"VidDisconnect", {});
  EXPECT_EQ(PendingCommands(link()),
            (std::vector<int32_t>{CmdConnectVideo, CmdConnectAudio, CmdDisconnectAudio, CmdDisconnectVideo,
                                  CmdStartRecording, CmdStopRecording, CmdConnectVideo, CmdConnectAudio,
                                  CmdDisconnectAudio, CmdDisconnectVideo}));
}

TEST_F(Members, InvokeErrorPaths) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  com::Variant result;
  const DISPID port = IdOf(x, u"PORT");
  EXPECT_EQ(port, 18);
  EXPECT_EQ(x->Invoke(999, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(x->Invoke(port, IID_IDispatch, 0, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  // A get alone, or with METHOD; a null result is legal.
  EXPECT_EQ(x->Invoke(port, IID_NULL, 0, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &none, &result, nullptr, nullptr), S_OK);
  EXPECT_EQ(result.lVal, 700);
  EXPECT_EQ(x->Invoke(IdOf(x, u"version"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr), S_OK);
  VARIANT arg = I4(1);
  DISPPARAMS one{&arg, nullptr, 1, 0};
  EXPECT_EQ(x->Invoke(port, IID_NULL, 0, DISPATCH_PROPERTYGET, &one, &result, nullptr, nullptr), DISP_E_BADPARAMCOUNT);
  // A put needs the named DISPID_PROPERTYPUT argument.
  EXPECT_EQ(x->Invoke(port, IID_NULL, 0, DISPATCH_PROPERTYPUT, &one, nullptr, nullptr, nullptr), DISP_E_PARAMNOTFOUND);
  DISPID other = 3;
  DISPPARAMS namedWrong{&arg, &other, 1, 1};
  EXPECT_EQ(x->Invoke(port, IID_NULL, 0, DISPATCH_PROPERTYPUT, &namedWrong, nullptr, nullptr, nullptr), DISP_E_NONAMEDARGS);
  EXPECT_EQ(x->Invoke(IdOf(x, u"VidConnect"), IID_NULL, 0, DISPATCH_METHOD, &namedWrong, nullptr, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  // Coercion failure names the argument.
  VARIANT args[2] = {Text(u"not a number"), I4(0)};  // Update, Ch
  DISPPARAMS two{args, nullptr, 2, 0};
  UINT argErr = 99;
  EXPECT_EQ(x->Invoke(IdOf(x, u"SelVidChannel"), IID_NULL, 0, DISPATCH_METHOD, &two, nullptr, nullptr, &argErr),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  VariantClear(&args[0]);
  EXPECT_EQ(x->Invoke(IdOf(x, u"SelVidChannel"), IID_NULL, 0, DISPATCH_METHOD, &one, nullptr, nullptr, nullptr),
            DISP_E_BADPARAMCOUNT);
  // An out parameter must come by reference.
  VARIANT notRef = I4(0);
  DISPPARAMS out{&notRef, nullptr, 1, 0};
  EXPECT_EQ(x->Invoke(IdOf(x, u"GetGPIOValue"), IID_NULL, 0, DISPATCH_METHOD, &out, nullptr, nullptr, &argErr),
            DISP_E_TYPEMISMATCH);
  // Methods need METHOD; properties are not methods.
  EXPECT_EQ(x->Invoke(IdOf(x, u"VidConnect"), IID_NULL, 0, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(x->Invoke(port, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  // Names: any case; parameter names after the member's.
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"getsioinit"), const_cast<LPOLESTR>(u"PARITY"),
                      const_cast<LPOLESTR>(u"nope")};
  DISPID ids[3];
  EXPECT_EQ(x->GetIDsOfNames(IID_NULL, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 70);
  EXPECT_EQ(ids[1], 4);
  EXPECT_EQ(ids[2], DISPID_UNKNOWN);
}

TEST_F(Members, NullOutPointersAreRefused) {
  EXPECT_EQ(x->get_port(nullptr), E_POINTER);
  EXPECT_EQ(x->ConnectWebcam(nullptr), E_POINTER);
  EXPECT_TRUE(PendingCommands(link()).empty());
  EXPECT_EQ(x->GetSIOData(0, 0, nullptr), E_POINTER);
  int32_t a = 0;
  EXPECT_EQ(x->GetSIOInit(0, &a, &a, nullptr, &a), E_POINTER);
  EXPECT_EQ(x->AdminSet(1, nullptr), E_POINTER);
}

// A property-notify sink that refuses edits while told to.
struct NotifySink final : IPropertyNotifySink {
  bool refuse = false;
  std::vector<std::pair<char, DISPID>> calls;
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || riid == IID_IPropertyNotifySink) {
      *ppv = this;
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT OnChanged(DISPID id) override {
    calls.push_back({'c', id});
    return S_OK;
  }
  HRESULT OnRequestEdit(DISPID id) override {
    calls.push_back({'r', id});
    return refuse ? S_FALSE : S_OK;
  }
};

TEST_F(Members, StandardPutsAskTheContainerFirst) {
  IConnectionPointContainer* cpc = nullptr;
  x->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
  IConnectionPoint* cp = nullptr;
  ASSERT_EQ(cpc->FindConnectionPoint(IID_IPropertyNotifySink, &cp), S_OK);
  NotifySink sink;
  DWORD cookie = 0;
  ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);
  EXPECT_EQ(PutText(x, u"Caption", u"Cam 1"), S_OK);
  EXPECT_EQ(GetText(x, u"caption"), u"Cam 1");
  sink.refuse = true;
  EXPECT_EQ(PutI4(x, u"BorderWidth", 4), S_FALSE);
  EXPECT_EQ(GetI4(x, u"BorderWidth"), 0);
  EXPECT_EQ(sink.calls, (std::vector<std::pair<char, DISPID>>{{'r', -518}, {'c', -518}, {'r', 5}}));
  EXPECT_EQ(cp->Unadvise(cookie), S_OK);
  EXPECT_EQ(cp->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  cp->Release();
  cpc->Release();
}

TEST_F(Members, FontIsAnAutomationObject) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  com::Variant font;
  ASSERT_EQ(x->Invoke(-512, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, &font, nullptr, nullptr), S_OK);
  ASSERT_EQ(font.vt, VT_DISPATCH);
  control::FontData initial;
  ASSERT_TRUE(control::ReadFont(font.pdispVal, &initial));
  EXPECT_EQ(initial.name, u"Tahoma");
  EXPECT_EQ(initial.size, 9.75f) << "13 pixels high";
  EXPECT_EQ(PutText(font.pdispVal, u"name", u"Arial"), S_OK);
  EXPECT_EQ(PutI4(font.pdispVal, u"Bold", 1), S_OK);
  EXPECT_EQ(GetText(font.pdispVal, u"Name"), u"Arial");
  EXPECT_EQ(GetI4(font.pdispVal, u"bold"), -1);
  // put copies into the form's font; putref replaces it.
  IDispatch* other = control::CreateFont({u"Courier", 12.0f, false, true, false, false});
  EXPECT_EQ(x->put_Font(other), S_OK);
  IDispatch* now = nullptr;
  x->get_Font(&now);
  EXPECT_NE(now, other);
  EXPECT_EQ(GetText(now, u"Name"), u"Courier");
  now->Release();
  EXPECT_EQ(x->putref_Font(other), S_OK);
  x->get_Font(&now);
  EXPECT_EQ(now, other);
  now->Release();
  other->Release();
  // An object that is no font is refused: the control as its own font would
  // keep itself alive.
  EXPECT_EQ(x->putref_Font(x), DISP_E_TYPEMISMATCH);
  x->get_Font(&now);
  EXPECT_EQ(now, other);
  now->Release();
}

TEST_F(Members, UntrustedCallersRecordOnlyInsideTheDrivesFolder) {
  const std::string drives = ::testing::TempDir() + "velmora-drives-" + std::to_string(getpid());
  setenv("VELMORA_DRIVES", drives.c_str(), 1);
  x->AddSafetyOptions(control::TVelmoraXImpl::kSafeForUntrustedCaller);
  const std::u16string before = GetText(x, u"recname");
  for (const char16_t* outside : {u"/tmp/rec", u"rec", uR"(\\server\rec)", uR"(\rec)", uR"(c:\..\rec)", uR"(1:\rec)"}) {
    PutText(x, u"recname", outside);
    EXPECT_EQ(GetText(x, u"recname"), before) << "refused";
  }
  PutText(x, u"recname", uR"(D:\cam\..\front)");
  EXPECT_EQ(GetText(x, u"recname"), uR"(D:\cam\..\front)");
  Call(x, u"StartRecording", {});
  link().recorder->SetRecordName("/tmp/rec");  // as the host named it before
  Call(x, u"StartRecording", {});
  EXPECT_EQ(PendingCommands(link()), std::vector<int32_t>{CmdStartRecording});
  unsetenv("VELMORA_DRIVES");
  std::filesystem::remove_all(drives);
}

}  // namespace
}  // namespace control_test
