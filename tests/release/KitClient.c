/* A minidriver's first program, built from the unzipped kit alone (its headers and an import library):
 * one flatbed page through the exports in the order README-Windows.md gives. Each call is printed as
 * "> CALL" and "= RESULT" (image blocks with their size and FNV-1a hash); the handler's debug lines go
 * to the debugger channel. The scanner is the simulator behind the build folder's test device monitor,
 * the prtmon64.dll beside the program, held loaded across the handler's port cycles: connecting it is
 * the one step outside the kit's contract. */
#include <stdio.h>
#include <string.h>

#include "STIEscape.h"
#include "WIASTIIO.h"

static void Result(HRESULT hr, const char* details) {
  printf("= 0x%08lX%s%s\n", (unsigned long)hr, details[0] ? " " : "", details);
}

static unsigned long Fnv1a(const BYTE* data, DWORD length) {
  unsigned long hash = 2166136261UL;
  for (DWORD i = 0; i < length; ++i) {
    hash = ((hash ^ data[i]) * 16777619UL) & 0xFFFFFFFFUL;
  }
  return hash;
}

/* The device-control interface in its C form: the handler calls only GetMyDeviceOpenMode. */
static unsigned long g_openModeAsked;
static HRESULT STDMETHODCALLTYPE GetMyDeviceOpenMode(IStiDeviceControl* self, DWORD* mode) {
  (void)self;
  ++g_openModeAsked;
  *mode = 0;
  return S_OK;
}
static IStiDeviceControlVtbl g_controlTable = {.GetMyDeviceOpenMode = GetMyDeviceOpenMode};

int main(void) {
  typedef BOOL(WINAPI * PFN_CONNECTSIMULATOR)(DWORD);
  IStiDeviceControl control = {&g_controlTable};
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
  while (length > 0 && path[length - 1] != '\\') {
    --length;
  }
  snprintf(path + length, sizeof path - length, "prtmon64.dll");
  HMODULE monitor = LoadLibraryA(path);
  PFN_CONNECTSIMULATOR connect =
      monitor != NULL ? (PFN_CONNECTSIMULATOR)(void (*)(void))GetProcAddress(monitor, "ConnectSimulator") : NULL;
  /* The device's key with the DeviceData values the example INF writes. */
  HKEY parameters = NULL;
  HKEY deviceData = NULL;
  const DWORD vid = 0x1A2B, deviceMonitor = 1;
  const BYTE pid[2] = {0x4D, 0x3C};
  if (connect == NULL || !connect(1280) ||
      RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\WIASTIIO kit client\\Device\\DeviceData", 0, NULL, 0,
                      KEY_ALL_ACCESS, NULL, &deviceData, NULL) != ERROR_SUCCESS ||
      RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\WIASTIIO kit client\\Device", 0, KEY_READ, &parameters) !=
          ERROR_SUCCESS) {
    printf("no simulated device monitor beside the program, or no device key\n");
    return 2;
  }
  RegSetValueExA(deviceData, "Vid", 0, REG_DWORD, (const BYTE*)&vid, sizeof vid);
  RegSetValueExA(deviceData, "Pid", 0, REG_BINARY, pid, sizeof pid);
  RegSetValueExA(deviceData, "DeviceMonitor", 0, REG_DWORD, (const BYTE*)&deviceMonitor, sizeof deviceMonitor);
  RegCloseKey(deviceData);

  char details[64];
  static SCAN_DEVICE_INFO info;
  SWP_PARAMETER window;
  memset(&window, 0, sizeof window);
  window.dwWindowWidth = 64; /* 64 x 40 grey pixels at 300 dpi on the flatbed */
  window.dwWindowHeight = 40;
  window.byResolutionCode = 5;
  window.byParameters[0] = IMAGE_TYPE_GREY;
  window.byScanSource = SCAN_SOURCE_FLATBED;
  printf("> InitializeDll 1\n");
  Result(InitializeDll(1), "");
  printf("> Initialize\n");
  HRESULT hr = Initialize(&control, 0, parameters);
  snprintf(details, sizeof details, "open-mode asked %lu", g_openModeAsked);
  Result(hr, details);
  printf("> GET_DEVICE_INFO\n");
  hr = STIEscape(GET_DEVICE_INFO, NULL, 0, &info, sizeof info, NULL);
  snprintf(details, sizeof details, "vendor \"%.8s\" x %ld resolutions", info.szVendorID, (long)info.nX_Resolutions);
  Result(hr, details);
  printf("> ESC_RESERVE_UNIT\n");
  Result(STIEscape(ESC_RESERVE_UNIT, NULL, 0, NULL, 0, NULL), "");
  printf("> ESC_SET_WINDOW_PARAMETER\n");
  Result(STIEscape(ESC_SET_WINDOW_PARAMETER, &window, sizeof window, NULL, 0, NULL), "");
  printf("> ESC_OBJECT_POSITION\n");
  Result(STIEscape(ESC_OBJECT_POSITION, NULL, 0, NULL, 0, NULL), "");
  /* Each ESC_READ announces a block, ESC_READ_IMAGE takes it without its trailer; PAGE_END comes with
   * the last. */
  for (int guard = 0; guard < 1000; ++guard) {
    static BYTE block[65536];
    READ_RESPONSE response;
    DWORD actual = 0;
    printf(">> ESC_READ\n");
    const HRESULT read = STIEscape(ESC_READ, NULL, 0, &response, sizeof response, NULL);
    snprintf(details, sizeof details, "block %lu", (unsigned long)response.dwDataSize);
    Result(read, details);
    const DWORD size = response.dwDataSize > IMAGE_TRAILER_SIZE ? response.dwDataSize - IMAGE_TRAILER_SIZE : 1;
    if ((read != S_OK && read != PAGE_END) || size > sizeof block) {
      break;
    }
    printf(">> ESC_READ_IMAGE\n");
    hr = STIEscape(ESC_READ_IMAGE, NULL, 0, block, size, &actual);
    snprintf(details, sizeof details, "actual %lu fnv 0x%08lX", (unsigned long)actual, Fnv1a(block, actual));
    Result(hr, details);
    if (hr != S_OK || read == PAGE_END) {
      break;
    }
  }
  printf("> ESC_RELEASE_UNIT\n");
  Result(STIEscape(ESC_RELEASE_UNIT, NULL, 0, NULL, 0, NULL), "");
  printf("> TerminateDll\n");
  Result(TerminateDll(), "");
  RegCloseKey(parameters);
  RegDeleteTreeA(HKEY_CURRENT_USER, "Software\\WIASTIIO kit client");
  FreeLibrary(monitor);
  return 0;
}
