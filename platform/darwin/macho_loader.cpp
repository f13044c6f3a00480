#include "platform/darwin/macho_loader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/darwin/dyld.hpp"

namespace platform::darwin {
namespace {

constexpr std::uint32_t lc_segment = 0x1, lc_symtab = 0x2, lc_segment_64 = 0x19;
constexpr std::uint32_t lc_dyld_info = 0x22, lc_dyld_info_only = 0x80000022, lc_dyld_chained_fixups = 0x80000034;
constexpr std::uint32_t s_mod_init_func_pointers = 0x9, s_init_func_offsets = 0x16;
constexpr std::uint32_t rw_realized = 1u << 31;

struct Segment {
    std::string name;
    std::uint64_t vmaddr, vmsize, fileoff, filesize;
    std::uint32_t initprot;
};

struct Section {
    std::string segname, sectname;
    std::uint64_t addr, size;
};

[[noreturn]] void fail(const std::string& path, const std::string& why) {
    throw MachOLoadError(path + ": " + why);
}

// Bounds-checked reads from the file's bytes.
struct File {
    const std::string& path;
    const std::vector<std::uint8_t>& bytes;
    template <typename T>
    T at(std::uint64_t offset) const {
        if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) fail(path, "truncated file");
        T v;
        std::memcpy(&v, bytes.data() + offset, sizeof(T));
        return v;
    }
    std::string name16(std::uint64_t offset) const {
        if (offset > bytes.size() || bytes.size() - offset < 16) fail(path, "truncated file");
        const char* p = reinterpret_cast<const char*>(bytes.data() + offset);
        return std::string(p, strnlen(p, 16));
    }
};

struct OpcodeStream {
    const std::string& path;
    const std::uint8_t* p;
    const std::uint8_t* end;
    bool done() const { return p >= end; }
    std::uint8_t byte() {
        if (p >= end) fail(path, "opcode stream ends early");
        return *p++;
    }
    std::uint64_t uleb() {
        std::uint64_t v = 0;
        for (int shift = 0;; shift += 7) {
            const std::uint8_t b = byte();
            if (shift > 63) fail(path, "bad ULEB128");
            v |= static_cast<std::uint64_t>(b & 0x7f) << shift;
            if (!(b & 0x80)) return v;
        }
    }
    std::int64_t sleb() {
        std::int64_t v = 0;
        int shift = 0;
        std::uint8_t b;
        do {
            b = byte();
            if (shift > 63) fail(path, "bad SLEB128");
            v |= static_cast<std::int64_t>(static_cast<std::uint64_t>(b & 0x7f) << shift);
            shift += 7;
        } while (b & 0x80);
        if (shift < 64 && (b & 0x40)) v |= -(static_cast<std::int64_t>(1) << shift);
        return v;
    }
    std::string cstring() {
        const std::uint8_t* start = p;
        while (p < end && *p) ++p;
        if (p >= end) fail(path, "unterminated symbol name");
        return std::string(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(p++));
    }
};

// What the legacy runtime does to an image's classes as it loads it: a class's method-list
// pointer names its one list (the "no method array" flag) until categories are attached, which
// turns it into an array of lists, each category's ahead of the class's own, ended by -1. The
// arrays go to `arrays` (the side block, below 4 GiB).
void attach_legacy_categories(std::uint64_t base, std::uint64_t vm_size, const std::vector<Section>& sections,
                              std::uint64_t slide, std::uint64_t arrays, const std::string& path) {
    constexpr std::uint32_t no_method_array = 0x4000, list_end = 0xFFFFFFFF;
    auto at = [&](std::uint64_t address, std::uint64_t length = 4) -> std::uint8_t* {
        if (address < base || address - base > vm_size - length) fail(path, "metadata outside the image");
        return reinterpret_cast<std::uint8_t*>(address);
    };
    auto u32 = [&](std::uint64_t address) {
        std::uint32_t v;
        std::memcpy(&v, at(address), 4);
        return v;
    };
    auto set_u32 = [&](std::uint64_t address, std::uint32_t v) { std::memcpy(at(address), &v, 4); };
    auto text = [&](std::uint64_t address) {
        std::string out;
        for (char c; out.size() < 256 && (c = static_cast<char>(*at(address, 1))) != 0; ++address) out.push_back(c);
        return out;
    };
    const auto modules = std::find_if(sections.begin(), sections.end(), [](const Section& sect) {
        return sect.segname == "__OBJC" && sect.sectname == "__module_info";
    });
    if (modules == sections.end()) return;
    std::vector<std::uint64_t> classes, categories;
    for (std::uint64_t module = modules->addr + slide; module + 16 <= modules->addr + slide + modules->size; module += 16) {
        const std::uint64_t symtab = u32(module + 12);
        if (symtab == 0) continue;
        std::uint16_t counts[2];
        std::memcpy(counts, at(symtab + 8), 4);
        for (std::uint32_t i = 0; i < counts[0]; ++i) classes.push_back(u32(symtab + 12 + 4 * i));
        for (std::uint32_t i = 0; i < counts[1]; ++i) categories.push_back(u32(symtab + 12 + 4 * (counts[0] + i)));
    }
    for (const std::uint64_t cls : classes) {
        set_u32(cls + 16, u32(cls + 16) | no_method_array);
        set_u32(u32(cls) + 16, u32(u32(cls) + 16) | no_method_array);
    }
    auto attach = [&](std::uint64_t cls, std::uint32_t list) {
        if (list == 0) return;
        const std::uint32_t info = u32(cls + 16), lists = u32(cls + 28);
        std::vector<std::uint32_t> entries{list};
        if (info & no_method_array) {
            if (lists) entries.push_back(lists);
        } else {
            for (std::uint64_t k = lists; u32(k) != 0 && u32(k) != list_end; k += 4) entries.push_back(u32(k));
        }
        entries.push_back(list_end);
        std::memcpy(reinterpret_cast<void*>(arrays), entries.data(), entries.size() * 4);
        set_u32(cls + 28, static_cast<std::uint32_t>(arrays));
        set_u32(cls + 16, info & ~no_method_array);
        arrays += entries.size() * 4;
    };
    for (const std::uint64_t category : categories) {
        const std::string owner = text(u32(category + 4));
        for (const std::uint64_t cls : classes) {
            if (text(u32(cls + 8)) != owner) continue;
            attach(cls, u32(category + 8));
            attach(u32(cls), u32(category + 12));
        }
    }
}

// Anonymous read-write memory: anywhere, at a seeded random address, or (for 32-bit images,
// whose pointers are 32 bits wide) below 4 GiB.
void* map_region(std::uint64_t size, std::uint64_t seed, bool below_4g) {
    if (seed == 0 && !below_4g)
        return mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    const std::uint64_t page = static_cast<std::uint64_t>(getpagesize());
    std::mt19937_64 rng(seed != 0 ? seed : 0x6c6f77);
    for (int attempt = 0; attempt < 64; ++attempt) {
        const std::uint64_t hint = below_4g ? 0x10000000ull + (rng() % ((0xE0000000ull - size) / page)) * page
                                            : 0x100000000000ull + (rng() % (1ull << 30)) * page;
        void* at = mmap(reinterpret_cast<void*>(hint), size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
        if (at == reinterpret_cast<void*>(hint)) return at;
        if (at != MAP_FAILED) munmap(at, size);  // an old kernel that took the hint as a hint
    }
    return MAP_FAILED;
}

}  // namespace

std::unique_ptr<LoadedMachOImage> load_macho_image(const std::string& path, const MachOLoadOptions& options) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail(path, "cannot open");
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const File file{path, bytes};

