// The capturing device monitor. Placed beside WIASTIIO.dll as "prtmon64.dll", it is the module the
// library loads; it loads the installed device monitor from the system folder by its full path,
// forwards every call to it unchanged, and writes the session to a capture file (docs/CAPTURE.md):
// each module call, and each DeviceWrite and DeviceRead with its bytes.
//
// The file is named by WIASTIIO_CAPTURE in the environment, or else by the value "File" (REG_SZ) of
// HKEY_LOCAL_MACHINE\SOFTWARE\WIASTIIO\Capture, for the imaging service, whose environment is not
// the user's. WIASTIIO_CAPTURE_IMAGES=0, or the value "Images" (REG_DWORD) 0, leaves the image bytes
// out. Without a file it forwards and writes nothing. The setting is read again each time the library
// loads the module, so a capture starts and stops without restarting the service; a new file name
// starts a new capture. The file holds a user's pages: it is created readable by its owner, SYSTEM
// and Administrators only, appended to when this account created it before, and any other file of
// that name is left alone ("[capture] FILE is not written: WHY" in the debugger output).
//
// The library loads and frees its contention module in every port cycle. This module stays loaded
// once it is first called, so that one capture spans the whole session; the installed module is
// loaded at the first call of a cycle and freed after the release that ends it, as the library would.
#include <windows.h>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <sddl.h>

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "PortContention.h"
#include "platform/capture-format/CaptureFormat.h"

namespace {

constexpr char kModuleName[] = "prtmon64.dll";
constexpr char kSettingsKey[] = "SOFTWARE\\WIASTIIO\\Capture";

SRWLOCK g_lock = SRWLOCK_INIT;
HMODULE g_installed = nullptr;
std::string g_installedPath;
capture::Writer g_writer;

class Locked {
 public:
  Locked() { AcquireSRWLockExclusive(&g_lock); }
  ~Locked() { ReleaseSRWLockExclusive(&g_lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

HMODULE Self() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&Self), &self);
  return self;
}

std::string Environment(const char* name) {
  char value[MAX_PATH * 2];
  const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

// The capture file configured now, and whether images are kept; empty when none is.
std::string ConfiguredFile(bool* images) {
  std::string file = Environment("WIASTIIO_CAPTURE");
  if (!file.empty()) {
    const std::string keep = Environment("WIASTIIO_CAPTURE_IMAGES");
    *images = keep != "0" && keep != "off";
    return file;
  }
  char path[MAX_PATH * 2];
  DWORD size = sizeof path;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKey, "File", RRF_RT_REG_SZ, nullptr, path, &size) != ERROR_SUCCESS) {
    return "";
  }
  DWORD keep = 1;
  size = sizeof keep;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kSettingsKey, "Images", RRF_RT_REG_DWORD, nullptr, &keep, &size) !=
      ERROR_SUCCESS) {
    keep = 1;
  }
  *images = keep != 0;
  return path;
}

// A SID of this process's token: its user (LocalService for the imaging service, which then owns what
// it creates), or the owner it gives what it creates (Administrators for an administrator's program).
std::vector<BYTE> TokenSid(TOKEN_INFORMATION_CLASS which) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return {};
  }
  std::vector<BYTE> data(256);
  DWORD size = 0;
  const bool ok = GetTokenInformation(token, which, data.data(), static_cast<DWORD>(data.size()), &size) != FALSE;
  CloseHandle(token);
  if (!ok) {
    return {};
  }
  // TOKEN_USER and TOKEN_OWNER both start with the SID's address.
  PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(data.data())->User.Sid
                                : reinterpret_cast<TOKEN_OWNER*>(data.data())->Owner;
  const BYTE* bytes = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

// Full access for this account, SYSTEM and Administrators, and no one else; nothing inherited from the
// folder, whose own entries (C:\ProgramData's let every user read) would otherwise apply.
std::string PrivateDescriptor() {
  std::vector<BYTE> user = TokenSid(TokenUser);
  LPSTR text = nullptr;
  if (user.empty() || !ConvertSidToStringSidA(user.data(), &text)) {
    return "";
  }
  std::string sddl = std::string("D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;") + text + ")";
  LocalFree(text);
  return sddl;
}

// Whether the open `file` is the file `path` names itself, and not one a link there leads to.
bool SameName(HANDLE file, const std::string& path) {
  char full[MAX_PATH * 2];
  char final[MAX_PATH * 2 + 8];
  const DWORD fullLength = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  DWORD finalLength = GetFinalPathNameByHandleA(file, final, sizeof final, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (fullLength == 0 || fullLength >= sizeof full || finalLength == 0 || finalLength >= sizeof final) {
    return false;
  }
  const char* name = final;
  if (std::strncmp(name, "\\\\?\\", 4) == 0) {
    name += 4;
    finalLength -= 4;
  }
  return finalLength == fullLength &&
         CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, name, static_cast<int>(finalLength), full,
                        static_cast<int>(fullLength)) == CSTR_EQUAL;
}

