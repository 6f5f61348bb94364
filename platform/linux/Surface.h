// The Windows surface and the model controls as libwinplat defines them. Every source of the library
// includes this header first, so that each Windows function, each control function and the device
// interface keep default visibility even when the build hides symbols by default: the handler, the
// tests, the tools and the simulator all bind to the one copy of the models in this library.
#pragma once

#pragma GCC visibility push(default)
#include "platform/control.h"
#include "platform/testing.h"
#include "platform/win32.h"
#pragma GCC visibility pop