    const auto magic = file.at<std::uint32_t>(0);
    if (magic != 0xFEEDFACF && magic != 0xFEEDFACE) fail(path, "not a little-endian Mach-O image");
    const bool m64 = magic == 0xFEEDFACF;
    const std::uint64_t ptr = m64 ? 8 : 4;
    const auto cputype = file.at<std::uint32_t>(4);
    const bool known = cputype == cpu_type_x86_64 || cputype == cpu_type_arm64 || cputype == cpu_type_arm64_32;
#if defined(__x86_64__)
    const bool runnable = cputype == cpu_type_x86_64;
#else
    const bool runnable = false;  // arm64 Mach-O code would run, but is never needed here
#endif
    if (!known || (options.want_executable && !runnable)) fail(path, "wrong architecture");
    if (file.at<std::uint32_t>(12) != 6) fail(path, "not a dylib");
    const auto ncmds = file.at<std::uint32_t>(16);
    const auto sizeofcmds = file.at<std::uint32_t>(20);
    const std::uint64_t header_size = m64 ? 32 : 28;
    if (header_size + sizeofcmds > bytes.size()) fail(path, "truncated file");

    std::vector<Segment> segments;
    std::vector<Section> sections;
    std::uint32_t rebase_off = 0, rebase_size = 0, bind_off = 0, bind_size = 0, weak_off = 0, weak_size = 0,
                  lazy_off = 0, lazy_size = 0;
    std::uint32_t symoff = 0, nsyms = 0, stroff = 0, strsize = 0;
    std::uint64_t offset = header_size;
    for (std::uint32_t i = 0; i < ncmds; ++i) {
        const auto cmd = file.at<std::uint32_t>(offset);
        const auto cmdsize = file.at<std::uint32_t>(offset + 4);
        if (cmdsize < 8 || offset + cmdsize > header_size + sizeofcmds) fail(path, "bad load command");
        if (cmd == (m64 ? lc_segment_64 : lc_segment)) {
            Segment s;
            s.name = file.name16(offset + 8);
            if (m64) {
                s.vmaddr = file.at<std::uint64_t>(offset + 24);
                s.vmsize = file.at<std::uint64_t>(offset + 32);
                s.fileoff = file.at<std::uint64_t>(offset + 40);
                s.filesize = file.at<std::uint64_t>(offset + 48);
            } else {
                s.vmaddr = file.at<std::uint32_t>(offset + 24);
                s.vmsize = file.at<std::uint32_t>(offset + 28);
                s.fileoff = file.at<std::uint32_t>(offset + 32);
                s.filesize = file.at<std::uint32_t>(offset + 36);
            }
            s.initprot = file.at<std::uint32_t>(offset + (m64 ? 60 : 44));
            const auto nsects = file.at<std::uint32_t>(offset + (m64 ? 64 : 48));
            if (s.filesize > s.vmsize || s.fileoff > bytes.size() || bytes.size() - s.fileoff < s.filesize ||
                s.vmaddr + s.vmsize < s.vmaddr)
                fail(path, "truncated file");
            const std::uint64_t sect_size = m64 ? 80 : 68;
            if ((m64 ? 72 : 56) + nsects * sect_size > cmdsize) fail(path, "bad load command");
            for (std::uint32_t k = 0; k < nsects; ++k) {
                const std::uint64_t so = offset + (m64 ? 72 : 56) + k * sect_size;
                Section sect{file.name16(so + 16), file.name16(so), 0, 0};
                sect.addr = m64 ? file.at<std::uint64_t>(so + 32) : file.at<std::uint32_t>(so + 32);
                sect.size = m64 ? file.at<std::uint64_t>(so + 40) : file.at<std::uint32_t>(so + 36);
                const auto type = file.at<std::uint32_t>(so + (m64 ? 64 : 56)) & 0xff;
                if ((type == s_mod_init_func_pointers || type == s_init_func_offsets) && sect.size > 0)
                    fail(path, "initializers are not supported");
                sections.push_back(sect);
            }
            segments.push_back(s);
        } else if (cmd == lc_dyld_info || cmd == lc_dyld_info_only) {
            rebase_off = file.at<std::uint32_t>(offset + 8);
            rebase_size = file.at<std::uint32_t>(offset + 12);
            bind_off = file.at<std::uint32_t>(offset + 16);
            bind_size = file.at<std::uint32_t>(offset + 20);
            weak_off = file.at<std::uint32_t>(offset + 24);
            weak_size = file.at<std::uint32_t>(offset + 28);
            lazy_off = file.at<std::uint32_t>(offset + 32);
            lazy_size = file.at<std::uint32_t>(offset + 36);
        } else if (cmd == lc_dyld_chained_fixups) {
            fail(path, "chained fixups are not supported");
        } else if (cmd == lc_symtab) {
            symoff = file.at<std::uint32_t>(offset + 8);
            nsyms = file.at<std::uint32_t>(offset + 12);
            stroff = file.at<std::uint32_t>(offset + 16);
            strsize = file.at<std::uint32_t>(offset + 20);
        }
        offset += cmdsize;
    }
    const auto text = std::find_if(segments.begin(), segments.end(), [](const Segment& s) { return s.name == "__TEXT"; });
    if (text == segments.end()) fail(path, "no __TEXT segment");

