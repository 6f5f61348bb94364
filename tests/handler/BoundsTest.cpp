// Copies inside the handler that no export can drive to their limits today: the extended error text
// (its table is empty in this library) and the set-window command header. Each must write exactly
// what it copies and nothing past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "handler/STIIOHandler.h"

namespace {

constexpr WCHAR kFill = 0xCDCD;

TEST(Bounds, ExtendedErrorTextIsCutTerminatedAndWrittenNoFurther) {
  struct Case {
    const char* name;
    DWORD vendorError;
    std::u16string text;  // the table's row; a NUL inside it ends the text
    size_t kept;          // characters handed out
  } const cases[] = {
      {"short text", 0, u"Lamp failure", 12},
      {"text with more after its end", 0, std::u16string(u"AB\0CD", 5), 2},
      {"text filling the row", 0, std::u16string(EXTENDED_ERROR_TEXT_SIZE, u'x'), EXTENDED_ERROR_TEXT_SIZE - 1},
      {"index past the table", EXTENDED_ERROR_TEXTS, u"unused", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto handler = std::make_unique<CSTIIOHandler>(FALSE);
    std::memcpy(handler->m_szExtendedErrorText[0], c.text.data(),
                std::min(c.text.size(), size_t{EXTENDED_ERROR_TEXT_SIZE}) * sizeof(WCHAR));
    handler->m_dwVendorError = c.vendorError;
    STI_ERROR_INFO info;
    std::fill(std::begin(info.szExtendedErrorText), std::end(info.szExtendedErrorText), kFill);

    ASSERT_EQ(handler->GetLastErrorInfo(&info), S_OK);

    EXPECT_EQ(info.dwVendorError, c.vendorError);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(info.szExtendedErrorText), c.kept),
              c.text.substr(0, c.kept));
    EXPECT_EQ(info.szExtendedErrorText[c.kept], 0);
    for (size_t i = c.kept + 1; i < 255; ++i) {
      ASSERT_EQ(info.szExtendedErrorText[i], kFill) << "written past the text at " << i;
    }
  }
}

TEST(Bounds, SetWindowKeepsTheBytesAfterTheCommandHeader) {
  auto handler = std::make_unique<CSTIIOHandler>(FALSE);
  SWP_PARAMETER window;
  std::memset(&window, 0xEE, sizeof(window));
  window.byResolutionCode = 0;
  window.dwWindowWidth = 64;  // a window that fits 32-bit units is built before it is sent
  window.dwWindowHeight = 40;
  handler->m_SWPParam = window;
  // No port is open: the command fails at its write, after the header and sizes are filled in.
  handler->CallSetWindowParameter();
  EXPECT_EQ(handler->m_SWPParam.byHeader[0], COMMAND_ESCAPE);
  for (BYTE padding : handler->m_SWPParam.byPadding) {
    EXPECT_EQ(padding, 0xEE);
  }
}

}  // namespace
