/* A minidriver's first program, built from the unzipped kit alone: its header and an import library,
 * nothing of the source tree. One flatbed page through the nineteen exports' contract, as
 * README-Windows.md gives it: InitializeDll, Initialize on a device key holding DeviceData, the device
 * information, reserve, window, position, read and read image until PAGE_END, release, TerminateDll.
 * Each call's result goes to the output ("> CALL", then "= RESULT ..."), the image blocks as their
 * byte count and FNV-1a hash; the handler's debug lines go to the debugger channel.
 *
 * The device-control interface is the C form of the header's (the table's slots, only those the
 * handler calls filled in). The scanner is the simulator behind the build folder's test device monitor, prtmon64.dll
 * beside the program: it is held loaded (the handler loads and frees it every port cycle) and its simulator connected,
 * the one thing done outside the kit's contract. Exit status 0 when every call returned what the contract promises. */
#include <stdio.h>
#include <string.h>

#include "STIEscape.h"
#include "WIASTIIO.h"

static const char* Name(HRESULT hr) {
  switch (hr) {
    case S_OK:
      return "S_OK";
    case PAGE_END:
      return "PAGE_END";
    case ADF_NO_DOCUMENT:
      return "ADF_NO_DOCUMENT";
    case DEVICE_UNLOCKED:
      return "DEVICE_UNLOCKED";
    case PORT_ACQUIRE_FAIL:
      return "PORT_ACQUIRE_FAIL";
    default:
      return NULL;
  }
}

static int g_failures;

static void Result(HRESULT hr, HRESULT expected, const char* details) {
  const char* name = Name(hr);
  if (name != NULL) {
    printf("= %s%s%s\n", name, details[0] ? " " : "", details);
  } else {
    printf("= 0x%08lX%s%s\n", (unsigned long)hr, details[0] ? " " : "", details);
  }
  if (hr != expected) {
    ++g_failures;
  }
}

static unsigned long Fnv1a(const BYTE* data, DWORD length) {
  unsigned long hash = 2166136261UL;
  for (DWORD i = 0; i < length; ++i) {
    hash = ((hash ^ data[i]) * 16777619UL) & 0xFFFFFFFFUL;
  }
  return hash;
}

/* The device-control interface the imaging service hands to Initialize: the handler asks it only for
 * the open mode. */
static ULONG g_openModeAsked;
static HRESULT STDMETHODCALLTYPE QueryInterface(IStiDeviceControl* self, REFIID riid, void** out) {
  (void)self;
  (void)riid;
  *out = NULL;
  return E_NOINTERFACE;
}
static ULONG STDMETHODCALLTYPE AddRef(IStiDeviceControl* self) {
  (void)self;
  return 1;
}
static ULONG STDMETHODCALLTYPE Release(IStiDeviceControl* self) {
  (void)self;
  return 1;
}
static HRESULT STDMETHODCALLTYPE GetMyDeviceOpenMode(IStiDeviceControl* self, DWORD* mode) {
  (void)self;
  ++g_openModeAsked;
  *mode = 0;
  return S_OK;
}

static IStiDeviceControlVtbl g_controlTable = {
    .QueryInterface = QueryInterface,
    .AddRef = AddRef,
    .Release = Release,
    .GetMyDeviceOpenMode = GetMyDeviceOpenMode,
};

