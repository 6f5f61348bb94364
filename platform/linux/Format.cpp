// wsprintfA and wvsprintfA with the rules of the Windows user library rather than those of C printf:
// a fixed 1024-byte output limit, no floating point, the Windows size prefixes (h, l, w, I, I32, I64)
// and 32-bit int and long arguments.
#include "Surface.h"

#include <cstring>

namespace {

// The output buffer holds at most 1024 bytes, the terminator included.
constexpr size_t kOutputLimit = 1024;
// Widths and precisions beyond the output limit cannot change the result; capping them keeps the
// parse free of overflow.
constexpr unsigned kFieldCap = 4096;
const char kNullText[] = "(null)";

class Writer {
 public:
  explicit Writer(char* buffer) : buffer_(buffer) {}

  bool Full() const { return count_ == kOutputLimit - 1; }
  void Put(char c) {
    if (!Full()) {
      buffer_[count_++] = c;
    }
  }
  void Repeat(char c, size_t n) {
    for (; n > 0 && !Full(); --n) {
      Put(c);
    }
  }
  int Finish() {
    buffer_[count_] = '\0';
    return static_cast<int>(count_);
  }

 private:
  char* buffer_;
  size_t count_ = 0;
};

enum class Size { kDefault, kShort, kLong, kWide, kPointer, k32, k64 };

// %[-][#][0][width][.precision][size]type, the flags in that order only.
struct Field {
  bool left = false;
  bool hexPrefix = false;
  bool zeroPad = false;
  unsigned width = 0;
  bool hasPrecision = false;
  unsigned precision = 0;
  Size size = Size::kDefault;
  char type = '\0';
};

unsigned ParseNumber(const char*& p) {
  unsigned value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > kFieldCap) {
      value = kFieldCap;
    }
  }
  return value;
}

const char* ParseField(const char* p, Field* field) {
  if (*p == '-') {
    field->left = true;
    ++p;
  }
  if (*p == '#') {
    field->hexPrefix = true;
    ++p;
  }
  if (*p == '0') {
    field->zeroPad = true;
    ++p;
  }
  field->width = ParseNumber(p);
  if (*p == '.') {
    ++p;
    field->hasPrecision = true;
    field->precision = ParseNumber(p);
  }
  if (*p == 'h') {
    field->size = Size::kShort;
    ++p;
  } else if (*p == 'l') {
    field->size = Size::kLong;
    ++p;
  } else if (*p == 'w') {
    field->size = Size::kWide;
    ++p;
  } else if (*p == 'I') {
    if (p[1] == '6' && p[2] == '4') {
      field->size = Size::k64;
      p += 3;
    } else if (p[1] == '3' && p[2] == '2') {
      field->size = Size::k32;
      p += 3;
    } else {
      field->size = Size::kPointer;
      ++p;
    }
  }
  field->type = *p;
  return p;
}

// The narrow rendering of one UTF-16 unit: the low 256 code points map to their byte, the rest to '?'.
char Narrow(WCHAR unit) {
  return unit <= 0xFF ? static_cast<char>(unit) : '?';
}

class Formatter {
 public:
  Formatter(char* buffer, va_list arglist) : out_(buffer) { va_copy(args_, arglist); }
  ~Formatter() { va_end(args_); }
  Formatter(const Formatter&) = delete;
  Formatter& operator=(const Formatter&) = delete;

  int Run(const char* format) {
    const char* p = format;
    while (*p != '\0' && !out_.Full()) {
      if (*p != '%') {
        out_.Put(*p++);
        continue;
      }
      Field field;
      p = ParseField(p + 1, &field);
      if (field.type == '\0') {
        break;  // a format that ends inside a conversion writes nothing more
      }
      if (!Convert(field)) {
        out_.Put(field.type);  // "%%" and unknown conversions write the character itself
      }
      ++p;
    }
    return out_.Finish();
  }

 private:
  bool Convert(const Field& field) {
    switch (field.type) {
      case 'c':
        Char(field, field.size == Size::kLong || field.size == Size::kWide);
        return true;
      case 'C':
        Char(field, field.size != Size::kShort);
        return true;
      case 's':
        String(field, field.size == Size::kLong || field.size == Size::kWide);
        return true;
      case 'S':
        String(field, field.size != Size::kShort);
        return true;
      case 'd':
      case 'i':
        Integer(field, SignedArgument(field.size), 10, false);
        return true;
      case 'u':
        Integer(field, UnsignedArgument(field.size), 10, false);
        return true;
      case 'x':
        Integer(field, UnsignedArgument(field.size), 16, false);
        return true;
      case 'X':
        Integer(field, UnsignedArgument(field.size), 16, true);
        return true;
      case 'p': {
        // A pointer is written as all of its hexadecimal digits, upper case.
        Field pointer = field;
        pointer.hasPrecision = true;
        pointer.precision = 2 * sizeof(void*);
        Integer(pointer, {false, reinterpret_cast<uintptr_t>(va_arg(args_, void*))}, 16, true);
        return true;
      }
      default:
        return false;
    }
  }

