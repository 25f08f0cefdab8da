#pragma once
// A stand-in for the platform layer, linked into the window's tests in place
// of the real one. It records every request and answers as told.

#include "platform/ApiDef.h"
#include "platform/PreviewFile.h"

#include <vector>

namespace fake {

struct CopyCall {
    ApiDef::WindowHandle owner;
    std::u16string text;
};

struct ShellCall {
    ApiDef::WindowHandle owner;
    std::u16string operation, file, parameters, directory;
    std::int32_t showCommand;
};

struct WriteCall {
    std::u16string fileName, text;
};

struct Platform {
    bool copyResult = true;
    std::int32_t shellResult = 42;
    ApiDef::WriteResult writeResult{true, {}};

    std::vector<CopyCall> copies;
    std::vector<ShellCall> shellCalls;
    std::vector<WriteCall> writes;
};

// Reset before each test function.
extern Platform platform;

} // namespace fake
