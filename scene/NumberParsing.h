// Number parsing shared by the scene and OBJ readers.
#pragma once

#include <charconv>
#include <cmath>
#include <system_error>

// Parses the whole of [b, e) as a float in decimal notation, with an
// optional fraction and exponent and one optional leading '+' (not followed
// by another sign). A value too small for a float rounds towards zero, as
// most readers do, instead of failing; one too large fails. The result may
// be infinite or not a number when the text spells one: callers decide.
inline bool parseDecimalFloat(const char* b, const char* e, float& out) {
    if (b != e && *b == '+' && e - b > 1 && b[1] != '-' && b[1] != '+') ++b;
    auto [end, ec] = std::from_chars(b, e, out);
    if (ec == std::errc::result_out_of_range && end == e) {
        double wide = 0.0;
        const auto [wideEnd, wideEc] = std::from_chars(b, e, wide);
        if (wideEc != std::errc() || wideEnd != e || !(std::fabs(wide) < 1.0)) return false;
        out = float(wide);
        return true;
    }
    return ec == std::errc() && end == e;
}
