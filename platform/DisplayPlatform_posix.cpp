#include "platform/DisplayPlatform.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace ApiDef {
namespace {

std::string_view variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if ((a[i] | 0x20) != (b[i] | 0x20))
            return false;
    return true;
}

// XDG_CURRENT_DESKTOP is a list: "GNOME", but also "ubuntu:GNOME" or
// "GNOME-Classic:GNOME" for the variants that run GNOME Shell.
bool isGnome(std::string_view desktops)
{
    for (std::size_t start = 0; start <= desktops.size();) {
        const std::size_t end = std::min(desktops.find(':', start), desktops.size());
        if (equalsIgnoringCase(desktops.substr(start, end - start), "GNOME"))
            return true;
        start = end + 1;
    }
    return false;
}

} // namespace

std::string PreferredDisplayPlatform()
{
    if (!variable("QT_QPA_PLATFORM").empty() || variable("DISPLAY").empty() ||
        variable("XDG_SESSION_TYPE") != "wayland" || !isGnome(variable("XDG_CURRENT_DESKTOP")))
        return {};
    return "xcb;wayland";
}

} // namespace ApiDef
