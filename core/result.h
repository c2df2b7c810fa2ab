#pragma once
#include <cstdint>

namespace quillon {

// 0 is success; any value with the top bit set is a failure. Callers test the
// top bit (failed()), never equality with one particular code.
using ResultCode = uint32_t;

constexpr ResultCode RC_OK = 0;
constexpr ResultCode RC_GENERAL_FAILURE = 0x80040200;
constexpr ResultCode RC_INVALID_PARAMETER = 0x80040201;
constexpr ResultCode RC_OUT_OF_MEMORY = 0x80040202;
constexpr ResultCode RC_OPEN_FAILED = 0x80040203;
constexpr ResultCode RC_CREATE_FAILED = 0x80040204;
constexpr ResultCode RC_READ_FAILED = 0x80040205;
constexpr ResultCode RC_WRITE_FAILED = 0x80040206;
constexpr ResultCode RC_UNKNOWN_FORMAT = 0x80040207;
constexpr ResultCode RC_CORRUPT_FILE = 0x80040208;
constexpr ResultCode RC_UNSUPPORTED_SUBFORMAT = 0x80040209;
constexpr ResultCode RC_UNSUPPORTED_COLOUR_FORMAT = 0x8004020A;
constexpr ResultCode RC_MISSING_DLL = 0x8004020B;
constexpr ResultCode RC_CANCELLED = 0x8004020C;

constexpr bool failed(ResultCode rc) { return (rc & 0x80000000u) != 0; }
constexpr bool succeeded(ResultCode rc) { return !failed(rc); }

// The fixed English message of one of the codes above, "Unknown error" for
// every other value (success included). Never null.
const char16_t* errorText(ResultCode code);

} // namespace quillon