    const std::uint64_t page = static_cast<std::uint64_t>(getpagesize());
    std::uint64_t lo = UINT64_MAX, hi = 0;
    for (const auto& s : segments) {
        if (s.vmsize == 0) continue;
        lo = std::min(lo, s.vmaddr);
        hi = std::max(hi, s.vmaddr + s.vmsize);
    }
    if (lo >= hi) fail(path, "no mapped segments");
    if (hi - lo > (1ull << 32)) fail(path, "segments span too much address space");
    lo &= ~(page - 1);
    const std::uint64_t vm_size = (hi - lo + page - 1) & ~(page - 1);

    std::unique_ptr<LoadedMachOImage> image(new LoadedMachOImage);
    image->path_ = path;
    image->cpu_type_ = cputype;
    image->executable_ = runnable;
    image->min_vmaddr_ = lo;
    image->text_vmaddr_ = text->vmaddr;
    image->vm_size_ = vm_size;

    if (!m64 && vm_size > 0x80000000ull) fail(path, "segments span too much address space");
    void* base = map_region(vm_size, options.slide_seed, !m64);
    if (base == MAP_FAILED) fail(path, "no address space");
    image->base_ = reinterpret_cast<std::uintptr_t>(base);
    const std::uint64_t slide = image->base_ - lo;
    image->slide_ = static_cast<std::intptr_t>(slide);
    for (const auto& s : segments)
        if (s.filesize) std::memcpy(reinterpret_cast<void*>(s.vmaddr + slide), bytes.data() + s.fileoff, s.filesize);

