// A thousand-sheet feeder job keeps the memory of the first ten: nothing the library, the doubles or
// the simulator record grows with the job.
#include <sys/resource.h>

#include "safety/Minidriver.h"

namespace safety {
namespace {

// AddressSanitizer holds freed memory in quarantine, so the peak grows with what was freed.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPeakMeaningful = false;
#elif defined(__has_feature)
constexpr bool kPeakMeaningful = !__has_feature(address_sanitizer);
#else
constexpr bool kPeakMeaningful = true;
#endif

long PeakKilobytes() {
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

class LongJob : public Minidriver {};

TEST_F(LongJob, AThousandSheetsRunInTheMemoryOfTen) {
  constexpr uint32_t kSheets = 1000;
  Start(doubles::Route::kDeviceMonitor, SmallBlocks(kSheets));
  SWP_PARAMETER window = SmallWindow();
  ASSERT_EQ(Escape(ESC_RESERVE_UNIT), S_OK);
  ASSERT_EQ(Escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window)), S_OK);
  std::vector<uint8_t> block;
  long afterTen = 0;
  long afterHalf = 0;
  for (uint32_t sheet = 1; sheet <= kSheets; ++sheet) {
    ASSERT_EQ(Escape(ESC_OBJECT_POSITION), S_OK) << "sheet " << sheet;
    ASSERT_EQ(ReadPage(&block), PAGE_END) << "sheet " << sheet;
    if (sheet == 10) {
      afterTen = PeakKilobytes();
    } else if (sheet == kSheets / 2) {
      afterHalf = PeakKilobytes();  // every record is full by now
    }
  }
  ASSERT_EQ(Escape(ESC_RELEASE_UNIT), S_OK);
  EXPECT_EQ(rig_.Simulator().PagesCompleted(), kSheets);
  EXPECT_EQ(rig_.Simulator().Log().size(), scansim::ScannerModel::kLogLimit);
  EXPECT_GT(rig_.Simulator().Transfers(), uint64_t{3} * scansim::ScannerModel::kLogLimit);
  EXPECT_EQ(rig_.Monitor().CallCount(), doubles::ContentionDouble::kCallLimit);
  const long atEnd = PeakKilobytes();
  std::printf("peak RSS after 10, %u and %u sheets: %ld, %ld, %ld KiB\n", kSheets / 2, kSheets, afterTen, afterHalf,
              atEnd);
  if (!kPeakMeaningful) {
    return;
  }
  EXPECT_LT(atEnd - afterTen, 2048) << "KiB added by the last 990 sheets";
  EXPECT_LT(atEnd - afterHalf, 512) << "KiB added by the last 500 sheets";
}

}  // namespace
}  // namespace safety
