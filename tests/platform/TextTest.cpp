// wsprintfA as Windows formats: the handler's debug lines depend on its rules, which the transcripts
// cover only for the formats the handler uses today.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "platform/win32.h"

namespace {

struct FormatCase {
  const char* expected;
  std::function<int(char*)> format;
};

TEST(WsprintfA, ConvertsAsWindowsDoes) {
  const FormatCase cases[] = {
      {"[STI]success => \\\\.\\Usbscan3",
       [](char* out) { return wsprintfA(out, "[STI]success => %s", "\\\\.\\Usbscan3"); }},
      {"\\\\.\\Usbscan254", [](char* out) { return wsprintfA(out, "\\\\.\\Usbscan%d", 254); }},
      {"FW 1.02", [](char* out) { return wsprintfA(out, "FW %ws", u"1.02"); }},
      {"A\xE9?", [](char* out) { return wsprintfA(out, "%ws", u"A\u00E9\u4E2D"); }},
      {"(null)|(null)", [](char* out) { return wsprintfA(out, "%s|%ws", nullptr, nullptr); }},
      {"-42 -2147483648", [](char* out) { return wsprintfA(out, "%d %i", -42, INT_MIN); }},
      {"4294967295", [](char* out) { return wsprintfA(out, "%u", -1); }},
      {"0x2", [](char* out) { return wsprintfA(out, "0x%d", 2); }},
      {"beef BEEF", [](char* out) { return wsprintfA(out, "%x %X", 0xBEEFu, 0xBEEFu); }},
      {"0x05 0x1AB", [](char* out) { return wsprintfA(out, "0x%02X 0x%02X", 5, 0x1AB); }},
      {"0012 80004005", [](char* out) { return wsprintfA(out, "%04X %08X", 0x12, 0x80004005u); }},
      {"123456789AB", [](char* out) { return wsprintfA(out, "%I64X", 0x123456789ABull); }},
      {"<Z>", [](char* out) { return wsprintfA(out, "<%c>", 'Z'); }},
      {"[   42|42   |-0042]", [](char* out) { return wsprintfA(out, "[%5d|%-5d|%05d]", 42, 42, -42); }},
      {"007 -007 0", [](char* out) { return wsprintfA(out, "%.3d %.3d %d", 7, -7, 0); }},
      // Zero padding gives way to a precision or to left alignment, as in C.
      {"[  007|42   ]", [](char* out) { return wsprintfA(out, "[%05.3d|%-05d]", 7, 42); }},
      {"[ab|    ab|ab  ]", [](char* out) { return wsprintfA(out, "[%.2s|%6s|%-4s]", "abcdef", "ab", "ab"); }},
      {"0xff 0X00FF", [](char* out) { return wsprintfA(out, "%#x %#06X", 255, 255); }},
      {"-1 65535", [](char* out) { return wsprintfA(out, "%hd %hu", 65535, -1); }},
      {"100% y", [](char* out) { return wsprintfA(out, "100%% %y"); }},
      {"[STI]\tA\t\t", [](char* out) { return wsprintfA(out, "[STI]\t%s\t\t", "A"); }},
      {"-5 -6 7 -8", [](char* out) { return wsprintfA(out, "%I64d %Id %I32d %ld", int64_t{-5}, int64_t{-6}, 7, -8); }},
      {"<Z|ab>", [](char* out) { return wsprintfA(out, "<%C|%S>", u'Z', u"ab"); }},
      {"000000000000BEEF", [](char* out) { return wsprintfA(out, "%p", reinterpret_cast<void*>(0xBEEF)); }},
      {"", [](char* out) { return wsprintfA(out, nullptr); }},
  };
  for (const FormatCase& c : cases) {
    char out[1024];
    std::memset(out, 'Z', sizeof(out));
    int written = c.format(out);
    EXPECT_STREQ(c.expected, out);
    EXPECT_EQ(static_cast<int>(std::strlen(c.expected)), written) << c.expected;
  }
}

int FormatList(char* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int written = wvsprintfA(out, format, args);
  va_end(args);
  return written;
}

// The output buffer is 1024 bytes: 1023 characters and the terminator, whatever the argument's length.
TEST(WsprintfA, StopsAtTheOutputLimit) {
  std::string longText(2000, 'x');
  char out[2048];
  std::memset(out, 'Z', sizeof(out));
  EXPECT_EQ(1023, wsprintfA(out, "ab%s", longText.c_str()));
  EXPECT_EQ('a', out[0]);
  EXPECT_EQ('x', out[1022]);
  EXPECT_EQ('\0', out[1023]);
  EXPECT_EQ('Z', out[1024]);

  std::memset(out, 'Z', sizeof(out));
  EXPECT_EQ(1023, FormatList(out, "%s%d", longText.c_str(), 7));
  EXPECT_EQ(std::string(1023, 'x'), out);
  EXPECT_EQ('Z', out[1024]);
}

}  // namespace