    auto slot = [&](std::size_t seg, std::uint64_t off) -> std::uint8_t* {
        if (seg >= segments.size()) fail(path, "fixup in an unknown segment");
        const Segment& s = segments[seg];
        if (off > s.vmsize || s.vmsize - off < ptr) fail(path, "fixup outside its segment");
        return reinterpret_cast<std::uint8_t*>(s.vmaddr + slide + off);
    };
    auto add_slide = [&](std::uint8_t* p) {
        if (m64) {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            v += slide;
            std::memcpy(p, &v, 8);
        } else {
            std::uint32_t v;
            std::memcpy(&v, p, 4);
            v += static_cast<std::uint32_t>(slide);
            std::memcpy(p, &v, 4);
        }
    };
    auto opcodes = [&](std::uint32_t off, std::uint32_t size) {
        if (off > bytes.size() || bytes.size() - off < size) fail(path, "truncated file");
        return OpcodeStream{path, bytes.data() + off, bytes.data() + off + size};
    };

    // Rebases.
    {
        OpcodeStream s = opcodes(rebase_off, rebase_size);
        std::size_t seg = 0;
        std::uint64_t off = 0;
        while (!s.done()) {
            const std::uint8_t b = s.byte();
            const std::uint8_t op = b & 0xF0, imm = b & 0x0F;
            if (op == 0x00) break;
            switch (op) {
            case 0x10: break;
            case 0x20: seg = imm; off = s.uleb(); break;
            case 0x30: off += s.uleb(); break;
            case 0x40: off += imm * ptr; break;
            case 0x50: for (int k = 0; k < imm; ++k) { add_slide(slot(seg, off)); off += ptr; } break;
            case 0x60: for (std::uint64_t k = 0, n = s.uleb(); k < n; ++k) { add_slide(slot(seg, off)); off += ptr; } break;
            case 0x70: add_slide(slot(seg, off)); off += s.uleb() + ptr; break;
            case 0x80: {
                const std::uint64_t n = s.uleb(), skip = s.uleb();
                for (std::uint64_t k = 0; k < n; ++k) { add_slide(slot(seg, off)); off += skip + ptr; }
                break;
            }
            default: fail(path, "unknown rebase opcode");
            }
        }
    }

