# Every third-party library comes from a Debian package (see scripts/install-deps).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark QUIET)
find_package(fmt REQUIRED)
find_package(nlohmann_json REQUIRED)
find_package(ZLIB REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(CURL REQUIRED)
find_package(SQLite3 REQUIRED)
# Desktop UI: only platform/appkit/qt, app/ui and their tests link it.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(CAIRO REQUIRED IMPORTED_TARGET cairo cairo-pdf cairo-png)
pkg_check_modules(RSVG REQUIRED IMPORTED_TARGET librsvg-2.0)
pkg_check_modules(POPPLER REQUIRED IMPORTED_TARGET poppler-glib)
pkg_check_modules(GDKPIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
pkg_check_modules(PIXMAN REQUIRED IMPORTED_TARGET pixman-1)
pkg_check_modules(DEFLATE REQUIRED IMPORTED_TARGET libdeflate)
pkg_check_modules(PROTOBUFC REQUIRED IMPORTED_TARGET libprotobuf-c)
# Desktop services on the session bus (file-manager reveal).
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)

# WebP pictures are decoded through gdk-pixbuf's loader module (Debian webp-pixbuf-loader),
# found at run time, not linked.
find_file(GW_WEBP_PIXBUF_LOADER libpixbufloader-webp.so
          PATHS /usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders /usr/lib/aarch64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders
          NO_DEFAULT_PATH)
if(NOT GW_WEBP_PIXBUF_LOADER)
  message(WARNING "webp-pixbuf-loader is not installed: WebP pictures will not load (run scripts/install-deps)")
endif()

# Mach-O test fixtures are built at build time with clang and ld64.lld from lld-16; llvm-14's
# listings are their test oracles (scripts/install-deps installs all three).
find_program(GW_CLANG clang)
find_program(GW_LD64_LLD ld64.lld-16)
find_program(GW_LLVM_NM llvm-nm-14)
find_program(GW_LLVM_OBJDUMP llvm-objdump-14)
find_program(GW_LLVM_READELF llvm-readelf-14)
