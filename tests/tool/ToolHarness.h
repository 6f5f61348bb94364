// stiscan run as a process in a scratch folder: its exit status and both output streams, and the
// pages it writes decoded to rows as the scanner's format has them (R, G, B; grey; black-and-white
// eight pixels a byte, 1 black), so that every format compares with the simulator's own rendering.
#pragma once

#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simulator/Render.h"

namespace tooltest {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  ScratchDir() {
    std::string name = (fs::temp_directory_path() / "stiscan-test-XXXXXX").string();
    path_ = mkdtemp(name.data()) != nullptr ? name : std::string();
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  std::string Path() const { return path_.string(); }
  // The files in the folder and below, but the captured output streams.
  std::set<std::string> Files() const {
    std::set<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(path_, ec)) {
      const std::string name = fs::relative(entry.path(), path_).string();
      if (entry.is_regular_file() && name[0] != '.') {
        files.insert(name);
      }
    }
    return files;
  }

 private:
  fs::path path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::vector<std::string> Split(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  return words;
}

struct ToolRun {
  int status = -1;  // the exit status, or 128 + the signal that ended the program
  std::string out;
  std::string err;
};

// Runs `argv` in `cwd`. With `signal` set, sends it once standard error holds `when`.
inline ToolRun RunProgram(const std::vector<std::string>& argv, const std::string& cwd, int signal = 0,
                          const std::string& when = "") {
  const std::string out = cwd + "/.stdout";
  const std::string err = cwd + "/.stderr";
  const pid_t child = fork();
  if (child == 0) {
    const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open("/dev/null", O_RDONLY);
    if (chdir(cwd.c_str()) != 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0 || dup2(in, 0) < 0) {
      _exit(126);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
      args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int wstatus = 0;
  for (bool sent = signal == 0;;) {
    const pid_t done = waitpid(child, &wstatus, sent ? 0 : WNOHANG);
    if (done == child || done < 0) {
      break;
    }
    if (ReadFile(err).find(when) != std::string::npos) {
      kill(child, signal);
      sent = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ToolRun run;
  run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  run.out = ReadFile(out);
  run.err = ReadFile(err);
  return run;
}

// stiscan with the built-in simulator and `args`.
inline ToolRun RunTool(const std::string& args, const ScratchDir& dir, int signal = 0, const std::string& when = "") {
  std::vector<std::string> argv = Split(args);
  argv.insert(argv.begin(), {STISCAN_PATH, "--simulate"});
  return RunProgram(argv, dir.Path(), signal, when);
}

// The command line of the Windows tool under Wine with --simulate and `args`, given a Windows build
// (WIASTIIO_WINDOWS_BIN, a CMake cache value or in the environment); empty without one.
inline std::string WindowsTool(const std::string& args) {
  const char* fromEnvironment = std::getenv("WIASTIIO_WINDOWS_BIN");
  const std::string bin =
      fromEnvironment != nullptr && fromEnvironment[0] != '\0' ? fromEnvironment : WIASTIIO_WINDOWS_BIN;
  if (bin.empty() || access((bin + "/stiscan.exe").c_str(), R_OK) != 0) {
    return "";
  }
  setenv("WIASTIIO_WINEPREFIX", (bin + "/../.wineprefix").c_str(), 0);
  return std::string(WINE_RUN_SCRIPT) + " " + bin + "/stiscan.exe --simulate " + args;
}

// An image as rows in the scanner's format.
struct Image {
  uint32_t width = 0, height = 0, dpi = 0;
  std::vector<uint8_t> rows;
};

// The simulator's page `number` (0 the flatbed, 1... the sheets) as the tool delivers it: scanned 32
// pixels aligned, cut to the width asked.
inline Image ExpectedPage(uint32_t number, scansim::ImageType type, uint32_t width, uint32_t height, uint32_t dpi) {
  const uint32_t scanned = (width + 31) / 32 * 32;
  const std::vector<uint8_t> full = scansim::RenderPage({number, scanned, height, dpi, type});
  const uint32_t fullBytes = scansim::BytesPerRow(type, scanned);
  const uint32_t bytes = scansim::BytesPerRow(type, width);
  Image image{width, height, dpi, {}};
  for (uint32_t r = 0; r < height; ++r) {
    image.rows.insert(image.rows.end(), full.begin() + r * fullBytes, full.begin() + r * fullBytes + bytes);
    if (type == scansim::ImageType::kBlackWhite && width % 8 != 0) {
      image.rows.back() &= static_cast<uint8_t>(0xFF << (8 - width % 8));
    }
  }
  return image;
}

// Packs grey 0/255 rows into black-and-white rows, 1 black.
inline std::vector<uint8_t> PackBlackWhite(const std::vector<uint8_t>& grey, uint32_t width, uint32_t height) {
  const uint32_t bytes = (width + 7) / 8;
  std::vector<uint8_t> packed(static_cast<size_t>(bytes) * height, 0);
  for (uint32_t r = 0; r < height; ++r) {
    for (uint32_t x = 0; x < width; ++x) {
      if (grey[static_cast<size_t>(r) * width + x] < 128) {
        packed[r * bytes + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
      }
    }
  }
  return packed;
}

// A PNG as rows in the scanner's format (black-and-white packed again, 1 black), with its pHYs.
inline Image DecodePng(const std::string& path) {
  Image image;
  png_image png = {};
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&png, path.c_str()) == 0) {
    return image;
  }
  png.format = (png.format & PNG_FORMAT_FLAG_COLOR) != 0 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
  image.rows.resize(PNG_IMAGE_SIZE(png));
  png_image_finish_read(&png, nullptr, image.rows.data(), 0, nullptr);
  image.width = png.width;
  image.height = png.height;
  const std::string bytes = ReadFile(path);
  if (bytes[24] == 1) {  // IHDR's bit depth
    image.rows = PackBlackWhite(image.rows, image.width, image.height);
  }
  const size_t phys = bytes.find("pHYs");  // pixels per metre, big-endian
  uint32_t perMetre = 0;
  for (size_t i = phys + 4; phys != std::string::npos && i < phys + 8; ++i) {
    perMetre = perMetre << 8 | static_cast<uint8_t>(bytes[i]);
  }
  image.dpi = static_cast<uint32_t>(perMetre * 0.0254 + 0.5);
  return image;
}

// Every directory of a TIFF file, rows as stored (black-and-white is stored with 1 black).
inline std::vector<Image> DecodeTiff(const std::string& path) {
  std::vector<Image> pages;
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) {
    return pages;
  }
  do {
    Image image;
    float dpi = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &image.width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &image.height);
    TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &dpi);
    image.dpi = static_cast<uint32_t>(dpi + 0.5f);
    const auto bytes = static_cast<size_t>(TIFFScanlineSize(tiff));
    image.rows.resize(bytes * image.height);
    for (uint32_t r = 0; r < image.height; ++r) {
      TIFFReadScanline(tiff, image.rows.data() + r * bytes, r, 0);
    }
    pages.push_back(image);
  } while (TIFFReadDirectory(tiff) != 0);
  TIFFClose(tiff);
  return pages;
}

// The pages of a PNG or TIFF file.
inline std::vector<Image> Decode(const std::string& path) {
  return path.compare(path.size() - 4, 4, ".tif") == 0 ? DecodeTiff(path) : std::vector<Image>{DecodePng(path)};
}

}  // namespace tooltest
