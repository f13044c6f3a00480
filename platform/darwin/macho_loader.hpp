#pragma once
// Maps Mach-O dylibs (the test fixtures) into this process the way the dynamic loader would:
// segments at a slide, classic rebase and bind opcodes applied, Objective-C classes realized,
// and the image registered with the loader stand-in (add-image callbacks fire). x86_64 images
// can run here (same calling convention); arm64 and arm64_32 images are mapped for reading.
// Only the import of the empty method cache is bound (to a zero block); any other import and
// any initializer are refused.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform::darwin {

struct MachOLoadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct MachOLoadOptions {
    bool want_executable = false;               // refuse images this host cannot run
    std::uint64_t slide_seed = 0;               // 0: the kernel's choice; else a seeded random address
    std::vector<std::string> unrealized_classes;  // class names left as the linker wrote them
};

class LoadedMachOImage {
public:
    ~LoadedMachOImage();  // unregisters (remove-image callbacks fire) and unmaps
    LoadedMachOImage(const LoadedMachOImage&) = delete;
    LoadedMachOImage& operator=(const LoadedMachOImage&) = delete;

    const void* header() const { return reinterpret_cast<const void*>(base_ + text_vmaddr_ - min_vmaddr_); }
    std::uintptr_t base() const { return base_; }       // lowest mapped address
    std::uint64_t vm_size() const { return vm_size_; }
    std::intptr_t slide() const { return slide_; }
    std::uint32_t cpu_type() const { return cpu_type_; }
    bool executable() const { return executable_; }
    const std::string& path() const { return path_; }
    // Slid address of a defined symbol (with its leading underscore), or 0.
    std::uintptr_t symbol(const std::string& name) const;

private:
    friend std::unique_ptr<LoadedMachOImage> load_macho_image(const std::string&, const MachOLoadOptions&);
    LoadedMachOImage() = default;
    std::string path_;
    std::uintptr_t base_ = 0;
    std::uint64_t vm_size_ = 0;
    std::uint64_t min_vmaddr_ = 0;
    std::uint64_t text_vmaddr_ = 0;
    std::intptr_t slide_ = 0;
    std::uint32_t cpu_type_ = 0;
    bool executable_ = false;
    bool registered_ = false;
    void* side_ = nullptr;  // zero block and class read-write records
    std::size_t side_size_ = 0;
    std::vector<std::pair<std::string, std::uint64_t>> symbols_;  // link-time values
};

std::unique_ptr<LoadedMachOImage> load_macho_image(const std::string& path, const MachOLoadOptions& options = {});

inline constexpr std::uint32_t cpu_type_x86_64 = 0x01000007;
inline constexpr std::uint32_t cpu_type_arm64 = 0x0100000C;
inline constexpr std::uint32_t cpu_type_arm64_32 = 0x0200000C;

}  // namespace platform::darwin
