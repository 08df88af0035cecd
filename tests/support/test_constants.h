#pragma once

// What the launcher writes and asks for by default, said once for every kind of test.

// The usage line after the program's name.
inline constexpr char usageText[] =
    " [-bg background] [-fg foreground] [-fo font_foundry] [-ff font_family] [-fw font_weight]"
    " [-fs font_slant] [-fwn font_width_name] [-fsn font_style_name] [-fpt font_point_size]"
    " [-x window x-coordinate] [-y window y-coordinate] [-w window width] [-h window height]\n";

inline constexpr char defaultFontPattern[] = "-*-*-medium-r-*-*-15-*-*-*-*-*-*-*";
