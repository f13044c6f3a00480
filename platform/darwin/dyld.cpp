#include "platform/darwin/dyld.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <elf.h>
#include <link.h>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace platform::darwin {
namespace {

struct Image {
    const void* header;
    std::shared_ptr<const std::string> name;  // shared, so the text stays put while the list grows
    std::intptr_t slide;
    std::uintptr_t start;  // lowest mapped address
    std::uintptr_t end;    // one past the highest
    bool macho;
};

struct Registry {
    std::recursive_mutex mutex;  // callbacks may call back into the registry
    std::vector<Image> images;   // insertion order
    std::vector<ImageCallback> add_callbacks, remove_callbacks;
    unsigned long long adds = ~0ull, subs = ~0ull;
};

Registry& registry() {
    static Registry* r = new Registry;  // lives through exit handlers
    return *r;
}

std::string main_program_path() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

struct Scan {
    std::vector<Image> found;
    unsigned long long adds = 0, subs = 0;
};

int collect(dl_phdr_info* info, std::size_t size, void* data) {
    auto* scan = static_cast<Scan*>(data);
    if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
        scan->adds = info->dlpi_adds;
        scan->subs = info->dlpi_subs;
    }
    std::uintptr_t start = UINTPTR_MAX, end = 0;
    const void* header = nullptr;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        const std::uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        if (!header && ph.p_offset == 0) header = reinterpret_cast<const void*>(lo);
        start = std::min(start, lo);
        end = std::max<std::uintptr_t>(end, lo + ph.p_memsz);
    }
    if (!header) return 0;
    std::string name = info->dlpi_name ? info->dlpi_name : "";
    if (scan->found.empty() && name.empty()) name = main_program_path();  // the first entry is the program
    else if (name.empty()) name = "linux-vdso.so.1";
    scan->found.push_back({header, std::make_shared<const std::string>(std::move(name)),
                           static_cast<std::intptr_t>(info->dlpi_addr), start, end, false});
    return 0;
}

// Brings the ELF entries up to date; returns the images that came and went (callbacks are
// made by the caller, under the lock, in this order: removals, then additions).
void rescan_locked(Registry& r, std::vector<Image>& added, std::vector<Image>& removed) {
    Scan probe;
    dl_iterate_phdr(collect, &probe);
    if (probe.adds == r.adds && probe.subs == r.subs) return;
    r.adds = probe.adds;
    r.subs = probe.subs;
    std::vector<Image> kept;
    for (const auto& image : r.images) {
        const bool still = image.macho || std::any_of(probe.found.begin(), probe.found.end(), [&](const Image& f) {
                               return f.header == image.header && *f.name == *image.name;
                           });
        if (still) kept.push_back(image);
        else removed.push_back(image);
    }
    for (const auto& f : probe.found) {
        const bool known = std::any_of(kept.begin(), kept.end(), [&](const Image& k) {
            return !k.macho && k.header == f.header && *k.name == *f.name;
        });
        if (!known) {
            kept.push_back(f);
            added.push_back(f);
        }
    }
    r.images = std::move(kept);
}

void notify(Registry& r, const std::vector<Image>& added, const std::vector<Image>& removed) {
    for (const auto& image : removed)
        for (auto cb : r.remove_callbacks) cb(image.header, image.slide);
    for (const auto& image : added)
        for (auto cb : r.add_callbacks) cb(image.header, image.slide);
}

void refresh(Registry& r) {
    std::vector<Image> added, removed;
    rescan_locked(r, added, removed);
    notify(r, added, removed);
}

}  // namespace

void loader_rescan() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    refresh(r);
}

void loader_register_add_image(ImageCallback callback) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    refresh(r);
    r.add_callbacks.push_back(callback);
    const auto snapshot = r.images;
    for (const auto& image : snapshot) callback(image.header, image.slide);
}

void loader_register_remove_image(ImageCallback callback) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.remove_callbacks.push_back(callback);
}

void loader_unregister_all_for_tests() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.add_callbacks.clear();
    r.remove_callbacks.clear();
}

std::uint32_t loader_image_count() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    refresh(r);
    return static_cast<std::uint32_t>(r.images.size());
}

const void* loader_image_header(std::uint32_t index) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return index < r.images.size() ? r.images[index].header : nullptr;
}

