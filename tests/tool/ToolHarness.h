// Running stiscan as a process and reading the PNG files it writes: a scratch directory, the program
// with its exit status and both output streams, and a libpng decoder that keeps the rows as stored.
#pragma once

#include <fcntl.h>
#include <png.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "simulator/Render.h"

namespace tooltest {

namespace fs = std::filesystem;

// A fresh directory under the system's temporary directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "stiscan-test-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) {
      path_ = name.data();
    }
  }
  ~ScratchDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const fs::path& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

  // Every file below the directory, relative to it.
  std::set<std::string> Files() const {
    std::set<std::string> files;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(path_, ec)) {
      if (entry.is_regular_file()) {
        files.insert(fs::relative(entry.path(), path_).string());
      }
    }
    return files;
  }

 private:
  fs::path path_;
};

struct ToolRun {
  int status = -1;  // the exit status, or 128 + the signal that ended the program
  std::string out;
  std::string err;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs `program` with `args` in `cwd`, standard output and error caught in files there.
inline ToolRun RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                          const std::vector<std::pair<std::string, std::string>>& env = {}) {
  const std::string outPath = cwd + "/.stdout";
  const std::string errPath = cwd + "/.stderr";
  ToolRun run;
  const pid_t child = fork();
  if (child == 0) {
    if (chdir(cwd.c_str()) != 0) {
      _exit(126);
    }
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
      _exit(126);
    }
    const int in = open("/dev/null", O_RDONLY);
    if (in >= 0) {
      dup2(in, 0);
    }
    for (const auto& variable : env) {
      setenv(variable.first.c_str(), variable.second.c_str(), 1);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) {
      argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int wstatus = 0;
  if (child > 0 && waitpid(child, &wstatus, 0) == child) {
    run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  }
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  return run;
}

inline ToolRun RunTool(const std::vector<std::string>& args, const ScratchDir& dir) {
  return RunProgram(STISCAN_PATH, args, dir.Path().string());
}

// "--a b --c" as separate arguments.
inline std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    words.push_back(word);
  }
  return words;
}

// A PNG as stored: the header fields, pHYs, and the rows without their filter bytes.
struct Png {
  bool ok = false;
  std::string error;
  uint32_t width = 0;
  uint32_t height = 0;
  int bitDepth = 0;
  int colourType = -1;
  bool hasPhys = false;
  uint32_t physX = 0;
  uint32_t physY = 0;
  int physUnit = -1;
  size_t rowBytes = 0;
  std::vector<uint8_t> pixels;  // rows top first
};

namespace detail {
// Kept apart so that libpng's longjmp crosses no object that needs destruction.
inline bool DecodeInto(std::FILE* file, Png* png) {
  png_structp reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = reader != nullptr ? png_create_info_struct(reader) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&reader, nullptr, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(reader))) {
    png_destroy_read_struct(&reader, &info, nullptr);
    return false;
  }
  png_init_io(reader, file);
  png_read_png(reader, info, PNG_TRANSFORM_IDENTITY, nullptr);
  png->width = png_get_image_width(reader, info);
  png->height = png_get_image_height(reader, info);
  png->bitDepth = png_get_bit_depth(reader, info);
  png->colourType = png_get_color_type(reader, info);
  png_uint_32 x = 0;
  png_uint_32 y = 0;
  int unit = -1;
  png->hasPhys = png_get_pHYs(reader, info, &x, &y, &unit) != 0;
  png->physX = x;
  png->physY = y;
  png->physUnit = unit;
  png->rowBytes = png_get_rowbytes(reader, info);
  png_bytepp rows = png_get_rows(reader, info);
  png->pixels.resize(png->rowBytes * png->height);
  // libpng leaves the bits past the last pixel of a row as its buffer held them; they carry nothing.
  const size_t usedBits =
      static_cast<size_t>(png->width) * png->bitDepth * (png->colourType == PNG_COLOR_TYPE_RGB ? 3 : 1);
  const auto lastMask = static_cast<uint8_t>(0xFF << ((8 - usedBits % 8) % 8));
  for (uint32_t r = 0; r < png->height; ++r) {
    const auto at = png->pixels.begin() + static_cast<long>(r * png->rowBytes);
    std::copy(rows[r], rows[r] + png->rowBytes, at);
    at[static_cast<long>(png->rowBytes) - 1] &= lastMask;
  }
  png_destroy_read_struct(&reader, &info, nullptr);
  return true;
}
}  // namespace detail

inline Png DecodePng(const std::string& path) {
  Png png;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    png.error = "cannot open " + path;
    return png;
  }
  png.ok = detail::DecodeInto(file, &png);
  if (!png.ok) {
    png.error = "libpng cannot read " + path;
  }
  std::fclose(file);
  return png;
}

// The rows a PNG of the page holds: the scanner's rows (scanned 32-pixel aligned, cut to the page's
// width), black-and-white inverted (PNG greyscale has 0 black, the scanner 1), the bits past the last
// pixel 0.
inline std::vector<uint8_t> ExpectedPngRows(const scansim::PageRequest& page) {
  scansim::PageRequest scanned = page;
  scanned.width = (page.width + 31) / 32 * 32;
  const std::vector<uint8_t> full = scansim::RenderPage(scanned);
  const uint32_t fullBytes = scansim::BytesPerRow(page.type, scanned.width);
  const uint32_t rowBytes = scansim::BytesPerRow(page.type, page.width);
  std::vector<uint8_t> rows;
  for (uint32_t r = 0; r < page.height; ++r) {
    rows.insert(rows.end(), full.begin() + static_cast<long>(r) * fullBytes,
                full.begin() + static_cast<long>(r) * fullBytes + rowBytes);
  }
  if (page.type == scansim::ImageType::kBlackWhite) {
    const auto mask = static_cast<uint8_t>(0xFF << (rowBytes * 8 - page.width));
    for (size_t i = 0; i < rows.size(); ++i) {
      rows[i] = static_cast<uint8_t>(~rows[i]);
      if (i % rowBytes == rowBytes - 1) {
        rows[i] &= mask;
      }
    }
  }
  return rows;
}

inline int PngColourType(scansim::ImageType type) {
  return type == scansim::ImageType::kColour ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
}

inline int PngBitDepth(scansim::ImageType type) {
  return type == scansim::ImageType::kBlackWhite ? 1 : 8;
}

// Pixels per metre of a resolution, rounded: 75 dpi 2953, 100 dpi 3937, 150 dpi 5906.
inline uint32_t PerMetre(uint32_t dpi) {
  return static_cast<uint32_t>(dpi / 0.0254 + 0.5);
}

// The first row at which two images differ, or -1.
inline long FirstDifferentRow(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t rowBytes) {
  if (rowBytes == 0) {
    return a == b ? -1 : 0;
  }
  const size_t rows = std::max(a.size(), b.size()) / rowBytes;
  for (size_t r = 0; r < rows; ++r) {
    const size_t at = r * rowBytes;
    if (at + rowBytes > a.size() || at + rowBytes > b.size() ||
        !std::equal(a.begin() + static_cast<long>(at), a.begin() + static_cast<long>(at + rowBytes),
                    b.begin() + static_cast<long>(at))) {
      return static_cast<long>(r);
    }
  }
  return a.size() == b.size() ? -1 : static_cast<long>(rows);
}

}  // namespace tooltest
