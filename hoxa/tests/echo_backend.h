// What the echo backend of hoxa's tests stalls on.
#pragma once

#include <tesk/win32/types.h>

namespace hoxa_test {

// A descriptor type or a bRequest that the device refuses.
constexpr BYTE kStall = 0xFF;

}  // namespace hoxa_test