int main(void) {
  IStiDeviceControl control = {&g_controlTable};
  typedef BOOL(WINAPI * PFN_CONNECTSIMULATOR)(DWORD);
  char folder[MAX_PATH];
  char monitorPath[MAX_PATH];
  HMODULE monitor;
  PFN_CONNECTSIMULATOR connect;
  HKEY parameters;
  HKEY deviceData;
  DWORD vid = 0x1A2B;
  const BYTE pid[2] = {0x4D, 0x3C};
  DWORD deviceMonitor = 1;
  HRESULT hr;
  char details[96];
  static SCAN_DEVICE_INFO info;
  SWP_PARAMETER window;
  READ_RESPONSE response;
  static BYTE block[65536];
  int guard;

  /* The simulated device monitor beside the program, held loaded and given its scanner. */
  DWORD length = GetModuleFileNameA(NULL, folder, MAX_PATH);
  while (length > 0 && folder[length - 1] != '\\') {
    --length;
  }
  folder[length] = '\0';
  snprintf(monitorPath, sizeof monitorPath, "%sprtmon64.dll", folder);
  monitor = LoadLibraryA(monitorPath);
  connect = monitor != NULL ? (PFN_CONNECTSIMULATOR)(void (*)(void))GetProcAddress(monitor, "ConnectSimulator") : NULL;
  if (connect == NULL || !connect(1280)) {
    printf("no simulated device monitor beside the program\n");
    return 2;
  }

  /* The device's key, with the three DeviceData values an INF's AddReg writes. */
  if (RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\WIASTIIO kit client\\Device", 0, NULL, 0, KEY_ALL_ACCESS, NULL,
                      &parameters, NULL) != ERROR_SUCCESS ||
      RegCreateKeyExA(parameters, "DeviceData", 0, NULL, 0, KEY_ALL_ACCESS, NULL, &deviceData, NULL) != ERROR_SUCCESS) {
    printf("cannot write the device key\n");
    return 2;
  }
  RegSetValueExA(deviceData, "Vid", 0, REG_DWORD, (const BYTE*)&vid, sizeof vid);
  RegSetValueExA(deviceData, "Pid", 0, REG_BINARY, pid, sizeof pid);
  RegSetValueExA(deviceData, "DeviceMonitor", 0, REG_DWORD, (const BYTE*)&deviceMonitor, sizeof deviceMonitor);
  RegCloseKey(deviceData);

  printf("> InitializeDll 1\n");
  Result(InitializeDll(1), S_OK, "");
  printf("> Initialize\n");
  hr = Initialize(&control, 0, parameters);
  snprintf(details, sizeof details, "open-mode asked %lu", g_openModeAsked);
  Result(hr, S_OK, details);

  printf("> GET_DEVICE_INFO\n");
  hr = STIEscape(GET_DEVICE_INFO, NULL, 0, &info, sizeof info, NULL);
  snprintf(details, sizeof details, "vendor \"%.8s\" x %ld resolutions", info.szVendorID, info.nX_Resolutions);
  Result(hr, S_OK, details);

  printf("> ESC_RESERVE_UNIT\n");
  Result(STIEscape(ESC_RESERVE_UNIT, NULL, 0, NULL, 0, NULL), S_OK, "");

  /* 64 x 40 grey pixels at 300 dpi on the flatbed. */
  memset(&window, 0, sizeof window);
  window.dwWindowWidth = 64;
  window.dwWindowHeight = 40;
  window.byResolutionCode = 5;
  window.byParameters[0] = IMAGE_TYPE_GREY;
  window.byScanSource = SCAN_SOURCE_FLATBED;
  printf("> ESC_SET_WINDOW_PARAMETER\n");
  Result(STIEscape(ESC_SET_WINDOW_PARAMETER, &window, sizeof window, NULL, 0, NULL), S_OK, "");
  printf("> ESC_OBJECT_POSITION\n");
  Result(STIEscape(ESC_OBJECT_POSITION, NULL, 0, NULL, 0, NULL), S_OK, "");

  /* The page: each ESC_READ announces a block, ESC_READ_IMAGE takes it without its trailer; the read
   * that returns PAGE_END announces the last. */
  for (guard = 0; guard < 1000; ++guard) {
    HRESULT read;
    DWORD size;
    DWORD actual = 0;
    printf(">> ESC_READ\n");
    read = STIEscape(ESC_READ, NULL, 0, &response, sizeof response, NULL);
    snprintf(details, sizeof details, "block %lu", (unsigned long)response.dwDataSize);
    Result(read, read == PAGE_END ? PAGE_END : S_OK, details);
    if (read != S_OK && read != PAGE_END) {
      break;
    }
    size = response.dwDataSize > IMAGE_TRAILER_SIZE ? response.dwDataSize - IMAGE_TRAILER_SIZE : 1;
    if (size > sizeof block) {
      printf("block of %lu bytes\n", (unsigned long)size);
      ++g_failures;
      break;
    }
    printf(">> ESC_READ_IMAGE\n");
    hr = STIEscape(ESC_READ_IMAGE, NULL, 0, block, size, &actual);
    snprintf(details, sizeof details, "actual %lu fnv 0x%08lX", (unsigned long)actual, Fnv1a(block, actual));
    Result(hr, S_OK, details);
    if (hr != S_OK || read == PAGE_END) {
      break;
    }
  }

  printf("> ESC_RELEASE_UNIT\n");
  Result(STIEscape(ESC_RELEASE_UNIT, NULL, 0, NULL, 0, NULL), S_OK, "");
  printf("> TerminateDll\n");
  Result(TerminateDll(), S_OK, "");

  RegCloseKey(parameters);
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\WIASTIIO kit client");
  FreeLibrary(monitor);
  return g_failures == 0 ? 0 : 1;
}
