// The constructor leaves no field to chance. It is built over memory filled with a pattern, so a field
// it forgets keeps the pattern; the fields here are ones no export shows (the overlapped structure,
// the notification buffer, the last answers and errors kept for later calls), so only a look inside can
// tell that they start out as designed.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "handler/STIIOHandler.h"

namespace {

bool AllZero(const void* p, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < size; ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

TEST(Constructor, StartsEveryFieldAsDesignedOverAFilledBlock) {
  alignas(CSTIIOHandler) unsigned char storage[sizeof(CSTIIOHandler)];
  std::memset(storage, 0xA5, sizeof(storage));
  auto* handler = new (storage) CSTIIOHandler(0);

  struct Field {
    const char* name;
    const void* address;
    size_t size;
  };
#define FIELD(f)                        \
  Field {                               \
#f, &handler->f, sizeof(handler->f) \
  }
  const Field zeroed[] = {
      FIELD(m_hDevice),
      FIELD(m_hDll),
      FIELD(m_bPortAcquired),
      FIELD(m_dwLastError),
      FIELD(m_bUnitReserved),
      FIELD(m_bDeviceInfoValid),
      FIELD(m_pRawDataBuffer),
      FIELD(m_wVid),
      FIELD(m_wPid),
      FIELD(m_Overlapped),
      FIELD(m_abNotifyBuffer),
      FIELD(m_guidEvent),
      FIELD(m_pIWiaLog),
      FIELD(m_bPortOpened),
      FIELD(m_WiaDeviceInfo),
      FIELD(m_dwVendorError),
      FIELD(m_szExtendedErrorText),
      FIELD(m_dwResolutions),
      FIELD(m_bReserveRetry),
      FIELD(m_dwImageBufferSize),
      FIELD(m_SWPParam),
      FIELD(m_SWPResponse),
      FIELD(m_pfnDeviceRead),
      FIELD(m_pfnDeviceWrite),
      FIELD(m_dwWindowBlockLimit),
  };
#undef FIELD
  for (const Field& field : zeroed) {
    EXPECT_TRUE(AllZero(field.address, field.size)) << field.name << " does not start zeroed";
  }
  EXPECT_EQ(handler->m_bDeviceMonitor, 1);
  EXPECT_EQ(handler->m_bDebugOutput, 0);

  handler->~CSTIIOHandler();
}

}  // namespace