// Why an existing capture file is not ours to append to; "" when it is: a plain file with one name,
// reached by its own name, owned by this account (or the owner it gives what it creates).
std::string ForeignFile(HANDLE file, const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(file, &info)) {
    return "its kind cannot be read";
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
    return "it is not a plain file";
  }
  if (info.nNumberOfLinks != 1) {
    return "it has other names";
  }
  if (!SameName(file, path)) {
    return "it is a link to another file";
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                      &descriptor) != ERROR_SUCCESS) {
    return "its owner cannot be read";
  }
  bool ours = false;
  for (TOKEN_INFORMATION_CLASS which : {TokenUser, TokenOwner}) {
    std::vector<BYTE> sid = TokenSid(which);
    ours = ours || (!sid.empty() && owner != nullptr && EqualSid(owner, sid.data()));
  }
  LocalFree(descriptor);
  return ours ? "" : "another account owns it";
}

// A session cut inside a line (a full disk, a process ended, a machine that went down) is marked cut
// there, so that the reader knows it and the next session's header starts a line of its own; false
// when the mark cannot be written.
bool EndCutLine(HANDLE file) {
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file, &size) || size.QuadPart == 0) {
    return true;
  }
  LARGE_INTEGER last = {};
  last.QuadPart = size.QuadPart - 1;
  char byte = '\n';
  DWORD moved = 0;
  if (!SetFilePointerEx(file, last, nullptr, FILE_BEGIN) || !ReadFile(file, &byte, 1, &moved, nullptr) || moved != 1 ||
      byte == '\n') {
    return true;
  }
  const std::string mark = std::string(capture::kCutMark) + "\r\n";
  return WriteFile(file, mark.data(), static_cast<DWORD>(mark.size()), &moved, nullptr) && moved == mark.size();
}

// The capture file, open for appending: created new, readable by its owner, SYSTEM and Administrators
// only, or one this account created before (an earlier port cycle's or service's). Any other file is
// left as it is, with the reason in `refusal`. The handle is not inherited by child processes.
std::FILE* OpenPrivate(const std::string& path, std::string* refusal) {
  constexpr DWORD kAccess = FILE_READ_DATA | FILE_APPEND_DATA | READ_CONTROL | SYNCHRONIZE;
  const std::string sddl = PrivateDescriptor();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (sddl.empty() ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    *refusal = "no private security descriptor";
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HANDLE file = CreateFileA(path.c_str(), kAccess, FILE_SHARE_READ, &attributes, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE && (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)) {
    file = CreateFileA(path.c_str(), kAccess, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                       nullptr);
    *refusal = file != INVALID_HANDLE_VALUE ? ForeignFile(file, path) : "it cannot be opened";
    if (!refusal->empty()) {
      if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
      }
      return nullptr;
    }
  } else if (file == INVALID_HANDLE_VALUE) {
    *refusal = "error " + std::to_string(error);
    return nullptr;
  }
  if (!EndCutLine(file)) {
    CloseHandle(file);
    *refusal = "its last line cannot be ended";
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_APPEND);
  if (fd < 0) {
    CloseHandle(file);
    *refusal = "no descriptor for it";
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, "a");
  if (stream == nullptr) {
    _close(fd);
    *refusal = "no stream for it";
  }
  return stream;
}

// Before each call, with the lock held: this module kept loaded, the installed module loaded (false
// when it cannot be: the call then fails with the loader's error), and the capture as configured.
bool Enter() {
  static bool pinned = false;
  if (!pinned) {
    HMODULE self = nullptr;
    pinned = GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                reinterpret_cast<LPCSTR>(&Enter), &self) != FALSE;
  }
  if (g_installed != nullptr) {
    return true;
  }
  bool images = true;
  const std::string file = ConfiguredFile(&images);
  if (file.empty()) {
    g_writer.Close();
  } else if (!g_writer.IsOpen() || file != g_writer.Path()) {
    std::string refusal;
    std::FILE* stream = OpenPrivate(file, &refusal);
    if (!g_writer.Adopt(stream, file, images, "Windows device monitor (the capturing prtmon64.dll)")) {
      // Seen in a debugger or DebugView; the calls are forwarded all the same.
      OutputDebugStringA(("[capture] " + file + " is not written: " + refusal).c_str());
    }
  }
  char system[MAX_PATH];
  const UINT length = GetSystemDirectoryA(system, MAX_PATH);
  if (length == 0 || length + sizeof kModuleName + 1 > MAX_PATH) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  g_installedPath = std::string(system) + "\\" + kModuleName;
  // The installed module and its imports from the system folder alone: this process's current folder
  // and PATH are another user's to fill.
  g_installed = LoadLibraryExA(g_installedPath.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  DWORD error = GetLastError();
  if (g_installed == Self() && g_installed != nullptr) {
    // Installed in the system folder itself: there is nothing to forward to.
    FreeLibrary(g_installed);
    g_installed = nullptr;
    error = ERROR_MOD_NOT_FOUND;
  }
  if (g_installed == nullptr) {
    g_writer.Call("load " + g_installedPath + " failed, error " + std::to_string(error));
    SetLastError(error);
    return false;
  }
  return true;
}

