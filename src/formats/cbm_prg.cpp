// Commodore program files (PRG, P00, T64), played as the C64 KERNAL's SAVE
// writes a program to tape.
//
// A program is a load address and bytes. The files that hold them:
//   PRG  the address (2 bytes, little-endian), then the bytes. Told by a name
//        ending in .prg (any case) and at least 3 bytes; the name on tape is
//        the file's name without its extension.
//   P00  "C64File" and 0x00, a 16-byte name padded with 0x00, a byte, a
//        record-size byte, then a PRG. Any name.
//   T64  an archive: a 64-byte header whose signature starts "C64 tape" or
//        "C64S tape", the number of directory entries at 0x22 (2 bytes; the
//        count of used ones at 0x24), then the 32-byte entries from 0x40:
//          0  entry type: 0 free, 1 a tape file, 3 a memory snapshot
//          1  the disk file type: a program when its low four bits are 2
//          2  start address, 2 bytes    4  end address, 2 bytes
//          8  where the entry's bytes are in the archive, 4 bytes
//         16  the name, 16 bytes padded with spaces
//        Many archives state a wrong end address, so a program's bytes run
//        from its offset to the next entry's bytes or to the end of the file.
//        Any name.
//
// On tape each program is a header block and a data block. The header's 192
// bytes: type 1 (a program loaded at 0x0801, the start of BASIC) or 3 (any
// other address), start and end address (one past the last byte), the name
// padded with spaces, spaces to the end. A block is a pilot of short pulses
// (27,136 before a header, 6,656 before data), then two copies: a countdown
// (0x89 to 0x81 in the first, 0x09 to 0x01 in the second), the payload, its
// XOR checksum, an end-of-data marker (long, short), and short pulses after
// it (79 after the first copy, 78 after the second). A byte is a marker
// (long, medium), its eight bits least significant first (0 short-medium, 1
// medium-short) and a bit that makes the count of ones odd. Pulses are 0x30,
// 0x42 and 0x56 units of 8 cycles of the PAL clock, played as a TAP image of
// version 1 plays them but with the high half of each pulse first: a loader
// times a pulse from the falling edge at its start, so this signal reads back
// without -n, where a TAP image of version 1 needs it. A third of a second (one pulse of 328,416 cycles, as
// a TAP image writes a pause) parts the header from the data and one program
// from the next.
//
// Detection reads and reports the programs; the conversion and the read-back
// check read the file again with the same reader, quietly.
#include "formats/cbm_prg.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "formats/pulses.h"
#include "output/fatal.h"

