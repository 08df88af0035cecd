#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <string>

#include "display/x11_interface.h"

class X11LibX11 final : public X11Interface {
public:
    X11LibX11() = default;
    X11LibX11(const X11LibX11&) = delete;
    X11LibX11& operator=(const X11LibX11&) = delete;
    ~X11LibX11() override;

    bool openWindow(std::int32_t x, std::int32_t y, std::int32_t width,
                    std::int32_t height) override;
    bool setupGC(const std::string& background, const std::string& foreground,
                 const std::string& fontPattern) override;
    bool grabKeyboard() override;
    bool redraw(const std::string& text, std::uint64_t cursor) override;
    bool nextEvent(InputEvent& event) override;

    unsigned long lookupColor(const std::string& name);

private:
    void keepConnectionFromChildren();
    bool setSizeHints(std::int32_t width, std::int32_t height);

    std::string displayName;
    Display* connection = nullptr;
    GC textGC = nullptr;
    GC fillGC = nullptr;
    Window window = 0;
    XFontStruct* font = nullptr;
    std::int32_t screen = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
};