template <typename Entry>
Entry Installed(const char* name) {
  return reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddress(g_installed, name)));
}

// Runs `call` on the installed module's entry `name` and writes "name(arguments) = result".
template <typename Entry, typename Call>
BOOL Forward(const char* name, const std::string& arguments, Call call) {
  Locked lock;
  if (!Enter()) {
    return FALSE;
  }
  const Entry entry = Installed<Entry>(name);
  BOOL result = FALSE;
  if (entry == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
  } else {
    result = call(entry);
  }
  const DWORD error = GetLastError();
  g_writer.Call(std::string(name) + "(" + arguments + ") = " + std::to_string(result) +
                (result ? "" : " error " + std::to_string(error)));
  SetLastError(error);
  return result;
}

BOOL Transfer(bool in, const char* name, void* buffer, DWORD length, LPDWORD moved) {
  Locked lock;
  if (!Enter()) {
    return FALSE;
  }
  BOOL result = FALSE;
  if (in) {
    const auto entry = Installed<PFN_DEVICEREAD>(name);
    result = entry != nullptr ? entry(buffer, length, moved) : FALSE;
  } else {
    const auto entry = Installed<PFN_DEVICEWRITE>(name);
    result = entry != nullptr ? entry(buffer, length, moved) : FALSE;
  }
  const DWORD error = GetLastError();
  const DWORD count = moved != nullptr ? *moved : 0;
  g_writer.Transfer(in, static_cast<const uint8_t*>(buffer), length, buffer != nullptr ? count : 0,
                    result ? capture::Result::kOk : capture::ResultOfError(error), error);
  SetLastError(error);
  return result;
}

}  // namespace

extern "C" {

BOOL WINAPI PortAcquire(DWORD mode) {
  return Forward<PFN_PORTACQUIRE>("PortAcquire", std::to_string(mode), [&](PFN_PORTACQUIRE f) { return f(mode); });
}

BOOL WINAPI PortRelease(DWORD mode) {
  const BOOL result =
      Forward<PFN_PORTRELEASE>("PortRelease", std::to_string(mode), [&](PFN_PORTRELEASE f) { return f(mode); });
  if (result) {
    // The cycle has ended: the installed module goes, as the library frees its module now.
    Locked lock;
    const DWORD error = GetLastError();
    if (g_installed != nullptr) {
      FreeLibrary(g_installed);
      g_installed = nullptr;
    }
    SetLastError(error);
  }
  return result;
}

BOOL WINAPI DeviceOpen(DWORD access, DWORD share, DWORD vid, DWORD pid, ULONG_PTR reserved) {
  {
    Locked lock;
    g_writer.Device(static_cast<uint16_t>(vid), static_cast<uint16_t>(pid));
  }
  const std::string arguments = std::to_string(access) + "," + std::to_string(share) + "," + std::to_string(vid) + "," +
                                std::to_string(pid) + "," + std::to_string(reserved);
  return Forward<PFN_DEVICEOPEN>("DeviceOpen", arguments,
                                 [&](PFN_DEVICEOPEN f) { return f(access, share, vid, pid, reserved); });
}

BOOL WINAPI DeviceRead(LPVOID buffer, DWORD length, LPDWORD read) {
  return Transfer(true, "DeviceRead", buffer, length, read);
}

BOOL WINAPI DeviceWrite(LPCVOID buffer, DWORD length, LPDWORD written) {
  return Transfer(false, "DeviceWrite", const_cast<void*>(buffer), length, written);
}

BOOL WINAPI DeviceClose(DWORD flags) {
  return Forward<PFN_DEVICECLOSE>("DeviceClose", std::to_string(flags), [&](PFN_DEVICECLOSE f) { return f(flags); });
}

}  // extern "C"

// The library calls through these types; the exports must match them exactly.
static_assert(std::is_same<decltype(&PortAcquire), PFN_PORTACQUIRE>::value, "PortAcquire");
static_assert(std::is_same<decltype(&PortRelease), PFN_PORTRELEASE>::value, "PortRelease");
static_assert(std::is_same<decltype(&DeviceOpen), PFN_DEVICEOPEN>::value, "DeviceOpen");
static_assert(std::is_same<decltype(&DeviceRead), PFN_DEVICEREAD>::value, "DeviceRead");
static_assert(std::is_same<decltype(&DeviceWrite), PFN_DEVICEWRITE>::value, "DeviceWrite");
static_assert(std::is_same<decltype(&DeviceClose), PFN_DEVICECLOSE>::value, "DeviceClose");
