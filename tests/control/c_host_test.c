/* A host written in C from the public COM documentation (64-bit layouts,
 * OLECHAR as a 16-bit unit): it drives the control through IDispatch and
 * raw vtable slots, and receives OnPassMessage in a sink of its own. */
#define _POSIX_C_SOURCE 200809L
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef int32_t HRESULT;
typedef uint16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef int32_t DISPID;
typedef struct GUID {
  uint32_t d1;
  uint16_t d2, d3;
  uint8_t d4[8];
} GUID;
typedef struct VARIANT {
  uint16_t vt, r1, r2, r3;
  union {
    int64_t llVal;
    int32_t lVal;
    BSTR bstrVal;
    int32_t* plVal;
    void* p[2];
  } u;
} VARIANT;
typedef struct DISPPARAMS {
  VARIANT* rgvarg;
  DISPID* rgdispidNamedArgs;
  uint32_t cArgs, cNamedArgs;
} DISPPARAMS;

/* Every interface pointer points at a pointer to its table of slots. */
typedef void (*Slot)(void);
typedef struct Object {
  Slot* vtbl;
} Object;

typedef HRESULT (*QueryInterfaceFn)(Object*, const GUID*, Object**);
typedef uint32_t (*RefFn)(Object*);
typedef HRESULT (*GetIDsOfNamesFn)(Object*, const GUID*, OLECHAR**, uint32_t, uint32_t, DISPID*);
typedef HRESULT (*InvokeFn)(Object*, DISPID, const GUID*, uint32_t, uint16_t, DISPPARAMS*, VARIANT*, void*, uint32_t*);
typedef HRESULT (*FindConnectionPointFn)(Object*, const GUID*, Object**);
typedef HRESULT (*AdviseFn)(Object*, Object*, uint32_t*);
typedef HRESULT (*GetI4Fn)(Object*, int32_t*);
typedef HRESULT (*PutI4Fn)(Object*, int32_t);
typedef HRESULT (*CreateInstanceFn)(Object*, Object*, const GUID*, Object**);

