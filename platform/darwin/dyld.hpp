#pragma once
// Stands in for the dynamic loader's image registry (add/remove-image callbacks, image count,
// header, name and slide, section data, address-to-image). It lists the ELF objects of the
// process from dl_iterate_phdr (the main program named by /proc/self/exe, the vDSO included)
// and the Mach-O images mapped by the fixture loader. Consumers tell the kinds apart by the
// header's magic. ELF changes (dlopen/dlclose) are found by a re-scan whenever
// dl_iterate_phdr's add/remove counters have moved: on each call here and on request.
#include <cstdint>
#include <string>

namespace platform::darwin {

// Called with the image's header address and slide, as dyld's callbacks are.
using ImageCallback = void (*)(const void* header, std::intptr_t slide);

// Registering calls back at once for every image already loaded.
void loader_register_add_image(ImageCallback callback);
void loader_register_remove_image(ImageCallback callback);
// Test support: forgets registered callbacks (a process can't unregister from dyld either).
void loader_unregister_all_for_tests();

std::uint32_t loader_image_count();
const void* loader_image_header(std::uint32_t index);
// Stable until the image is removed.
const char* loader_image_name(std::uint32_t index);
std::intptr_t loader_image_slide(std::uint32_t index);

// getsectdatafromheader_64 for the Mach-O images: the section's address (slid) and size.
const std::uint8_t* loader_section_data(const void* header, const char* segname, const char* sectname,
                                        std::uint64_t* size);

struct ImageAtAddress {
    const void* header = nullptr;
    std::string name;
    std::intptr_t slide = 0;
};
bool loader_image_containing_address(const void* address, ImageAtAddress* out);

// Finds ELF objects opened or closed since the last look; calls the callbacks for them.
void loader_rescan();

// For the Mach-O fixture loader.
void loader_add_macho_image(const void* header, const std::string& path, std::intptr_t slide,
                            std::uint64_t vm_size);
void loader_remove_macho_image(const void* header);

}  // namespace platform::darwin
