/* A C host: declares what it uses from the public 64-bit COM documentation
 * (OLECHAR as a 16-bit unit) and calls the exports of libvelmora-platform.so. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef uint16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef int32_t HRESULT;
typedef uint16_t VARTYPE;
typedef uint16_t WORD;

typedef struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;

typedef struct VARIANT {
  VARTYPE vt;
  WORD wReserved1, wReserved2, wReserved3;
  union {
    int64_t llVal;
    int32_t lVal;
    int16_t iVal;
    float fltVal;
    int16_t boolVal;
    BSTR bstrVal;
    void* punkVal;
    int32_t* plVal;
    struct {
      void* pvRecord;
      void* pRecInfo;
    } brecord;
  } u;
} VARIANT;

typedef struct DISPPARAMS {
  VARIANT* rgvarg;
  int32_t* rgdispidNamedArgs;
  uint32_t cArgs;
  uint32_t cNamedArgs;
} DISPPARAMS;

typedef struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  uint32_t dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(struct EXCEPINFO*);
  HRESULT scode;
} EXCEPINFO;

_Static_assert(sizeof(GUID) == 16, "GUID");
_Static_assert(sizeof(VARIANT) == 24 && offsetof(VARIANT, u) == 8, "VARIANT");
_Static_assert(sizeof(DISPPARAMS) == 24, "DISPPARAMS");
_Static_assert(sizeof(EXCEPINFO) == 64 && offsetof(EXCEPINFO, scode) == 56, "EXCEPINFO");

BSTR SysAllocString(const OLECHAR*);
BSTR SysAllocStringLen(const OLECHAR*, unsigned);
void SysFreeString(BSTR);
unsigned SysStringLen(BSTR);
void VariantInit(VARIANT*);
HRESULT VariantClear(VARIANT*);
HRESULT VariantChangeType(VARIANT*, const VARIANT*, unsigned short, VARTYPE);

static int passed, failed;
#define CHECK(c)                                                  \
  do {                                                            \
    if (c) {                                                      \
      ++passed;                                                   \
    } else {                                                      \
      ++failed;                                                   \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #c); \
    }                                                             \
  } while (0)

int main(void) {
  static const OLECHAR text[] = {'v', 0, 0xD800, 'x', 0};
  BSTR b = SysAllocStringLen(text, 4);
  uint32_t prefix;
  memcpy(&prefix, (const char*)b - 4, 4);
  CHECK(b != NULL);
  CHECK(SysStringLen(b) == 4);
  CHECK(prefix == 8);
  CHECK(b[4] == 0 && memcmp(b, text, 8) == 0);
  SysFreeString(b);
  CHECK(SysAllocString(NULL) == NULL);
  b = SysAllocString(text);
  CHECK(SysStringLen(b) == 1);
  SysFreeString(b);

  VARIANT v, w;
  VariantInit(&v);
  VariantInit(&w);
  CHECK(v.vt == 0);
  v.vt = 8; /* VT_BSTR */
  v.u.bstrVal = SysAllocString((const OLECHAR[]){'7', '0', '1', 0});
  CHECK(VariantChangeType(&w, &v, 0, 3 /* VT_I4 */) == 0);
  CHECK(w.vt == 3 && w.u.lVal == 701);
  CHECK(VariantClear(&v) == 0 && v.vt == 0);
  CHECK(VariantClear(&w) == 0);

  printf("%d passed, %d failed\n", passed, failed);
  return failed != 0;
}