const char* loader_image_name(std::uint32_t index) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return index < r.images.size() ? r.images[index].name->c_str() : nullptr;
}

std::intptr_t loader_image_slide(std::uint32_t index) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return index < r.images.size() ? r.images[index].slide : 0;
}

bool loader_image_containing_address(const void* address, ImageAtAddress* out) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    refresh(r);
    const auto a = reinterpret_cast<std::uintptr_t>(address);
    for (const auto& image : r.images) {
        if (a >= image.start && a < image.end) {
            if (out) *out = {image.header, *image.name, image.slide};
            return true;
        }
    }
    return false;
}

const std::uint8_t* loader_section_data(const void* header, const char* segname, const char* sectname,
                                        std::uint64_t* size) {
    // The fixture loader has validated the load commands of every image it registered.
    auto& r = registry();
    {
        std::lock_guard lock(r.mutex);
        const bool listed = std::any_of(r.images.begin(), r.images.end(),
                                        [&](const Image& i) { return i.macho && i.header == header; });
        if (!listed) return nullptr;
    }
    const auto* base = static_cast<const std::uint8_t*>(header);
    std::uint32_t magic, ncmds;
    std::memcpy(&magic, base, 4);
    std::memcpy(&ncmds, base + 16, 4);
    const bool m64 = magic == 0xFEEDFACF;
    std::intptr_t slide = 0;
    const std::uint8_t* cmd = base + (m64 ? 32 : 28);
    bool have_slide = false;
    for (int pass = 0; pass < 2; ++pass) {
        const std::uint8_t* c = cmd;
        for (std::uint32_t i = 0; i < ncmds; ++i) {
            std::uint32_t type, cmdsize;
            std::memcpy(&type, c, 4);
            std::memcpy(&cmdsize, c + 4, 4);
            if (type == (m64 ? 0x19u : 0x1u)) {
                const char* seg = reinterpret_cast<const char*>(c + 8);
                std::uint64_t vmaddr = 0;
                std::uint32_t nsects = 0;
                if (m64) std::memcpy(&vmaddr, c + 24, 8);
                else {
                    std::uint32_t v;
                    std::memcpy(&v, c + 24, 4);
                    vmaddr = v;
                }
                std::memcpy(&nsects, c + (m64 ? 64 : 48), 4);
                if (pass == 0 && std::strncmp(seg, "__TEXT", 16) == 0) {
                    slide = reinterpret_cast<std::intptr_t>(header) - static_cast<std::intptr_t>(vmaddr);
                    have_slide = true;
                }
                if (pass == 1 && std::strncmp(seg, segname, 16) == 0) {
                    const std::uint8_t* s = c + (m64 ? 72 : 56);
                    for (std::uint32_t k = 0; k < nsects; ++k, s += (m64 ? 80 : 68)) {
                        if (std::strncmp(reinterpret_cast<const char*>(s), sectname, 16) != 0) continue;
                        std::uint64_t addr = 0, sz = 0;
                        if (m64) {
                            std::memcpy(&addr, s + 32, 8);
                            std::memcpy(&sz, s + 40, 8);
                        } else {
                            std::uint32_t a32, s32;
                            std::memcpy(&a32, s + 32, 4);
                            std::memcpy(&s32, s + 36, 4);
                            addr = a32;
                            sz = s32;
                        }
                        if (size) *size = sz;
                        return reinterpret_cast<const std::uint8_t*>(static_cast<std::intptr_t>(addr) + slide);
                    }
                }
            }
            c += cmdsize;
        }
        if (!have_slide) return nullptr;
    }
    return nullptr;
}

void loader_add_macho_image(const void* header, const std::string& path, std::intptr_t slide, std::uint64_t vm_size) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    refresh(r);
    const auto start = reinterpret_cast<std::uintptr_t>(header);
    Image image{header, std::make_shared<const std::string>(path), slide, start, start + vm_size, true};
    r.images.push_back(image);
    notify(r, {image}, {});
}

void loader_remove_macho_image(const void* header) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    const auto it = std::find_if(r.images.begin(), r.images.end(),
                                 [&](const Image& i) { return i.macho && i.header == header; });
    if (it == r.images.end()) return;
    const Image image = *it;
    r.images.erase(it);
    notify(r, {}, {image});
}

}  // namespace platform::darwin
