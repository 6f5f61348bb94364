// The nineteen export names of WIASTIIO, once: X(name) for each, in the order WIASTIIO.h declares them.
// The client binds what this names; the image test reads its ordinals from it (ordinal k is the k-th name
// in ascending byte order); WIASTIIO.def, WIASTIIO.map, WIASTIIO.h and exports/Exports.cpp are checked
// against it at test time (tests/CheckExports.cmake).
#pragma once

#define WIASTIIO_EXPORT_NAMES(X) \
  X(InitializeDll)               \
  X(TerminateDll)                \
  X(DeleteMemory)                \
  X(Initialize)                  \
  X(GetCapabilities)             \
  X(GetStatus)                   \
  X(DeviceReset)                 \
  X(Diagnostic)                  \
  X(STIEscape)                   \
  X(STIGetLastError)             \
  X(LockDevice)                  \
  X(UnLockDevice)                \
  X(RawReadData)                 \
  X(RawWriteData)                \
  X(RawReadCommand)              \
  X(RawWriteCommand)             \
  X(SetNotificationHandle)       \
  X(GetNotificationData)         \
  X(GetLastErrorInfo)