    // Side block: the zero block standing in for the empty method cache, then class records.
    std::uint64_t classlist_addr = 0, classlist_size = 0;
    for (const auto& sect : sections)
        if (sect.sectname == "__objc_classlist" && classlist_addr == 0) {
            classlist_addr = sect.addr;
            classlist_size = sect.size;
        }
    const std::uint64_t record = m64 ? 16 : 12;
    // The legacy runtime's method-list arrays: at most two lists and an end mark per class, plus
    // one list per category attached, for each class and metaclass.
    std::uint64_t legacy_defs = 0;
    for (const auto& sect : sections)
        if (sect.segname == "__OBJC" && (sect.sectname == "__class" || sect.sectname == "__category")) legacy_defs += sect.size;
    const std::size_t side_size = static_cast<std::size_t>(
        (64 + (classlist_size / ptr) * 2 * record + legacy_defs * 2 + page - 1) & ~(page - 1));
    void* side = map_region(side_size, 0, !m64);
    if (side == MAP_FAILED) {
        munmap(base, vm_size);
        fail(path, "no memory");
    }
    image->side_ = side;
    image->side_size_ = side_size;
    const auto empty_cache = reinterpret_cast<std::uint64_t>(side);

    try {
        // Binds (normal, weak and lazy streams share the opcodes).
        for (auto [off32, size32] : {std::pair{bind_off, bind_size}, std::pair{weak_off, weak_size},
                                     std::pair{lazy_off, lazy_size}}) {
            OpcodeStream s = opcodes(off32, size32);
            std::size_t seg = 0;
            std::uint64_t off = 0;
            std::string symbol;
            std::int64_t addend = 0;
            auto bind = [&] {
                if (symbol != "__objc_empty_cache") fail(path, "unknown import " + symbol);
                std::uint8_t* p = slot(seg, off);
                const std::uint64_t value = empty_cache + static_cast<std::uint64_t>(addend);
                if (m64) std::memcpy(p, &value, 8);
                else {
                    const auto v32 = static_cast<std::uint32_t>(value);
                    std::memcpy(p, &v32, 4);
                }
            };
            while (!s.done()) {
                const std::uint8_t b = s.byte();
                const std::uint8_t op = b & 0xF0, imm = b & 0x0F;
                switch (op) {
                case 0x00: break;  // ends an entry of the lazy stream; harmless elsewhere
                case 0x10: case 0x30: break;
                case 0x20: s.uleb(); break;
                case 0x40: symbol = s.cstring(); break;
                case 0x50: break;
                case 0x60: addend = s.sleb(); break;
                case 0x70: seg = imm; off = s.uleb(); break;
                case 0x80: off += s.uleb(); break;
                case 0x90: bind(); off += ptr; break;
                case 0xA0: bind(); off += s.uleb() + ptr; break;
                case 0xB0: bind(); off += imm * ptr + ptr; break;
                case 0xC0: {
                    const std::uint64_t n = s.uleb(), skip = s.uleb();
                    for (std::uint64_t k = 0; k < n; ++k) { bind(); off += skip + ptr; }
                    break;
                }
                default: fail(path, "unknown bind opcode");
                }
            }
        }

        // Objective-C classes and their metaclasses get a read-write record marked realized,
        // as the runtime gives them when the image loads.
        std::uint64_t next_record = empty_cache + 64;
        std::set<std::uint64_t> realized;
        auto word = [&](std::uint64_t address) -> std::uint64_t {
            if (address < image->base_ || address - image->base_ > vm_size - ptr) fail(path, "class outside the image");
            std::uint64_t v = 0;
            std::memcpy(&v, reinterpret_cast<const void*>(address), ptr);
            return v;
        };
        auto class_name = [&](std::uint64_t cls) {
            const std::uint64_t ro = word(cls + 4 * ptr) & ~7ull;
            const std::uint64_t name = word(ro + (m64 ? 24 : 16));
            std::string out;
            for (std::uint64_t a = name; out.size() < 256; ++a) {
                const auto c = static_cast<char>(word(a) & 0xff);
                if (!c) break;
                out.push_back(c);
            }
            return out;
        };
        auto realize = [&](std::uint64_t cls, bool meta) {
            if (!realized.insert(cls).second) return;
            const std::uint64_t ro = word(cls + 4 * ptr);
            std::uint8_t* rw = reinterpret_cast<std::uint8_t*>(next_record);
            const std::uint32_t flags = rw_realized;
            const std::uint32_t version = meta ? 7 : 0;
            std::memcpy(rw, &flags, 4);
            std::memcpy(rw + 4, &version, 4);
            std::memcpy(rw + 8, &ro, ptr);
            std::memcpy(reinterpret_cast<void*>(cls + 4 * ptr), &next_record, ptr);
            next_record += record;
        };
        for (std::uint64_t k = 0; k + ptr <= classlist_size; k += ptr) {
            const std::uint64_t cls = word(classlist_addr + slide + k);
            const std::string name = class_name(cls);
            if (std::find(options.unrealized_classes.begin(), options.unrealized_classes.end(), name) !=
                options.unrealized_classes.end())
                continue;
            const std::uint64_t meta = word(cls);
            realize(cls, false);
            realize(meta, true);
        }
        if (!m64) attach_legacy_categories(image->base_, vm_size, sections, slide, next_record, path);
    } catch (...) {
        munmap(side, side_size);
        munmap(base, vm_size);
        image->base_ = 0;
        image->side_ = nullptr;
        throw;
    }

