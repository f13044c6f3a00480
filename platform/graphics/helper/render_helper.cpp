// glyphwright-render: draws the pages of one PDF document for the program that started
// it, under hard limits on its memory and processor time, so that no page can take the
// program's memory or time with it. It reads requests from its socket (descriptor 3)
// until the program closes it; the document's bytes are on descriptor 4. Whatever
// poppler or cairo print goes to standard error, which the program reads and keeps out
// of its own output.
#include <cairo-pdf.h>
#include <cairo.h>
#include <poppler.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/graphics/render_protocol.hpp"

namespace render = platform::graphics::render;

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {

// An allocation refused at the address-space limit: poppler and glib give up at once
// (abort), and cairo carries on with an error state; either way the page is past the
// memory limit, not damaged.
volatile sig_atomic_t gAllocationFailed = 0;

void* noted(void* block, size_t size) {
    if (block == nullptr && size != 0) gAllocationFailed = 1;
    return block;
}

}  // namespace

// Every library's allocations pass through these, so a refusal is seen wherever it
// happens.
extern "C" {
void* malloc(size_t size) { return noted(__libc_malloc(size), size); }
void* calloc(size_t count, size_t size) { return noted(__libc_calloc(count, size), count * size); }
void* realloc(void* block, size_t size) { return noted(__libc_realloc(block, size), size); }
void* memalign(size_t alignment, size_t size) { return noted(__libc_memalign(alignment, size), size); }
void* aligned_alloc(size_t alignment, size_t size) { return noted(__libc_memalign(alignment, size), size); }
int posix_memalign(void** out, size_t alignment, size_t size) {
    void* block = noted(__libc_memalign(alignment, size), size);
    if (block == nullptr && size != 0) return ENOMEM;
    *out = block;
    return 0;
}
}

