// Commodore program files (PRG, P00, T64), played as the C64 KERNAL's SAVE
// writes a program to tape (formats/cbm/protocol.h).
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
// The programs are reported as they are found.
#include "formats/cbm/program_file.h"

#include <algorithm>
#include <cstring>

#include "formats/cbm/decoder.h"
#include "formats/cbm/encoder.h"

namespace korvax {
namespace {

using cbm::program;

constexpr std::size_t p00_header_size = 26;
constexpr std::size_t t64_directory = 0x40, t64_entry_size = 32;
constexpr int t64_free = 0, t64_tape_file = 1, t64_snapshot = 3;
constexpr int disk_program = 2;

// A character as PETSCII upper case has it: letters as capitals, digits,
// space and punctuation as they are; anything else a space.
char petscii(std::uint8_t c) {
    if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
    return c >= ' ' && c <= ']' && c != '\\' ? static_cast<char>(c) : ' ';
}

// A name of PETSCII bytes, padded (or cut) to 16 characters.
std::string tape_name(const std::uint8_t* raw, std::size_t n) {
    std::string name;
    for (std::size_t i = 0; i < n && name.size() < cbm::name_size; ++i) name += petscii(raw[i]);
    return name + std::string(cbm::name_size - name.size(), ' ');
}

// A PRG's name on tape: its file name without the directory and the
// extension; a character of several UTF-8 bytes is one space.
std::string prg_name(const std::string& path) {
    std::string base = path.substr(path.rfind('/') + 1);
    base = base.substr(0, base.size() - 4);
    std::string kept;
    for (char c : base)
        if ((c & 0xC0) != 0x80) kept += c;
    return tape_name(reinterpret_cast<const std::uint8_t*>(kept.data()), kept.size());
}

std::string trimmed(const std::string& name) { return name.substr(0, name.find_last_not_of(' ') + 1); }

unsigned le16(const std::uint8_t* b) { return b[0] | b[1] << 8; }

class program_tape final : public tape {
public:
    explicit program_tape(std::vector<program> programs) : programs_(std::move(programs)) {}

    void play(const signal_levels& s, timeline& t) const override { cbm::play_programs(programs_, s, t); }