  struct Magnitude {
    bool negative;
    uint64_t value;
  };

  // int and long are 32 bits wide on Windows; I and I64 take 64-bit arguments here.
  Magnitude SignedArgument(Size size) {
    int64_t value;
    switch (size) {
      case Size::k64:
      case Size::kPointer:
        value = va_arg(args_, int64_t);
        break;
      case Size::kShort:
        value = static_cast<int16_t>(va_arg(args_, int));
        break;
      default:
        value = va_arg(args_, int32_t);
        break;
    }
    if (value < 0) {
      return {true, 0 - static_cast<uint64_t>(value)};
    }
    return {false, static_cast<uint64_t>(value)};
  }

  Magnitude UnsignedArgument(Size size) {
    switch (size) {
      case Size::k64:
      case Size::kPointer:
        return {false, va_arg(args_, uint64_t)};
      case Size::kShort:
        return {false, static_cast<uint16_t>(va_arg(args_, unsigned))};
      default:
        return {false, va_arg(args_, uint32_t)};
    }
  }

  void Integer(const Field& field, Magnitude number, unsigned base, bool upper) {
    const char* digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    size_t digitCount = 0;
    uint64_t value = number.value;
    do {
      digits[digitCount++] = digitSet[value % base];
      value /= base;
    } while (value != 0);

    // A precision of 0 (or none) still writes one digit, so a zero value always shows as "0".
    size_t zeros = field.precision > digitCount ? field.precision - digitCount : 0;
    const char* prefix = "";
    if (base == 16 && field.hexPrefix) {
      prefix = upper ? "0X" : "0x";
    } else if (number.negative) {
      prefix = "-";
    }
    size_t length = std::strlen(prefix) + zeros + digitCount;
    size_t padding = field.width > length ? field.width - length : 0;
    // As in C, an explicit precision or left alignment turns zero padding into blanks.
    bool zeroFill = field.zeroPad && !field.left && !field.hasPrecision;
    if (zeroFill) {
      zeros += padding;
      padding = 0;
    }
    if (!field.left) {
      out_.Repeat(' ', padding);
    }
    for (const char* c = prefix; *c != '\0'; ++c) {
      out_.Put(*c);
    }
    out_.Repeat('0', zeros);
    while (digitCount > 0) {
      out_.Put(digits[--digitCount]);
    }
    if (field.left) {
      out_.Repeat(' ', padding);
    }
  }

  void String(const Field& field, bool wide) {
    const char* narrow = nullptr;
    const WCHAR* wideText = nullptr;
    if (wide) {
      wideText = va_arg(args_, const WCHAR*);
    } else {
      narrow = va_arg(args_, const char*);
    }
    if (narrow == nullptr && wideText == nullptr) {
      wide = false;
      narrow = kNullText;
    }
    size_t length = 0;
    while ((!field.hasPrecision || length < field.precision) &&
           (wide ? wideText[length] != 0 : narrow[length] != '\0')) {
      ++length;
    }
    size_t padding = field.width > length ? field.width - length : 0;
    if (!field.left) {
      out_.Repeat(' ', padding);
    }
    for (size_t i = 0; i < length; ++i) {
      out_.Put(wide ? Narrow(wideText[i]) : narrow[i]);
    }
    if (field.left) {
      out_.Repeat(' ', padding);
    }
  }

  // A character argument of value zero is skipped, as Windows does.
  void Char(const Field& field, bool wide) {
    int value = va_arg(args_, int);
    char c = wide ? Narrow(static_cast<WCHAR>(value)) : static_cast<char>(value);
    if (wide ? static_cast<WCHAR>(value) == 0 : c == '\0') {
      return;
    }
    size_t padding = field.width > 1 ? field.width - 1 : 0;
    if (!field.left) {
      out_.Repeat(' ', padding);
    }
    out_.Put(c);
    if (field.left) {
      out_.Repeat(' ', padding);
    }
  }

  Writer out_;
  va_list args_;
};

}  // namespace

int WINAPI wvsprintfA(LPSTR lpOut, LPCSTR lpFmt, va_list arglist) {
  if (lpOut == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (lpFmt == nullptr) {
    lpOut[0] = '\0';
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  Formatter formatter(lpOut, arglist);
  return formatter.Run(lpFmt);
}

int WINAPIV wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
  va_list arglist;
  va_start(arglist, lpFmt);
  int written = wvsprintfA(lpOut, lpFmt, arglist);
  va_end(arglist);
  return written;
}
