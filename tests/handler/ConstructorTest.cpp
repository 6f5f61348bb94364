// The constructor leaves no field to chance. It is built over memory filled with a pattern, so a field
// it forgets keeps the pattern; the fields here are ones no export shows (the overlapped structure,
// the notification buffer, the last answers and errors kept for later calls), so only a look inside can
// tell that they start out as designed.
#include <gtest/gtest.h>

#include <cstdint>
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

// An accepted event starts the notification state afresh: the overlapped structure holds the event and
// nothing else, the buffer and the pending code are cleared. A missing event leaves all three alone.
TEST(NotificationState, AnAcceptedEventStartsItAfresh) {
  CSTIIOHandler handler(0);
  const HANDLE hEvent = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x42));
  for (const HANDLE given : {hEvent, static_cast<HANDLE>(nullptr)}) {
    std::memset(&handler.m_Overlapped, 0xA5, sizeof(handler.m_Overlapped));
    std::memset(handler.m_abNotifyBuffer, 0xA5, sizeof(handler.m_abNotifyBuffer));
    std::memset(&handler.m_guidEvent, 0xA5, sizeof(handler.m_guidEvent));
    ASSERT_EQ(handler.SetNotificationHandle(given), S_OK);
    const bool accepted = given != nullptr;
    OVERLAPPED overlapped = handler.m_Overlapped;
    EXPECT_EQ(overlapped.hEvent, accepted ? hEvent : handler.m_Overlapped.hEvent);
    overlapped.hEvent = nullptr;
    EXPECT_EQ(AllZero(&overlapped, sizeof(overlapped)), accepted);
    EXPECT_EQ(AllZero(handler.m_abNotifyBuffer, sizeof(handler.m_abNotifyBuffer)), accepted);
    EXPECT_EQ(AllZero(&handler.m_guidEvent, sizeof(handler.m_guidEvent)), accepted);
  }
}

}  // namespace