    // Read back as a TAP image of the same pulses would be, each within a
    // sample of its length; then loaded as the ROM loads it, each program's
    // header and bytes.
    readback read_back(const signal_levels&, sample_source& wav, std::uint64_t) const override {
        cbm::kernal_reader kernal(double(wav.rate()) / cbm::c64_pal);
        const readback timed = cbm::read_pulses(
            wav, false, cbm::c64_pal,
            [&](auto f) { cbm::for_each_kernal_pulse(programs_, f, [](tape_mark::what, const std::string&) {}); }, &kernal);
        if (!timed.error.empty()) return timed;
        std::vector<std::vector<std::uint8_t>> blocks;
        for (const program& p : programs_) {
            blocks.push_back(cbm::header_block(p));
            blocks.emplace_back(p.bytes.begin(), p.bytes.end());
        }
        return kernal.finish(blocks);
    }

private:
    std::vector<program> programs_;
};

// The one reader of program files: the programs, reported. Nothing when the
// file is none of the three kinds or holds no program; a program that would
// pass the top of memory ends the run.
std::unique_ptr<tape> prg_read(const image& im, report& found, bool) {
    const std::span<const std::uint8_t> b = im.bytes;
    const std::uint64_t size = b.size();
    const auto starts = [&](const char* text, std::size_t n) { return size >= n && std::memcmp(b.data(), text, n) == 0; };

    std::vector<program> programs;
    // A program's address and bytes at `offset`; `length` bytes in all.
    const auto add = [&](std::string name, unsigned start, std::uint64_t offset, std::uint64_t length) {
        if (start + length > 0xFFFF) {
            found.fatal = exit_image;
            char line[200];
            std::snprintf(line, sizeof line,
                          "Program %s does not fit in memory: %llu bytes from $%04X would end at $%llX, past $FFFF.",
                          trimmed(name).c_str(), static_cast<unsigned long long>(length), start,
                          static_cast<unsigned long long>(start + length));
            found.fatal_message = line;
            return false;
        }
        const program p{std::move(name), static_cast<std::uint16_t>(start),
                        b.subspan(std::min(offset, size), std::min(length, size - std::min(offset, size)))};
        char line[100];
        std::snprintf(line, sizeof line, "Program : %s, start $%04X, end $%04X", trimmed(p.name).c_str(), p.start, p.end());
        found.program({trimmed(p.name), p.start, p.end()}, line);
        programs.push_back(p);
        return true;
    };
    // The address and bytes of a PRG from `offset` to the end of the file.
    const auto add_prg = [&](std::string name, std::uint64_t offset) {
        if (size < offset + 3) return true;
        return add(std::move(name), le16(b.data() + offset), offset + 2, size - offset - 2);
    };

    if (starts("C64File\0", 8)) {
        found.field("Program file", "P00");
        if (size >= p00_header_size && !add_prg(tape_name(b.data() + 8, cbm::name_size), p00_header_size))
            return nullptr;
    } else if (starts("C64 tape", 8) || starts("C64S tape", 9)) {
        found.field("Program file", "T64");
        if (size < t64_directory) return nullptr;
        const std::uint64_t count = std::min<std::uint64_t>(std::max(le16(&b[0x22]), le16(&b[0x24])),
                                                            (size - t64_directory) / t64_entry_size);
        const auto entry = [&](std::size_t i) { return b.data() + t64_directory + i * t64_entry_size; };
        const auto offset = [&](std::size_t i) {
            const std::uint8_t* e = entry(i);
            return std::uint64_t{le16(e + 8)} | std::uint64_t{le16(e + 10)} << 16;
        };
        // Where each entry's bytes start, in order, the end of the file last.
        std::vector<std::uint64_t> data_starts = {size};
        for (std::size_t i = 0; i < count; ++i)
            if (entry(i)[0] != t64_free) data_starts.push_back(offset(i));
        std::sort(data_starts.begin(), data_starts.end());
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* e = entry(i);
            if (e[0] == t64_free) continue;
            const std::string name = tape_name(e + 16, cbm::name_size);
            char line[160];
            if (e[0] != t64_tape_file || (e[1] & 0x0F) != disk_program) {
                if (e[0] == t64_snapshot)
                    std::snprintf(line, sizeof line,
                                  "    WARNING: T64 entry %zu (%s) is a memory snapshot, not a program: skipped.", i,
                                  trimmed(name).c_str());
                else
                    std::snprintf(line, sizeof line,
                                  "    WARNING: T64 entry %zu (%s) is not a program (types $%02X, $%02X): skipped.", i,
                                  trimmed(name).c_str(), e[0], e[1]);
                found.warning(line);
                continue;
            }
            const auto after = std::upper_bound(data_starts.begin(), data_starts.end(), offset(i));
            const std::uint64_t next = after == data_starts.end() ? size : *after;
            if (offset(i) >= next) {
                std::snprintf(line, sizeof line, "    WARNING: T64 entry %zu (%s) has no bytes in the file: skipped.", i,
                              trimmed(name).c_str());
                found.warning(line);
                continue;
            }
            if (!add(name, le16(e + 2), offset(i), next - offset(i))) return nullptr;
            if (le16(e + 4) != (programs.back().end() & 0xFFFF)) {
                std::snprintf(line, sizeof line, "    WARNING: the T64 directory states end $%04X.", le16(e + 4));
                found.warning(line);
            }
        }
    } else if (has_extension(im.name, ".prg")) {
        if (size >= 3) found.field("Program file", "PRG");
        if (!add_prg(prg_name(im.name), 0)) return nullptr;
    }
    if (programs.empty()) return nullptr;
    found.family = "program";
    return std::make_unique<program_tape>(std::move(programs));
}

image prg_sample() { return {"sample.prg", {0x00, 0xC0, 0x60}}; }

}  // namespace

const tape_format cbm_prg_format = {
    .name = "PRG",
    .extension = "prg",
    .description = "Commodore program file",
    .read = prg_read,
    .recommended_rate = 22050,
    .sample = prg_sample,
};

}  // namespace korvax