static const GUID IID_NULL_ = {0, 0, 0, {0}};
static const GUID IID_IUnknown_ = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID IID_IDispatch_ = {0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const GUID IID_ICPC_ = {0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
/* The control's event interface, as its type library names it. */
static const GUID DIID_Events_ = {0x6B3F2A43, 0x8C1D, 0x4E57, {0x9A, 0x2E, 0x51, 0x7C, 0x03, 0xD4, 0xB8, 0x11}};
static const GUID CLSID_VelmoraX_ = {0x6B3F2A41, 0x8C1D, 0x4E57, {0x9A, 0x2E, 0x51, 0x7C, 0x03, 0xD4, 0xB8, 0x11}};
static const GUID IID_IClassFactory_ = {1, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

void* velmora_test_create_control(void);
void velmora_test_report_from_thread(void* object, int number, const char* text);
void velmora_test_double_click(Object* control);
HRESULT DllGetClassObject(const GUID* clsid, const GUID* iid, Object** out);
HRESULT DllCanUnloadNow(void);
int VelmoraPumpMessages(unsigned timeoutMs);
BSTR SysAllocString(const OLECHAR*);
void SysFreeString(BSTR);
unsigned SysStringLen(BSTR);
HRESULT VariantClear(VARIANT*);

static int passed, failed;
#define CHECK(c)                                                      \
  do {                                                                \
    if (c) {                                                          \
      ++passed;                                                       \
    } else {                                                          \
      ++failed;                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #c); \
    }                                                                 \
  } while (0)

/* ---- An event sink in C ---- */
static int sinkMessages, sinkLastNumber, sinkTextOk;
static HRESULT SinkQI(Object* self, const GUID* iid, Object** out) {
  if (!memcmp(iid, &IID_IUnknown_, 16) || !memcmp(iid, &IID_IDispatch_, 16) || !memcmp(iid, &DIID_Events_, 16)) {
    *out = self;
    return 0;
  }
  *out = NULL;
  return (HRESULT)0x80004002;
}
static uint32_t SinkRef(Object* self) {
  (void)self;
  return 1;
}
static HRESULT SinkInvoke(Object* self, DISPID id, const GUID* iid, uint32_t lcid, uint16_t flags, DISPPARAMS* p,
                          VARIANT* result, void* excep, uint32_t* argErr) {
  (void)self, (void)iid, (void)lcid, (void)flags, (void)result, (void)excep, (void)argErr;
  if (id == 4 && p->cArgs == 2 && p->rgvarg[1].vt == 3 && p->rgvarg[0].vt == 8) {
    ++sinkMessages;
    sinkLastNumber = p->rgvarg[1].u.lVal;
    BSTR s = p->rgvarg[0].u.bstrVal;
    sinkTextOk = SysStringLen(s) == 2 && s[0] == 'h' && s[1] == 'i';
  }
  return 0;
}
static Slot sinkTable[7] = {(Slot)SinkQI, (Slot)SinkRef, (Slot)SinkRef, NULL, NULL, NULL, (Slot)SinkInvoke};
static Object sink = {sinkTable};

/* A sink that lets go of the control in OnDblClick, as a camera wall
 * closing a tile does. */
static Object* wallControl;
static int wallDblClicks, wallDestroys, wallAfterDestroy;
static HRESULT WallInvoke(Object* self, DISPID id, const GUID* iid, uint32_t lcid, uint16_t flags, DISPPARAMS* p,
                          VARIANT* result, void* excep, uint32_t* argErr) {
  (void)self, (void)iid, (void)lcid, (void)flags, (void)p, (void)result, (void)excep, (void)argErr;
  wallAfterDestroy += wallDestroys;
  if (id == 5 && ++wallDblClicks == 1) ((RefFn)wallControl->vtbl[2])(wallControl);
  wallDestroys += id == 6;
  return 0;
}
static Slot wallTable[7] = {(Slot)SinkQI, (Slot)SinkRef, (Slot)SinkRef, NULL, NULL, NULL, (Slot)WallInvoke};
static Object wallSink = {wallTable};

/* The real control, released by the sink inside OnDblClick, goes once that
 * event is over, with OnDestroy last, and leaves nothing behind. */
static void ReleaseInsideAFormEvent(void) {
  const char* env[][2] = {{"VELMORA_VIDEO", "headless"}, {"VELMORA_AUDIO", "null"}, {"VELMORA_OSTRANE", ""},
                          {"VELMORA_NS", "chost."}};
  for (int i = 0; i < 4; ++i) setenv(env[i][0], env[i][1], 1);
  Object *factory = NULL, *cpc = NULL, *cp = NULL;
  uint32_t cookie = 0;
  CHECK(DllGetClassObject(&CLSID_VelmoraX_, &IID_IClassFactory_, &factory) == 0);
  CHECK(((CreateInstanceFn)factory->vtbl[3])(factory, NULL, &IID_IUnknown_, &wallControl) == 0);
  ((RefFn)factory->vtbl[2])(factory);
  CHECK(((QueryInterfaceFn)wallControl->vtbl[0])(wallControl, &IID_ICPC_, &cpc) == 0);
  CHECK(((FindConnectionPointFn)cpc->vtbl[4])(cpc, &DIID_Events_, &cp) == 0);
  CHECK(((AdviseFn)cp->vtbl[5])(cp, &wallSink, &cookie) == 0);
  ((RefFn)cp->vtbl[2])(cp);
  ((RefFn)cpc->vtbl[2])(cpc);
  velmora_test_double_click(wallControl);
  for (int i = 0; i < 2000 && wallDestroys == 0; ++i) VelmoraPumpMessages(5);
  VelmoraPumpMessages(50);
  CHECK(wallDblClicks == 1 && wallDestroys == 1 && wallAfterDestroy == 0);
  CHECK(DllCanUnloadNow() == 0);
}

static DISPID IdOf(Object* d, const char* name) {
  OLECHAR wide[32];
  size_t i;
  for (i = 0; name[i] && i < 31; ++i) wide[i] = (OLECHAR)name[i];
  wide[i] = 0;
  OLECHAR* names[1] = {wide};
  DISPID id = -1;
  ((GetIDsOfNamesFn)d->vtbl[5])(d, &IID_NULL_, names, 1, 0, &id);
  return id;
}

int main(void) {
  Object* control = (Object*)velmora_test_create_control();
  Object* disp = NULL;
  CHECK(((QueryInterfaceFn)control->vtbl[0])(control, &IID_IDispatch_, &disp) == 0);
  InvokeFn invoke = (InvokeFn)disp->vtbl[6];

  /* port by name: put 701, get it back. */
  DISPID port = IdOf(disp, "Port");
  CHECK(port == 18);
  VARIANT arg;
  memset(&arg, 0, sizeof arg);
  arg.vt = 3;
  arg.u.lVal = 701;
  DISPID named = -3; /* DISPID_PROPERTYPUT */
  DISPPARAMS put = {&arg, &named, 1, 1};
  CHECK(invoke(disp, port, &IID_NULL_, 0, 4, &put, NULL, NULL, NULL) == 0);
  VARIANT result;
  memset(&result, 0, sizeof result);
  DISPPARAMS none = {NULL, NULL, 0, 0};
  CHECK(invoke(disp, port, &IID_NULL_, 0, 2, &none, &result, NULL, NULL) == 0);
  CHECK(result.vt == 3 && result.u.lVal == 701);

  /* The same property through its raw slots: get_port 40, put_port 41. */
  int32_t value = 0;
  CHECK(((PutI4Fn)control->vtbl[41])(control, 40000) == 0);
  CHECK(((GetI4Fn)control->vtbl[40])(control, &value) == 0);
  CHECK(value == -25536);

  /* version comes back as a BSTR the host frees. */
  CHECK(invoke(disp, IdOf(disp, "version"), &IID_NULL_, 0, 2, &none, &result, NULL, NULL) == 0);
  CHECK(result.vt == 8 && SysStringLen(result.u.bstrVal) == 7 && result.u.bstrVal[0] == '1');
  VariantClear(&result);

  /* An out parameter by reference. */
  int32_t gpio = -1;
  VARIANT out;
  memset(&out, 0, sizeof out);
  out.vt = 0x4000 | 3;
  out.u.plVal = &gpio;
  DISPPARAMS call = {&out, NULL, 1, 0};
  CHECK(invoke(disp, IdOf(disp, "GetGPIOValue"), &IID_NULL_, 0, 1, &call, NULL, NULL, NULL) == 0);
  CHECK(gpio == 0);

  /* A sink through the connection point; a message from another thread
   * arrives when this thread pumps. */
  Object* cpc = NULL;
  CHECK(((QueryInterfaceFn)control->vtbl[0])(control, &IID_ICPC_, &cpc) == 0);
  Object* cp = NULL;
  CHECK(((FindConnectionPointFn)cpc->vtbl[4])(cpc, &DIID_Events_, &cp) == 0);
  uint32_t cookie = 0;
  CHECK(((AdviseFn)cp->vtbl[5])(cp, &sink, &cookie) == 0);
  CHECK(cookie == 1);
  velmora_test_report_from_thread(control, 16, "hi");
  CHECK(sinkMessages == 0);
  for (int i = 0; i < 2000 && sinkMessages == 0; ++i) VelmoraPumpMessages(5);
  CHECK(sinkMessages == 1 && sinkLastNumber == 16 && sinkTextOk);

  ((RefFn)cp->vtbl[2])(cp);
  ((RefFn)cpc->vtbl[2])(cpc);
  ((RefFn)disp->vtbl[2])(disp);
  ((RefFn)control->vtbl[2])(control);

  ReleaseInsideAFormEvent();
  printf("%d passed, %d failed\n", passed, failed);
  return failed != 0;
}