    for (const auto& s : segments) {
        if (s.vmsize == 0) continue;
        int prot = 0;
        if (s.initprot & 1) prot |= PROT_READ;
        if (s.initprot & 2) prot |= PROT_WRITE;
        if ((s.initprot & 4) && runnable) prot |= PROT_EXEC;
        const std::uint64_t start = (s.vmaddr + slide) & ~(page - 1);
        const std::uint64_t end = (s.vmaddr + slide + s.vmsize + page - 1) & ~(page - 1);
        mprotect(reinterpret_cast<void*>(start), end - start, prot);
    }

    // Defined symbols, for tests and callers that need an entry point.
    const std::uint64_t entry = m64 ? 16 : 12;
    if (symoff <= bytes.size() && (bytes.size() - symoff) / entry >= nsyms && stroff <= bytes.size() &&
        bytes.size() - stroff >= strsize) {
        for (std::uint32_t k = 0; k < nsyms; ++k) {
            const std::uint64_t e = symoff + k * entry;
            const auto strx = file.at<std::uint32_t>(e);
            const auto type = file.at<std::uint8_t>(e + 4);
            const std::uint64_t value = m64 ? file.at<std::uint64_t>(e + 8) : file.at<std::uint32_t>(e + 8);
            if ((type & 0xEE) != 0x0E || strx >= strsize) continue;
            const char* s = reinterpret_cast<const char*>(bytes.data() + stroff + strx);
            image->symbols_.emplace_back(std::string(s, strnlen(s, strsize - strx)), value);
        }
    }

    loader_add_macho_image(image->header(), path, image->slide_, vm_size - (image->text_vmaddr_ - lo));
    image->registered_ = true;
    return image;
}

std::uintptr_t LoadedMachOImage::symbol(const std::string& name) const {
    for (const auto& [n, value] : symbols_)
        if (n == name) return static_cast<std::uintptr_t>(value + static_cast<std::uint64_t>(slide_));
    return 0;
}

LoadedMachOImage::~LoadedMachOImage() {
    if (registered_) loader_remove_macho_image(header());
    if (side_) munmap(side_, side_size_);
    if (base_) munmap(reinterpret_cast<void*>(base_), vm_size_);
}

}  // namespace platform::darwin
