#pragma once
// Which of Qt's display platforms the program asks for. Chosen from the
// session's environment before the application object exists, since Qt
// settles on one when that is made.

#include <string>

namespace ApiDef {

// The value for Qt's -platform option, or empty for Qt's own choice.
//
// GNOME's compositor draws no title bars for Wayland clients, so a native
// Wayland window there gets the bar Qt draws itself, unlike every other
// window on that desktop, and a message box none at all, placed below its
// window rather than over it. Through XWayland, mutter frames both as it
// frames every X11 window, and centres the box over its window. So in a
// GNOME Wayland session that offers XWayland, and where the user has not
// chosen (QT_QPA_PLATFORM), the answer is X11 first, with Wayland behind
// it should the X server be unreachable. Everywhere else (KDE Plasma, sway,
// an X11 session) Qt's choice stands.
std::string PreferredDisplayPlatform();

} // namespace ApiDef
