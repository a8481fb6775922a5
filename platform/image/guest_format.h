#pragma once
// Formats a guest's DbgPrint the way the Windows kernel does, taking each argument from the
// guest's argument words: "l" is 32 bits (LLP64), "ll", "I64" and "I" (and "z") are 64 bits,
// "h" 16 and "hh" 8; %S, %ls and %ws are wide strings, %wZ a UNICODE_STRING, %Z an ANSI string;
// %p prints 16 upper-case hex digits. Strings are read through guest pointers, which are host
// pointers; a null string prints "(null)".
#include <cstddef>
#include <string>

#include "platform/image/guest_call.h"

namespace image {

// `format` is the guest's format string; its arguments are call words from `firstArgument` on.
std::string FormatGuestPrint(const char* format, const GuestCall& call, size_t firstArgument);

}  // namespace image
