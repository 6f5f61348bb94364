// Several threads on one handler, as the multi-threaded imaging service may make them: scans, status
// polls, raw transfers and lock/unlock pairs at once. Built under ThreadSanitizer (the tsan preset) it
// must draw no report; anywhere it must neither crash nor leave the port granted.
#include <atomic>
#include <thread>

#include "safety/Minidriver.h"

namespace safety {
namespace {

class ThreadStress : public Minidriver {};

void Scans(std::atomic<bool>* stop) {
  SWP_PARAMETER window = SmallWindow(false);
  std::vector<uint8_t> block;
  while (!stop->load()) {
    if (Escape(ESC_RESERVE_UNIT) == S_OK && Escape(ESC_SET_WINDOW_PARAMETER, &window, sizeof(window)) == S_OK &&
        Escape(ESC_OBJECT_POSITION) == S_OK) {
      ReadPage(&block);
    }
    Escape(ESC_RELEASE_UNIT);
  }
}

void Reads(std::atomic<bool>* stop) {
  std::vector<uint8_t> block;
  while (!stop->load()) {
    ReadPage(&block);
    Escape(ESC_ABORT);
  }
}

void Polls(std::atomic<bool>* stop) {
  while (!stop->load()) {
    STI_DEVICE_STATUS status = {};
    status.dwSize = sizeof(status);
    status.StatusMask = STI_DEVSTATUS_ONLINE_STATE | STI_DEVSTATUS_EVENTS_STATE;
    GetStatus(&status);
    SCAN_DEVICE_INFO info = {};
    Escape(GET_DEVICE_INFO, nullptr, 0, &info, sizeof(info));
    STI_ERROR_INFO error = {};
    GetLastErrorInfo(&error);
  }
}

void RawTransfers(std::atomic<bool>* stop) {
  BYTE command[4] = {0x1B, 0xA8, 0x12, 0x00};
  BYTE answer[70] = {};
  while (!stop->load()) {
    LockDevice();
    RawWriteData(command, sizeof(command), nullptr);
    DWORD size = sizeof(answer);
    RawReadData(answer, &size, nullptr);
    UnLockDevice();
  }
}

TEST_F(ThreadStress, ScansPollsAndRawTransfersOnOneHandler) {
  Start(doubles::Route::kDeviceMonitor, SmallBlocks(0), 1);
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  threads.emplace_back(Scans, &stop);
  threads.emplace_back(Scans, &stop);
  threads.emplace_back(Reads, &stop);
  threads.emplace_back(Polls, &stop);
  threads.emplace_back(RawTransfers, &stop);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  stop = true;
  for (std::thread& thread : threads) {
    thread.join();
  }
  Escape(ESC_RELEASE_UNIT);
}

}  // namespace
}  // namespace safety