namespace {

// The first thing poppler or glib reported while the current request ran.
std::string gReport;

void onLog(const gchar* domain, GLogLevelFlags, const gchar* message, gpointer) {
    const std::string_view text = message != nullptr ? message : "";
    // Warnings are of things poppler takes in its stride.
    if (text.starts_with("Syntax warning")) return;
    if (gReport.empty()) {
        gReport = std::string(domain != nullptr ? domain : "glib") + ": " +
                  std::string(text.empty() ? "an error without a message" : text);
    }
}

void sendReply(const render::Reply& reply) {
    while (::send(render::kSocketFd, &reply, sizeof reply, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

render::Reply replyOf(render::Status status, std::string_view text) {
    render::Reply reply;
    reply.status = status;
    const size_t length = std::min(text.size(), sizeof reply.text - 1);
    std::memcpy(reply.text, text.data(), length);
    return reply;
}

// A crash after an allocation was refused is the memory limit's doing: say so, as the
// page's answer, and end.
void onFatalSignal(int signal) {
    if (gAllocationFailed) {
        render::Reply reply;
        reply.status = render::Status::memoryLimit;
        static const char kText[] = "an allocation was refused at the address-space limit";
        std::memcpy(reply.text, kText, sizeof kText);
        ::send(render::kSocketFd, &reply, sizeof reply, MSG_NOSIGNAL);
        _exit(int(render::Status::memoryLimit));
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void limitSelf() {
    const rlimit space{render::kAddressSpaceBytes, render::kAddressSpaceBytes};
    ::setrlimit(RLIMIT_AS, &space);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    // A PDF output is the largest file the helper writes.
    const rlimit files{render::kAddressSpaceBytes, render::kAddressSpaceBytes};
    ::setrlimit(RLIMIT_FSIZE, &files);
    ::signal(SIGXFSZ, SIG_IGN);
    for (const int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP}) ::signal(signal, onFatalSignal);
}

// The address space this request may use, up to the hard limit set at the start: the
// program sizes it for the drawing, so that helpers drawing at once stay within its
// budget.
void limitAddressSpace(uint64_t bytes) {
    const rlim_t soft = bytes == 0 ? render::kAddressSpaceBytes : std::min<rlim_t>(bytes, render::kAddressSpaceBytes);
    const rlimit space{soft, render::kAddressSpaceBytes};
    ::setrlimit(RLIMIT_AS, &space);
}

// Processor time from now on is limited to one page's worth: past it the kernel ends
// the helper with SIGXCPU, which the program reports as the limit.
void limitProcessorTimeForOnePage(int32_t seconds) {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const double used = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    const rlimit cpu{rlim_t(std::ceil(used)) + rlim_t(std::clamp(seconds, 1, render::kCpuSeconds)), RLIM_INFINITY};
    ::setrlimit(RLIMIT_CPU, &cpu);
}

class Document {
public:
    bool open(std::string* why) {
        if (document_ != nullptr) return true;
        struct stat info{};
        if (::fstat(render::kDocumentFd, &info) != 0 || info.st_size <= 0) {
            *why = "the document's bytes are missing";
            return false;
        }
        void* mapped = ::mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, render::kDocumentFd, 0);
        if (mapped == MAP_FAILED) {
            *why = std::string("cannot map the document: ") + std::strerror(errno);
            return false;
        }
        GBytes* bytes = g_bytes_new_static(mapped, size_t(info.st_size));
        GError* error = nullptr;
        document_ = poppler_document_new_from_bytes(bytes, nullptr, &error);
        g_bytes_unref(bytes);
        if (document_ == nullptr) {
            *why = std::string("cannot open PDF document: ") + (error != nullptr ? error->message : "unknown error");
            if (error != nullptr) g_error_free(error);
            return false;
        }
        return true;
    }

    PopplerPage* page(int index) const {
        if (index < 0 || index >= poppler_document_get_n_pages(document_)) return nullptr;
        return poppler_document_get_page(document_, index);
    }
    int pages() const { return poppler_document_get_n_pages(document_); }

private:
    PopplerDocument* document_ = nullptr;
};

void prepare(cairo_t* cr, const render::Request& request) {
    if (request.clipCount > 0) {
        for (int i = 0; i < std::min(request.clipCount, render::kMaxClipRects); ++i) {
            cairo_rectangle(cr, request.clip[i][0], request.clip[i][1], request.clip[i][2], request.clip[i][3]);
        }
        cairo_clip(cr);
    }
    cairo_matrix_t m;
    cairo_matrix_init(&m, request.matrix[0], request.matrix[1], request.matrix[2], request.matrix[3],
                      request.matrix[4], request.matrix[5]);
    cairo_set_matrix(cr, &m);
}

// After a drawing: what went wrong, or ok.
render::Reply outcome(cairo_status_t status) {
    if (gAllocationFailed) return replyOf(render::Status::memoryLimit, "an allocation was refused at the address-space limit");
    if (status != CAIRO_STATUS_SUCCESS) {
        return replyOf(render::Status::incomplete,
                       std::string("cairo could not draw the PDF page: ") + cairo_status_to_string(status));
    }
    if (!gReport.empty()) return replyOf(render::Status::incomplete, "poppler could not draw the PDF page: " + gReport);
    return render::Reply{};
}

// Draws the page onto `surface` and finishes it (its pixels or its PDF written whole),
// taking it over; the first error of the drawing or of the surface.
cairo_status_t renderOnto(cairo_surface_t* surface, PopplerPage* page, const render::Request& request) {
    cairo_t* cr = cairo_create(surface);
    prepare(cr, request);
    // The printing path draws strokes at their true width: the display path widens any
    // line thinner than a device pixel to a whole pixel.
    poppler_page_render_for_printing(page, cr);
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    return status;
}

render::Reply drawPixels(PopplerPage* page, const render::Request& request, int fd) {
    const size_t stride = size_t(request.width) * 4;
    const size_t length = stride * size_t(request.height);
    struct stat info{};
    if (request.width <= 0 || request.height <= 0 || fd < 0 || ::fstat(fd, &info) != 0 || size_t(info.st_size) < length) {
        return replyOf(render::Status::badRequest, "no pixels to draw into");
    }
    void* pixels = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels == MAP_FAILED) {
        return errno == ENOMEM ? replyOf(render::Status::memoryLimit, "the pixels do not fit the address-space limit")
                               : replyOf(render::Status::badRequest, "cannot map the pixels");
    }
    const cairo_status_t status =
        renderOnto(cairo_image_surface_create_for_data(static_cast<unsigned char*>(pixels), CAIRO_FORMAT_ARGB32,
                                                       request.width, request.height, int(stride)),
                   page, request);
    ::munmap(pixels, length);
    return outcome(status);
}

struct FileOut {
    int fd;
    uint64_t written = 0;
    bool failed = false;
};

cairo_status_t writeOut(void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<FileOut*>(closure);
    while (length > 0) {
        const ssize_t n = ::write(out->fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            out->failed = true;
            return CAIRO_STATUS_WRITE_ERROR;
        }
        data += n;
        length -= unsigned(n);
        out->written += uint64_t(n);
    }
    return CAIRO_STATUS_SUCCESS;
}

render::Reply drawPdf(PopplerPage* page, const render::Request& request, int fd) {
    if (fd < 0 || !(request.pageWidth > 0) || !(request.pageHeight > 0)) {
        return replyOf(render::Status::badRequest, "no PDF page to draw into");
    }
    FileOut out{fd};
    render::Reply reply = outcome(renderOnto(
        cairo_pdf_surface_create_for_stream(writeOut, &out, request.pageWidth, request.pageHeight), page, request));
    if (reply.status == render::Status::ok && out.failed) {
        reply = replyOf(render::Status::incomplete, "the PDF could not be written");
    }
    reply.bytes = out.written;
    return reply;
}

// One request and the memory file that came with it (or -1); false at the end.
bool receive(render::Request& request, int& fd) {
    fd = -1;
    iovec part{&request, sizeof request};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    while ((n = ::recvmsg(render::kSocketFd, &message, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) {
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
    }
    return n == ssize_t(sizeof request);
}

}  // namespace

int main(int argc, char** argv) {
    // Ends with the program that started it, even in the middle of a page; a program that
    // ended before that was asked for is not waited for.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 2 || ::getppid() != pid_t(std::atoll(argv[1]))) _exit(int(render::Status::badRequest));
    limitSelf();
    // Nothing but the socket and the document is the helper's: descriptors a program
    // may have left open without close-on-exec are closed.
    ::close_range(render::kDocumentFd + 1, ~0U, 0);
    g_log_set_default_handler(onLog, nullptr);
    for (const char* domain : {"Poppler", "GLib", "GLib-GObject", "GLib-GIO", "cairo"}) {
        g_log_set_handler(domain, GLogLevelFlags(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION), onLog,
                          nullptr);
    }
    Document document;
    render::Request request;
    int fd = -1;
    while (receive(request, fd)) {
        limitProcessorTimeForOnePage(request.cpuSeconds);
        limitAddressSpace(request.addressSpace);
        gReport.clear();
        std::string why;
        render::Reply reply;
        if (!document.open(&why)) {
            reply = replyOf(render::Status::cannotOpen, why);
        } else if (PopplerPage* page = document.page(request.page); page == nullptr) {
            reply = replyOf(render::Status::cannotOpen, "poppler cannot open page " + std::to_string(request.page + 1));
            reply.pages = document.pages();
        } else {
            switch (request.op) {
                case render::Op::open: {
                    PopplerRectangle box{};
                    poppler_page_get_crop_box(page, &box);
                    reply.crop[0] = std::min(box.x1, box.x2);
                    reply.crop[1] = std::min(box.y1, box.y2);
                    reply.crop[2] = std::fabs(box.x2 - box.x1);
                    reply.crop[3] = std::fabs(box.y2 - box.y1);
                    break;
                }
                case render::Op::raster: reply = drawPixels(page, request, fd); break;
                case render::Op::pdf: reply = drawPdf(page, request, fd); break;
                default: reply = replyOf(render::Status::badRequest, "unknown request"); break;
            }
            reply.pages = document.pages();
            g_object_unref(page);
        }
        if (fd >= 0) ::close(fd);
        sendReply(reply);
        // Past a refused allocation nothing of the libraries' state is to be trusted,
        // their exit handlers included.
        if (reply.status == render::Status::memoryLimit) _exit(int(render::Status::memoryLimit));
    }
    return 0;
}