namespace korvax {
namespace {

constexpr std::size_t name_size = 16;
constexpr std::size_t header_block_size = 192;
constexpr std::uint16_t basic_start = 0x0801;
constexpr std::uint8_t relocatable_program = 1, absolute_program = 3;

constexpr std::size_t p00_header_size = 26;
constexpr std::size_t t64_directory = 0x40, t64_entry_size = 32;
constexpr int t64_free = 0, t64_tape_file = 1, t64_snapshot = 3;
constexpr int disk_program = 2;

constexpr std::uint64_t short_pulse = 0x30, medium_pulse = 0x42, long_pulse = 0x56;
constexpr std::size_t header_pilot = 0x6A00, data_pilot = 0x1A00;
constexpr std::size_t first_trailer = 79, second_trailer = 78;
constexpr std::uint64_t pause_units = 985'248 / 3 / 8;

struct program {
    std::string name;  // PETSCII upper case, padded with spaces to 16
    std::uint16_t start = 0;
    byte_vector bytes;
    std::uint32_t end() const { return start + static_cast<std::uint32_t>(bytes.size()); }
};

struct program_file {
    const char* kind;
    std::vector<program> programs;
};

// A character as PETSCII upper case has it: letters as capitals, digits,
// space and punctuation as they are; anything else a space.
char petscii(std::uint8_t c) {
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
    return c >= ' ' && c <= ']' && c != '\\' ? static_cast<char>(c) : ' ';
}

// A name of PETSCII bytes, padded (or cut) to 16 characters.
std::string tape_name(const std::uint8_t* raw, std::size_t n) {
    std::string name;
    for (std::size_t i = 0; i < n && name.size() < name_size; ++i) name += petscii(raw[i]);
    return name + std::string(name_size - name.size(), ' ');
}

// A PRG's name on tape: its file name without the directory and the
// extension; a character of several UTF-8 bytes is one space.
std::string prg_name(const char* path) {
    std::string base = path;
    base = base.substr(base.rfind('/') + 1);
    base = base.substr(0, base.size() - 4);
    std::string kept;
    for (char c : base)
        if ((c & 0xC0) != 0x80) kept += c;
    return tape_name(reinterpret_cast<const std::uint8_t*>(kept.data()), kept.size());
}

std::string trimmed(const std::string& name) { return name.substr(0, name.find_last_not_of(' ') + 1); }

unsigned le16(const std::uint8_t* b) { return b[0] | b[1] << 8; }

// `n` bytes from `offset`; fewer when the file ends first.
byte_vector read_at(std::FILE* in, const char* path, std::uint64_t offset, std::size_t n) {
    byte_vector b(n);
    if (std::fseek(in, static_cast<long>(offset), SEEK_SET) != 0) b.clear();
    if (!b.empty()) b.resize(std::fread(b.data(), 1, n, in));
    check_read(in, path);
    return b;
}

// The one reader of program files, for detection and conversion alike: the
// programs, reported when `report`. Nothing when the file is none of the
// three kinds or holds no program; a program that would pass the top of
// memory ends the run.
std::optional<program_file> read_programs(std::FILE* in, const char* path, bool report) {
    if (std::fseek(in, 0, SEEK_END) != 0) return std::nullopt;
    const off_t signed_size = ::ftello(in);
    if (signed_size < 0) return std::nullopt;
    const auto size = static_cast<std::uint64_t>(signed_size);
    const byte_vector head = read_at(in, path, 0, t64_directory);
    const auto starts = [&](const char* text, std::size_t n) {
        return head.size() >= n && std::memcmp(head.data(), text, n) == 0;
    };

    program_file file{"", {}};
    // A program's address and bytes at `offset`; `length` bytes in all.
    const auto add = [&](std::string name, unsigned start, std::uint64_t offset, std::uint64_t length) {
        if (start + length > 0xFFFF) {
            say(report, "Program %s does not fit in memory: %llu bytes from $%04X would end at $%llX, past $FFFF.\n",
                trimmed(name).c_str(), static_cast<unsigned long long>(length), start,
                static_cast<unsigned long long>(start + length));
            quit(exit_image);
        }
        program p{std::move(name), static_cast<std::uint16_t>(start), read_at(in, path, offset, length)};
        say(report, "Program : %s, start $%04X, end $%04X\n", trimmed(p.name).c_str(), p.start, p.end());
        file.programs.push_back(std::move(p));
    };
    // The address and bytes of a PRG from `offset` to the end of the file.
    const auto add_prg = [&](std::string name, std::uint64_t offset) {
        if (size < offset + 3) return;
        const byte_vector address = read_at(in, path, offset, 2);
        if (address.size() == 2) add(std::move(name), le16(address.data()), offset + 2, size - offset - 2);
    };

    if (starts("C64File\0", 8)) {
        file.kind = "P00";
        say(report, "Program file : %s\n", file.kind);
        if (head.size() >= p00_header_size) add_prg(tape_name(head.data() + 8, name_size), p00_header_size);
    } else if (starts("C64 tape", 8) || starts("C64S tape", 9)) {
        file.kind = "T64";
        say(report, "Program file : %s\n", file.kind);
        if (head.size() < t64_directory) return std::nullopt;
        const std::uint64_t count = std::min<std::uint64_t>(std::max(le16(&head[0x22]), le16(&head[0x24])),
                                                            (size - t64_directory) / t64_entry_size);
        const byte_vector dir = read_at(in, path, t64_directory, count * t64_entry_size);
        const auto entry = [&](std::size_t i) { return dir.data() + i * t64_entry_size; };
        const auto offset = [&](std::size_t i) {
            const std::uint8_t* e = entry(i);
            return std::uint64_t{le16(e + 8)} | std::uint64_t{le16(e + 10)} << 16;
        };
        // Where each entry's bytes start, in order, the end of the file last.
        std::vector<std::uint64_t> data_starts = {size};
        for (std::size_t i = 0; i < dir.size() / t64_entry_size; ++i)
            if (entry(i)[0] != t64_free) data_starts.push_back(offset(i));
        std::sort(data_starts.begin(), data_starts.end());
        for (std::size_t i = 0; i < dir.size() / t64_entry_size; ++i) {
            const std::uint8_t* e = entry(i);
            if (e[0] == t64_free) continue;
            const std::string name = tape_name(e + 16, name_size);
            if (e[0] != t64_tape_file || (e[1] & 0x0F) != disk_program) {
                if (e[0] == t64_snapshot)
                    say(report, "    WARNING: T64 entry %zu (%s) is a memory snapshot, not a program: skipped.\n", i,
                        trimmed(name).c_str());
                else
                    say(report, "    WARNING: T64 entry %zu (%s) is not a program (types $%02X, $%02X): skipped.\n", i,
                        trimmed(name).c_str(), e[0], e[1]);
                continue;
            }
            const auto after = std::upper_bound(data_starts.begin(), data_starts.end(), offset(i));
            const std::uint64_t next = after == data_starts.end() ? size : *after;
            if (offset(i) >= next) {
                say(report, "    WARNING: T64 entry %zu (%s) has no bytes in the file: skipped.\n", i, trimmed(name).c_str());
                continue;
            }
            add(name, le16(e + 2), offset(i), next - offset(i));
            if (le16(e + 4) != (file.programs.back().end() & 0xFFFF))
                say(report, "    WARNING: the T64 directory states end $%04X.\n", le16(e + 4));
        }
    } else if (has_extension(path, ".prg")) {
        file.kind = "PRG";
        if (size >= 3) say(report, "Program file : %s\n", file.kind);
        add_prg(prg_name(path), 0);
    }
    if (file.programs.empty()) return std::nullopt;
    return file;
}

bool cbm_prg_analyze(const char* path) {
    const file_ptr in = open_image(path);
    return in && read_programs(in.get(), path, true).has_value();
}

// The file again, quietly, for what follows its detection.
program_file reread_programs(std::FILE* in, const char* path) {
    std::optional<program_file> file = read_programs(in, path, false);
    if (!file) {
        std::fputs("Unknown/unsupported tape image file.\n", stderr);
        quit(exit_image);
    }
    return *std::move(file);
}

byte_vector header_block(const program& p) {
    byte_vector b(header_block_size, ' ');
    b[0] = p.start == basic_start ? relocatable_program : absolute_program;
    b[1] = static_cast<std::uint8_t>(p.start);
    b[2] = static_cast<std::uint8_t>(p.start >> 8);
    b[3] = static_cast<std::uint8_t>(p.end());
    b[4] = static_cast<std::uint8_t>(p.end() >> 8);
    std::copy(p.name.begin(), p.name.end(), b.begin() + 5);
    return b;
}

// Every pulse of the tape in units of 8 cycles, in order.
template <typename F>
void for_each_pulse(const program_file& file, F pulse) {
    const auto bit = [&](int one) {
        pulse(one ? medium_pulse : short_pulse);
        pulse(one ? short_pulse : medium_pulse);
    };
    const auto byte = [&](std::uint8_t value) {
        pulse(long_pulse);
        pulse(medium_pulse);
        int parity = 1;
        for (int i = 0; i < 8; ++i) {
            bit(value >> i & 1);
            parity ^= value >> i & 1;
        }
        bit(parity);
    };
    const auto block = [&](const byte_vector& payload, std::size_t pilot) {
        std::uint8_t checksum = 0;
        for (std::uint8_t b : payload) checksum ^= b;
        for (std::size_t i = 0; i < pilot; ++i) pulse(short_pulse);
        for (const bool first : {true, false}) {
            for (std::uint8_t n = 9; n >= 1; --n) byte(first ? 0x80 | n : n);
            for (std::uint8_t b : payload) byte(b);
            byte(checksum);
            pulse(long_pulse);
            pulse(short_pulse);
            for (std::size_t i = 0; i < (first ? first_trailer : second_trailer); ++i) pulse(short_pulse);
        }
    };
    for (const program& p : file.programs) {
        if (&p != &file.programs.front()) pulse(pause_units);
        block(header_block(p), header_pilot);
        pulse(pause_units);
        block(p.bytes, data_pilot);
    }
}

void cbm_prg_convert(std::FILE* in, const char* path, wav_writer& out, const signal_levels& s) {
    for_each_pulse(reread_programs(in, path),
                   [&](std::uint64_t units) { square_pulse(out, units, c64_pal_units, s.p_gain, true); });
}

// Read back as a TAP image of the same pulses would be, each within a sample
// of its length; then loaded as the ROM loads it, each program's header and
// bytes.
readback cbm_prg_verify(std::FILE* in, const char* path, const wav_samples& wav, const signal_levels&) {
    const program_file file = reread_programs(in, path);
    std::vector<std::uint64_t> units;
    std::vector<byte_vector> blocks;
    for_each_pulse(file, [&](std::uint64_t u) { units.push_back(u); });
    for (const program& p : file.programs) blocks.insert(blocks.end(), {header_block(p), p.bytes});
    const readback timed = read_pulses(wav, false, units, c64_pal_units);
    if (!timed.error.empty()) return timed;
    return read_kernal_blocks(pulse_lengths(wav.samples, false), double(wav.sample_rate) / c64_pal_units, blocks);
}

}  // namespace

const tape_format cbm_prg_format = {
    .name = "PRG",
    .extension = "prg",
    .description = "Commodore program file",
    .analyze = cbm_prg_analyze,
    .convert = cbm_prg_convert,
    .verify = cbm_prg_verify,
    .kind_line = nullptr,
    .recommended_rate = 22050,
    .analyzed_when_forced = true,
};

}  // namespace korvax
