// Real keys and pointer for a headless kwin, which takes them from a client
// only through its fake-input protocol. Reads events from stdin, three words
// each: "m X Y" moves the pointer to X,Y; "b BUTTON STATE" and "k KEY STATE"
// press (1) or release (0) a button or a key, by Linux input code. Answers
// "ok" once kwin has each.
#include <wayland-client.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// org_kde_kwin_fake_input version 4: its requests, none of which carries an object.
const wl_interface* noTypes[3] = {};
const wl_message kRequests[] = {{"authenticate", "ss", noTypes}, {"pointer_motion", "ff", noTypes}, {"button", "uu", noTypes},
    {"axis", "uf", noTypes}, {"touch_down", "2uff", noTypes}, {"touch_motion", "2uff", noTypes}, {"touch_up", "2u", noTypes},
    {"touch_cancel", "2", noTypes}, {"touch_frame", "2", noTypes}, {"pointer_motion_absolute", "3ff", noTypes}, {"keyboard_key", "4uu", noTypes}};
const wl_interface kFakeInput = {"org_kde_kwin_fake_input", 4, 11, kRequests, 0, nullptr};
enum : std::uint32_t { kAuthenticate = 0, kButton = 2, kMotionAbsolute = 9, kKey = 10 };
wl_proxy* input = nullptr;
const wl_registry_listener kListener = {
    [](void*, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t version) {
        if (std::strcmp(interface, kFakeInput.name) == 0 && version >= 4)
            input = static_cast<wl_proxy*>(wl_registry_bind(registry, name, &kFakeInput, 4));
    },
    [](void*, wl_registry*, std::uint32_t) {}};

} // namespace

int main()
{
    wl_display* display = wl_display_connect(nullptr);
    if (display) {
        wl_registry_add_listener(wl_display_get_registry(display), &kListener, nullptr);
        wl_display_roundtrip(display);
    }
    if (!input)
        return std::fputs("fake_input: no Wayland compositor with org_kde_kwin_fake_input 4\n", stderr), 1;
    wl_proxy_marshal_flags(input, kAuthenticate, nullptr, 4, 0, "Quorvel's tests", "keys and pointer for the desktop tests");
    char op = 0;
    double a = 0, b = 0;
    while (std::scanf(" %c %lf %lf", &op, &a, &b) == 3) {
        if (op == 'm')
            wl_proxy_marshal_flags(input, kMotionAbsolute, nullptr, 4, 0, wl_fixed_from_double(a), wl_fixed_from_double(b));
        else
            wl_proxy_marshal_flags(input, op == 'k' ? kKey : kButton, nullptr, 4, 0, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b));
        if (wl_display_roundtrip(display) < 0 || std::puts("ok") < 0 || std::fflush(stdout) != 0)
            return 1;
    }
    return 0;
}
