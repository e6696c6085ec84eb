// The registry of tape formats. A format's number (-f, the usage list) is its
// position here; detection asks them in this order.
#pragma once

#include <array>
#include <string_view>

#include "formats/cbm/program_file.h"
#include "formats/cbm/tap.h"
#include "formats/cgenie/image.h"
#include "formats/homelab/image.h"
#include "formats/trs80/image.h"

namespace korvax {

inline constexpr auto tape_format_registry = std::to_array<const tape_format*>({
    &cgc_format,
    &htp_format,
    &tap_format,
    &cas_trs80_format,
    &cbm_prg_format,
});
inline constexpr int format_count = static_cast<int>(tape_format_registry.size());

// The number of the format with this short name, or -1.
inline int format_number(std::string_view name) {
    for (int i = 0; i < format_count; ++i)
        if (name == tape_format_registry[i]->name) return i;
    return -1;
}

}  // namespace korvax
