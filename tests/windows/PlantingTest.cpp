// Module planting, under Wine's real loader: the library runs in a child process from a folder of its
// own, and a contention module is planted in one place. Only the library's own folder (and the system
// folder, which the test leaves alone) may supply it; a module in the current folder or in a PATH
// folder must not be loaded.
#include <gtest/gtest.h>

#include <string>

#include "platform/win32.h"

namespace {

std::string BuildFolder() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string program = path;
  return program.substr(0, program.find_last_of('\\') + 1);
}

// Runs the probe from `library` with `current` as its current folder and `pathFolder` first in PATH;
// its exit status.
DWORD RunProbe(const std::string& library, const std::string& current, const std::string& pathFolder) {
  char inherited[32767];
  GetEnvironmentVariableA("PATH", inherited, sizeof(inherited));
  std::string environment = "PATH=" + pathFolder + ";" + inherited;
  environment.push_back('\0');
  environment.push_back('\0');
  std::string command = "\"" + library + "debugstr_probe.exe\" \"" + library + "WIASTIIO.dll\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, &environment[0], current.c_str(), &startup,
                      &process)) {
    ADD_FAILURE() << "cannot start the probe, error " << ::GetLastError();
    return 1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return exitCode;
}

TEST(Planting, ContentionModulesComeOnlyFromTheLibrarysFolder) {
  enum Where { kLibraryFolder, kCurrentFolder, kPathFolder };
  struct Case {
    const char* what;
    Where planted;
    DWORD exitCode;  // 0: a module was loaded and granted the port; 3: none was found
  };
  const Case cases[] = {
      {"beside the library", kLibraryFolder, 0},
      {"in the current folder", kCurrentFolder, 3},
      {"in a PATH folder", kPathFolder, 3},
  };
  const std::string build = BuildFolder();
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string root = std::string(temp) + "wiastiio-planting-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(static_cast<int>(c.planted)) + "\\";
    const std::string folders[] = {root + "library\\", root + "current\\", root + "path\\"};
    CreateDirectoryA(root.c_str(), nullptr);
    for (const std::string& folder : folders) {
      CreateDirectoryA(folder.c_str(), nullptr);
    }
    const char* libraryFiles[] = {"WIASTIIO.dll", "debugstr_probe.exe"};
    for (const char* file : libraryFiles) {
      ASSERT_TRUE(CopyFileA((build + file).c_str(), (folders[kLibraryFolder] + file).c_str(), FALSE)) << file;
    }
    const std::string planted = folders[c.planted] + "prtmon64.dll";
    ASSERT_TRUE(CopyFileA((build + "prtmon64.dll").c_str(), planted.c_str(), FALSE));

    EXPECT_EQ(RunProbe(folders[kLibraryFolder], folders[kCurrentFolder], folders[kPathFolder]), c.exitCode);

    DeleteFileA(planted.c_str());
    for (const char* file : libraryFiles) {
      DeleteFileA((folders[kLibraryFolder] + file).c_str());
    }
    for (const std::string& folder : folders) {
      RemoveDirectoryA(folder.c_str());
    }
    RemoveDirectoryA(root.c_str());
  }
}

}  // namespace
