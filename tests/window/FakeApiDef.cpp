#include "FakeApiDef.h"

namespace fake {
Platform platform;
}

namespace ApiDef {

bool CopyToClipboard(WindowHandle owner, std::u16string text)
{
    fake::platform.copies.push_back({owner, std::move(text)});
    return fake::platform.copyResult;
}

std::int32_t OpenWithShell(WindowHandle owner, std::u16string_view operation, std::u16string_view file,
                           std::u16string_view parameters, std::u16string_view directory,
                           std::int32_t showCommand)
{
    fake::platform.shellCalls.push_back({owner, std::u16string(operation), std::u16string(file),
                                         std::u16string(parameters), std::u16string(directory),
                                         showCommand});
    return fake::platform.shellResult;
}

std::int32_t GetPlatformId()
{
    return 2;
}

WriteResult WritePreviewFile(std::u16string_view fileName, std::u16string_view text)
{
    fake::platform.writes.push_back({std::u16string(fileName), std::u16string(text)});
    return fake::platform.writeResult;
}

} // namespace ApiDef
