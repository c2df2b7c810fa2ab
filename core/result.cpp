#include "core/result.h"

namespace quillon {

namespace {

struct ErrorRow {
    ResultCode code;
    const char16_t* message;
};

const ErrorRow kErrorTable[] = {
    {RC_GENERAL_FAILURE, u"General failure"},
    {RC_INVALID_PARAMETER, u"Invalid function parameter"},
    {RC_OUT_OF_MEMORY, u"Out of memory"},
    {RC_OPEN_FAILED, u"Couldn't open file"},
    {RC_CREATE_FAILED, u"Couldn't create file"},
    {RC_READ_FAILED, u"Couldn't read from file"},
    {RC_WRITE_FAILED, u"Couldn't write to file"},
    {RC_UNKNOWN_FORMAT, u"Unknown file format"},
    {RC_CORRUPT_FILE, u"Corrupted, truncated or malformed file"},
    {RC_UNSUPPORTED_SUBFORMAT, u"Unsupported file sub-format"},
    {RC_UNSUPPORTED_COLOUR_FORMAT, u"Unsupported color format specified"},
    {RC_MISSING_DLL, u"Missing a required DLL"},
    {RC_CANCELLED, u"Operation cancelled"},
    {0, nullptr},
};

} // namespace

const char16_t* errorText(ResultCode code)
{
    for (const ErrorRow* row = kErrorTable; row->message; ++row)
        if (row->code == code) return row->message;
    return u"Unknown error";
}

} // namespace quillon
