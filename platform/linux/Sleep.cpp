// Sleep blocks the calling thread for real: timing in the handler and the simulator is wall-clock time.
#include "Surface.h"

#include <chrono>
#include <thread>

void WINAPI Sleep(DWORD dwMilliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
