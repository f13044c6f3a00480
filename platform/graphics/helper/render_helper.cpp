// glyphwright-render: draws the pages of PDF documents, or SVG documents, for the program
// that started it, so that no document can take the program's memory or time with it.
// It is started once a run for each kind of document and loads its libraries then; each
// drawing is done by a process forked for it alone, which sets its hard limits on memory,
// processor time and time in all before it opens the document, and ends with it
// (render_protocol.hpp). Whatever poppler, librsvg or cairo print goes to the drawing's
// standard error, which the program reads and keeps out of its own output.
#include <cairo-pdf.h>
#include <cairo.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
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
#include <vector>

#include "platform/graphics/helper/drawing_filter.hpp"
#include "platform/graphics/render_protocol.hpp"
#include "platform/graphics/vector_libraries.hpp"

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
// A page the drawing's process shares with the helper, which reads it however the
// process ended: a library that finds an allocation (render::kAllocationRefused) or a
// thread (render::kThreadRefused) refused may crash in ways no handler sees (the stack it
// would run on cannot grow either).
volatile int32_t* gRefusedMark = nullptr;

void noteRefusal() {
    gAllocationFailed = 1;
    if (gRefusedMark != nullptr) *gRefusedMark = *gRefusedMark | render::kAllocationRefused;
}

void* noted(void* block, size_t size) {
    if (block == nullptr && size != 0) noteRefusal();
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

// Whether the helper draws SVG documents (else PDF pages).
bool gSvg = false;

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

// A drawing's process: its socket, the document's bytes and the memory file it draws into.
int gDrawingFd = -1;
int gDocumentFd = -1;

void sendReply(const render::Reply& reply) {
    while (::send(gDrawingFd, &reply, sizeof reply, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
}

render::Reply replyOf(render::Status status, std::string_view text) {
    render::Reply reply;
    reply.status = status;
    const size_t length = std::min(text.size(), sizeof reply.text - 1);
    std::memcpy(reply.text, text.data(), length);
    return reply;
}

// The address-space limit of the request under way.
volatile uint64_t gSpaceLimit = render::kAddressSpaceBytes;

// Whether the address space is all but used up, short of `margin` bytes: a stack that
// cannot grow past the limit ends the helper with SIGSEGV, no allocation having been
// refused. Only calls a signal handler may make.
bool addressSpaceExhausted(uint64_t margin = uint64_t{4} << 20) {
    const int fd = ::open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[64] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    uint64_t pages = 0;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) pages = pages * 10 + uint64_t(text[i] - '0');
    // A stack grows a few pages at a time; what is left below the limit is less.
    return pages > 0 && pages * uint64_t(::sysconf(_SC_PAGESIZE)) + margin >= gSpaceLimit;
}

}  // namespace

// A thread a library could not start: for want of address space (its stack), the memory
// limit's doing; else, under a limit of processes (the user's, which counts threads), that
// limit's, however the drawing then ended (glib gives up at once), never the page's.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) {
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto create = reinterpret_cast<Create>(::dlsym(RTLD_NEXT, "pthread_create"));
    if (create == nullptr) return EAGAIN;
    const int error = create(thread, attributes, start, argument);
    if (error == EAGAIN) {
        size_t stack = size_t{8} << 20;
        if (attributes != nullptr) ::pthread_attr_getstacksize(attributes, &stack);
        if (addressSpaceExhausted(uint64_t(stack) + (uint64_t{4} << 20))) {
            noteRefusal();
        } else if (gRefusedMark != nullptr) {
            *gRefusedMark = *gRefusedMark | render::kThreadRefused;
        } else {
            // The helper's own: the program reads it once the helper has ended.
            render::HelperNote note;
            note.threadError = error;
            ::send(render::kSocketFd, &note, sizeof note, MSG_NOSIGNAL | MSG_DONTWAIT);
        }
    }
    return error;
}

namespace {

// A crash after an allocation was refused, or with the address space used up, is the
// memory limit's doing: say so, as the page's answer, and end. (It runs on a stack of
// its own: the one that could not grow has no room for it.)
void onFatalSignal(int signal) {
    if (!gAllocationFailed && (signal == SIGSEGV || signal == SIGBUS) && addressSpaceExhausted()) noteRefusal();
    if (gAllocationFailed) {
        render::Reply reply;
        reply.status = render::Status::memoryLimit;
        static const char kText[] = "an allocation was refused at the address-space limit";
        std::memcpy(reply.text, kText, sizeof kText);
        ::send(gDrawingFd, &reply, sizeof reply, MSG_NOSIGNAL);
        _exit(int(render::Status::memoryLimit));
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// The hard address-space limit of every drawing.
uint64_t gLargestLimit = render::kAddressSpaceBytes;

// What holds for the helper and every drawing's process: no process may have more address
// space than the largest limit, none leaves a core, and a crash after an allocation was
// refused is told as the memory limit.
void limitSelf() {
    const rlimit space{gLargestLimit, gLargestLimit};
    gSpaceLimit = gLargestLimit;
    ::setrlimit(RLIMIT_AS, &space);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    // A PDF output is the largest file a drawing writes.
    const rlimit files{render::kAddressSpaceBytes, render::kAddressSpaceBytes};
    ::setrlimit(RLIMIT_FSIZE, &files);
    ::signal(SIGXFSZ, SIG_IGN);
    static char alternateStack[64 << 10];
    const stack_t stack{alternateStack, 0, sizeof alternateStack};
    ::sigaltstack(&stack, nullptr);
    struct sigaction action{};
    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP}) ::sigaction(signal, &action, nullptr);
}

// A drawing's own limits, set in its process before it opens the document, hard, so that
// nothing in it can raise them: the address space the program sized for it and its
// processor time (the kernel kills it there; the helper tells that from its processor
// time). A fresh process has used no processor time yet, so the limit is the drawing's
// alone. Its time in all the helper counts (render::Headway): the kernel's alarm would
// count the time it waited for a processor, which is the machine's. Then its calls are
// filtered (drawing_filter.hpp). False, with the reason, where that cannot be had.
bool limitDrawing(const render::Request& request, std::string* why) {
    const rlim_t bytes = request.addressSpace == 0 ? gLargestLimit : std::min<rlim_t>(request.addressSpace, gLargestLimit);
    const rlimit space{bytes, bytes};
    ::setrlimit(RLIMIT_AS, &space);
    gSpaceLimit = bytes;
    const auto seconds = rlim_t(std::clamp(request.cpuSeconds, 1, render::kCpuSeconds));
    const rlimit cpu{seconds, seconds};
    ::setrlimit(RLIMIT_CPU, &cpu);
    if (!render::confineDrawing(::getpid())) {
        *why = std::string("the renderer cannot keep a drawing from starting processes here: ") + std::strerror(errno);
        return false;
    }
    return true;
}

double processorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The processor time the process `pid` (one of the helper's, ended or not, not yet
// reaped) has used as its processor time limit counts it: by the scheduler's ticks, which
// under a busy machine can say more than the time it ran as its usage reports it.
double processorTimeOf(pid_t pid) {
    // A process's clock of its user and system time ("prof"), as the kernel numbers them.
    const clockid_t clock = clockid_t((~unsigned(pid)) << 3);
    timespec used{};
    if (::clock_gettime(clock, &used) != 0) return 0;
    return double(used.tv_sec) + double(used.tv_nsec) / 1e9;
}

// The document's bytes, mapped once; empty with the reason when they cannot be.
std::string_view mappedDocument(std::string* why) {
    static std::string_view mapped;
    if (!mapped.empty()) return mapped;
    struct stat info{};
    if (::fstat(gDocumentFd, &info) != 0 || info.st_size <= 0) {
        *why = "the document's bytes are missing";
        return {};
    }
    void* bytes = ::mmap(nullptr, size_t(info.st_size), PROT_READ, MAP_PRIVATE, gDocumentFd, 0);
    if (bytes == MAP_FAILED) {
        *why = std::string("cannot map the document: ") + std::strerror(errno);
        return {};
    }
    mapped = std::string_view(static_cast<const char*>(bytes), size_t(info.st_size));
    return mapped;
}

// What a drawing left behind: the first error of its context or surface, and what the
// library said when it could not draw.
struct Drawn {
    cairo_status_t status = CAIRO_STATUS_SUCCESS;
    std::string failure;
};

// The library's message, or `otherwise` without one; the error is freed.
std::string messageOf(GError* error, const char* otherwise) {
    std::string text = error != nullptr ? error->message : otherwise;
    if (error != nullptr) g_error_free(error);
    return text;
}

// A document the helper draws: a PDF's pages through poppler, or an SVG document (one
// page) through librsvg.
class Document {
public:
    virtual ~Document() = default;
    // Opens the document from its mapped bytes, once.
    bool open(std::string* why) {
        if (opened_) return true;
        const std::string_view mapped = mappedDocument(why);
        opened_ = !mapped.empty() && load(mapped, why);
        return opened_;
    }
    virtual int pages() const = 0;
    // Answers an open request for page `index`; false when the library cannot give the
    // page (a damaged document may count a page it then has not).
    virtual bool describe(int index, render::Reply& reply) const = 0;
    // Draws page `index` into `cr`, whose matrix and clip are the request's; what the
    // library said when it gave up, if it did.
    virtual std::string draw(int index, cairo_t* cr, const render::Request& request) const = 0;
    // What the drawings are called in reasons ("the PDF page").
    virtual const char* what() const = 0;
    // What the library reported while the request ran, which makes a drawing incomplete.
    virtual std::string report() const { return {}; }

private:
    virtual bool load(std::string_view bytes, std::string* why) = 0;
    bool opened_ = false;
};

class PdfSource : public Document {
public:
    int pages() const override { return poppler_->documentGetNPages(document_); }

    bool describe(int index, render::Reply& reply) const override {
        PopplerPage* page = poppler_->documentGetPage(document_, index);
        if (page == nullptr) return false;
        PopplerRectangle box{};
        poppler_->pageGetCropBox(page, &box);
        g_object_unref(page);
        reply.crop[0] = std::min(box.x1, box.x2);
        reply.crop[1] = std::min(box.y1, box.y2);
        reply.crop[2] = std::fabs(box.x2 - box.x1);
        reply.crop[3] = std::fabs(box.y2 - box.y1);
        return true;
    }

    std::string draw(int index, cairo_t* cr, const render::Request&) const override {
        PopplerPage* page = poppler_->documentGetPage(document_, index);
        if (page == nullptr) return "poppler could not read the PDF page";
        // The printing path draws strokes at their true width: the display path widens
        // any line thinner than a device pixel to a whole pixel.
        poppler_->pageRenderForPrinting(page, cr);
        g_object_unref(page);
        return {};
    }

    const char* what() const override { return render::drawingName(render::Kind::pdf); }

    std::string report() const override {
        return gReport.empty() ? std::string() : "poppler could not draw the PDF page: " + gReport;
    }

private:
    bool load(std::string_view mapped, std::string* why) override {
        std::string missing;
        poppler_ = platform::graphics::detail::popplerFunctions(&missing);
        if (poppler_ == nullptr) {
            *why = "PDF documents cannot be read here: " + missing;
            return false;
        }
        GBytes* bytes = g_bytes_new_static(mapped.data(), mapped.size());
        GError* error = nullptr;
        document_ = poppler_->documentNewFromBytes(bytes, nullptr, &error);
        g_bytes_unref(bytes);
        if (document_ == nullptr) {
            *why = "cannot open PDF document: " + messageOf(error, "unknown error");
            return false;
        }
        return true;
    }

    const platform::graphics::detail::PopplerFunctions* poppler_ = nullptr;
    PopplerDocument* document_ = nullptr;
};

class SvgSource : public Document {
public:
    int pages() const override { return 1; }

    bool describe(int, render::Reply& reply) const override {
        double width = 0, height = 0;
        if (rsvg_->handleGetIntrinsicSizeInPixels(handle_, &width, &height) && std::isfinite(width) &&
            std::isfinite(height) && width > 0 && height > 0) {
            reply.crop[2] = width;
            reply.crop[3] = height;
        }
        gboolean hasWidth = FALSE, hasHeight = FALSE, hasViewBox = FALSE;
        RsvgLength lengthW{}, lengthH{};
        RsvgRectangle box{};
        rsvg_->handleGetIntrinsicDimensions(handle_, &hasWidth, &lengthW, &hasHeight, &lengthH, &hasViewBox, &box);
        if (hasViewBox && std::isfinite(box.width) && std::isfinite(box.height) && box.width > 0 && box.height > 0) {
            reply.viewBox[0] = box.x;
            reply.viewBox[1] = box.y;
            reply.viewBox[2] = box.width;
            reply.viewBox[3] = box.height;
        }
        return true;
    }

    std::string draw(int, cairo_t* cr, const render::Request& request) const override {
        const RsvgRectangle viewport{0, 0, request.viewportWidth, request.viewportHeight};
        GError* error = nullptr;
        const bool drawn = rsvg_->handleRenderDocument(handle_, cr, &viewport, &error);
        std::string failure = messageOf(error, "the renderer gave up");
        return drawn ? std::string() : "librsvg could not draw the SVG document: " + failure;
    }

    const char* what() const override { return render::drawingName(render::Kind::svg); }

private:
    bool load(std::string_view mapped, std::string* why) override {
        std::string missing;
        rsvg_ = platform::graphics::detail::rsvgFunctions(&missing);
        if (rsvg_ == nullptr) {
            *why = "SVG documents cannot be read here: " + missing;
            return false;
        }
        GInputStream* stream = g_memory_input_stream_new_from_data(mapped.data(), gssize(mapped.size()), nullptr);
        GError* error = nullptr;
        // No base file: relative and file references cannot be resolved, so a document
        // cannot make the helper read other files.
        handle_ = rsvg_->handleNewFromStreamSync(stream, nullptr, RSVG_HANDLE_FLAGS_NONE, nullptr, &error);
        g_object_unref(stream);
        if (handle_ == nullptr) {
            *why = "not an SVG document: " + messageOf(error, "unknown error");
            return false;
        }
        // At 72 dots per inch a CSS pixel is one point and physical units keep their
        // true size on a PDF page.
        rsvg_->handleSetDpi(handle_, 72.0);
        return true;
    }

    const platform::graphics::detail::RsvgFunctions* rsvg_ = nullptr;
    RsvgHandle* handle_ = nullptr;
};

void prepare(cairo_t* cr, const render::Request& request) {
    if (request.clipCount > 0) {
        for (int i = 0; i < std::min(request.clipCount, render::kMaxClipRects); ++i) {
            cairo_rectangle(cr, request.clip[i][0], request.clip[i][1], request.clip[i][2], request.clip[i][3]);
        }
        cairo_clip(cr);
    }
    cairo_new_path(cr);
    for (int i = 0; i < std::min(request.clipPathCount, render::kMaxClipPathElements); ++i) {
        const render::PathElement& e = request.clipPath[i];
        switch (e.type) {
            case render::PathElement::move: cairo_move_to(cr, e.points[0], e.points[1]); break;
            case render::PathElement::line: cairo_line_to(cr, e.points[0], e.points[1]); break;
            case render::PathElement::curve:
                cairo_curve_to(cr, e.points[0], e.points[1], e.points[2], e.points[3], e.points[4], e.points[5]);
                break;
            case render::PathElement::close: cairo_close_path(cr); break;
            default:
                cairo_set_fill_rule(cr, e.type == render::PathElement::clipEvenOdd ? CAIRO_FILL_RULE_EVEN_ODD
                                                                                   : CAIRO_FILL_RULE_WINDING);
                cairo_clip(cr);
                break;
        }
    }
    cairo_new_path(cr);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
    cairo_matrix_t m;
    cairo_matrix_init(&m, request.matrix[0], request.matrix[1], request.matrix[2], request.matrix[3],
                      request.matrix[4], request.matrix[5]);
    cairo_set_matrix(cr, &m);
}

// After a drawing: what went wrong, or ok.
render::Reply outcome(const Document& document, const Drawn& drawn) {
    if (gAllocationFailed) return replyOf(render::Status::memoryLimit, "an allocation was refused at the address-space limit");
    if (drawn.status != CAIRO_STATUS_SUCCESS) {
        return replyOf(render::Status::incomplete, std::string("cairo could not draw ") + document.what() + ": " +
                                                       cairo_status_to_string(drawn.status));
    }
    if (!drawn.failure.empty()) return replyOf(render::Status::incomplete, drawn.failure);
    if (const std::string report = document.report(); !report.empty()) {
        return replyOf(render::Status::incomplete, report);
    }
    return render::Reply{};
}

// Draws the page onto `surface` and finishes it (its pixels or its PDF written whole),
// taking it over; the first error of the drawing or of the surface.
Drawn renderOnto(cairo_surface_t* surface, const Document& document, int index, const render::Request& request) {
    cairo_t* cr = cairo_create(surface);
    prepare(cr, request);
    Drawn drawn;
    drawn.failure = document.draw(index, cr, request);
    drawn.status = cairo_status(cr);
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    if (drawn.status == CAIRO_STATUS_SUCCESS) drawn.status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    return drawn;
}

render::Reply drawPixels(const Document& document, int index, const render::Request& request, int fd) {
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
    const Drawn drawn =
        renderOnto(cairo_image_surface_create_for_data(static_cast<unsigned char*>(pixels), CAIRO_FORMAT_ARGB32,
                                                       request.width, request.height, int(stride)),
                   document, index, request);
    ::munmap(pixels, length);
    return outcome(document, drawn);
}

// The PDF as cairo writes it, a few bytes at a time, gathered into writes of a size worth
// a system call.
struct FileOut {
    int fd;
    uint64_t written = 0;
    bool failed = false;
    size_t held = 0;
    unsigned char buffer[64 << 10];

    bool flush() {
        const unsigned char* data = buffer;
        while (held > 0 && !failed) {
            const ssize_t n = ::write(fd, data, held);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed = true;
            } else {
                data += n;
                held -= size_t(n);
                written += uint64_t(n);
            }
        }
        held = 0;
        return !failed;
    }
};

cairo_status_t writeOut(void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<FileOut*>(closure);
    while (length > 0) {
        if (out->held == sizeof out->buffer && !out->flush()) return CAIRO_STATUS_WRITE_ERROR;
        const size_t n = std::min(size_t(length), sizeof out->buffer - out->held);
        std::memcpy(out->buffer + out->held, data, n);
        out->held += n;
        data += n;
        length -= unsigned(n);
    }
    return CAIRO_STATUS_SUCCESS;
}

render::Reply drawPdf(const Document& document, int index, const render::Request& request, int fd) {
    if (fd < 0 || !(request.pageWidth > 0) || !(request.pageHeight > 0)) {
        return replyOf(render::Status::badRequest, "no PDF page to draw into");
    }
    FileOut out{fd};
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(writeOut, &out, request.pageWidth, request.pageHeight);
    // Without the time it was written, the same page gives the same bytes on every run.
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATE_DATE, "");
    render::Reply reply = outcome(document, renderOnto(surface, document, index, request));
    if (reply.status == render::Status::ok && !out.flush()) {
        reply = replyOf(render::Status::incomplete, "the PDF could not be written");
    }
    reply.bytes = out.written;
    return reply;
}

// The descriptors a drawing's process is handed, in the order of render::SpawnFd after
// the status socket (which the helper keeps): its answer's socket, the document, its
// standard error and the memory file it draws into (or -1).
enum DrawingFd { kAnswer = 0, kDocument = 1, kPrinted = 2, kOutput = 3, kDrawingFds = 4 };

// A drawing's process: its limits set, the document opened and the one request
// answered; it never returns. `refused` is the page it shares with the helper.
[[noreturn]] void drawOne(const render::Spawn& spawn, const int (&fds)[kDrawingFds], volatile int32_t* refused) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGCHLD, SIG_DFL);
    gRefusedMark = refused;
    ::dup2(fds[kPrinted], STDERR_FILENO);
    ::close(fds[kPrinted]);
    gDrawingFd = fds[kAnswer];
    gDocumentFd = fds[kDocument];
    std::string unconfined;
    const bool confined = limitDrawing(spawn.request, &unconfined);
    const render::Request& request = spawn.request;
    const int fd = fds[kOutput];
    PdfSource pdf;
    SvgSource drawing;
    Document& document = gSvg ? static_cast<Document&>(drawing) : pdf;
    gReport.clear();
    std::string why;
    render::Reply reply;
    // A page it cannot have, named as users count pages (from 1).
    const auto noPage = [&] {
        reply = replyOf(render::Status::cannotOpen, "cannot open page " + std::to_string(int64_t{request.page} + 1));
        reply.pages = document.pages();
    };
    if (!confined) {
        reply = replyOf(render::Status::unconfined, unconfined);
    } else if (!document.open(&why)) {
        reply = replyOf(render::Status::cannotOpen, why);
    } else if (request.page < 0 || request.page >= document.pages()) {
        noPage();
    } else {
        // What the library said while it read the document (a damaged cross-reference
        // table it rebuilt) is not a fault of the drawing.
        gReport.clear();
        switch (request.op) {
            case render::Op::open:
                if (!document.describe(request.page, reply)) noPage();
                break;
            case render::Op::raster: reply = drawPixels(document, request.page, request, fd); break;
            case render::Op::pdf: reply = drawPdf(document, request.page, request, fd); break;
            default: reply = replyOf(render::Status::badRequest, "unknown request"); break;
        }
        reply.pages = document.pages();
    }
    reply.cpuSeconds = processorSeconds();
    sendReply(reply);
    // Past a refused allocation nothing of the libraries' state is to be trusted, and
    // their exit handlers are the helper's, not the drawing's.
    _exit(reply.status == render::Status::memoryLimit ? int(render::Status::memoryLimit) : 0);
}

// The entries of a folder of /proc (the process's threads, its descriptors) now; -1 when
// it cannot be read. Read with getdents64 into a buffer of its own: it allocates nothing.
int entriesIn(const char* folder) {
    int count = 0;
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    char buffer[4096];
    for (long n; (n = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0;) {
        for (long at = 0; at < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            if (entry->d_name[0] != '.') ++count;
            at += entry->d_reclen;
        }
    }
    ::close(fd);
    return count;
}

int threads() { return entriesIn("/proc/self/task"); }

// Waits for the threads the libraries start while they set up (the fonts' scan among
// them), which end soon after: a process forked beside one could find a lock that thread
// held taken for good. Their time waiting for a processor is not counted, so that a busy
// machine cannot end the wait before they do; one that never ends costs a second.
void awaitLibraryThreads() {
    render::Headway headway(::getpid());
    while (threads() > 1 && headway.taken() < 1.0) {
        ::usleep(1000);
        headway.look();
    }
}

// Draws a small SVG document, which sets up what drawing one takes.
void drawSvg(std::string_view svg, cairo_t* cr) {
    const auto* rsvg = platform::graphics::detail::rsvgFunctions();
    if (rsvg == nullptr) return;
    GInputStream* stream = g_memory_input_stream_new_from_data(svg.data(), gssize(svg.size()), nullptr);
    if (RsvgHandle* handle = rsvg->handleNewFromStreamSync(stream, nullptr, RSVG_HANDLE_FLAGS_NONE, nullptr, nullptr)) {
        const RsvgRectangle viewport{0, 0, 8, 8};
        rsvg->handleRenderDocument(handle, cr, &viewport, nullptr);
        g_object_unref(handle);
    }
    g_object_unref(stream);
}

// Whether the fonts' configuration and caches are loaded, so that the drawings forked
// from now on find them. Reading them takes a PDF helper's or a text-laying SVG
// drawing's process some ten milliseconds; an SVG helper reads them only once a
// document that lays out text is drawn, so that documents without text never wait
// for it.
bool gFontsReady = false;

// Sets the fonts up before the first drawing that lays out text.
void setUpFonts() {
    static const char kText[] =
        "<svg xmlns='http://www.w3.org/2000/svg' width='8' height='8'><text x='1' y='7' font-size='6'>a</text></svg>";
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8);
    cairo_t* cr = cairo_create(surface);
    drawSvg(kText, cr);
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    gReport.clear();
    awaitLibraryThreads();
    gFontsReady = true;
}

cairo_status_t writeNowhere(void*, const unsigned char*, unsigned int) { return CAIRO_STATUS_SUCCESS; }

// Loads what every drawing uses before any drawing asks for it, so that each drawing's
// process starts with it: the libraries' own set-up and their functions bound, by a small
// document of the kind drawn (shapes, a gradient, a stroke; a PDF page with text, which
// sets the fonts up too) drawn into pixels and into a PDF page, as drawings are. Nothing
// here may leave a thread running: the helper forks.
void warmUp() {
    static const char kSvg[] =
        "<svg xmlns='http://www.w3.org/2000/svg' width='8' height='8' viewBox='0 0 24 24'><defs>"
        "<linearGradient id='g' x2='0' y2='1'><stop offset='0' stop-color='#123'/><stop offset='1' "
        "stop-color='#fff'/></linearGradient></defs><rect x='2' y='2' width='20' height='20' rx='4' fill='url(#g)'/>"
        "<path d='M7 12 L11 16 L17 8' fill='none' stroke='#fff' stroke-width='2' stroke-linecap='round'/>"
        "<circle cx='6' cy='6' r='2' fill='#fff' opacity='0.5'/></svg>";
    static const char kPdf[] =
        "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
        "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
        "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 8 8]/Contents 4 0 R"
        "/Resources<</Font<</F 5 0 R>>>>>>endobj\n"
        "4 0 obj<</Length 40>>stream\n0 0 4 4 re f BT /F 6 Tf 1 1 Td (a) Tj ET\nendstream endobj\n"
        "5 0 obj<</Type/Font/Subtype/Type1/BaseFont/Helvetica>>endobj\n"
        "trailer<</Root 1 0 R>>\n%%EOF\n";
    const auto* poppler = gSvg ? nullptr : platform::graphics::detail::popplerFunctions();
    GBytes* bytes = poppler != nullptr ? g_bytes_new_static(kPdf, sizeof kPdf - 1) : nullptr;
    PopplerDocument* document = poppler != nullptr ? poppler->documentNewFromBytes(bytes, nullptr, nullptr) : nullptr;
    PopplerPage* page = document != nullptr ? poppler->documentGetPage(document, 0) : nullptr;
    for (cairo_surface_t* surface : {cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 8, 8),
                                     cairo_pdf_surface_create_for_stream(writeNowhere, nullptr, 8, 8)}) {
        cairo_t* cr = cairo_create(surface);
        if (gSvg) drawSvg(kSvg, cr);
        else if (page != nullptr) poppler->pageRenderForPrinting(page, cr);
        cairo_destroy(cr);
        cairo_surface_finish(surface);
        cairo_surface_destroy(surface);
    }
    if (page != nullptr) g_object_unref(page);
    if (document != nullptr) g_object_unref(document);
    if (bytes != nullptr) g_bytes_unref(bytes);
    gFontsReady = !gSvg;
    gReport.clear();
    awaitLibraryThreads();
}

// A drawing's process while it runs, as the helper keeps it.
struct Drawing {
    pid_t pid = -1;
    int process = -1;                    // its pidfd: readable once it has ended
    int socket = -1;                     // the helper's end of the drawing's status socket
    volatile int32_t* refused = nullptr;  // the page it shares
    render::Headway headway;             // how it has got on so far
    double limit = 0;                    // the time in all it may go without progress, in seconds
    double processorLimit = 0;           // its processor time limit, in seconds
    double look = 0;                     // when its time in all is looked at next
    double told = 0;                     // when the program was last told it runs
    bool killed = false, pastWallClock = false;
    bool mayHaveEnded = false;  // its pidfd said so at the last turn (or it has none)
};

double now() { return render::monotonicSeconds(); }

void tell(int socket, const render::Ended& ended) {
    while (::send(socket, &ended, sizeof ended, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno == EINTR) {
    }
}

// Tells the program the drawing still runs, unless it has yet to read the last such word: a
// program that reads nothing for a while (stopped, or busy) finds one word, not a queue of
// them that would leave no room for how the drawing ended.
void tellRunning(int socket, pid_t drawing) {
    int unread = 0;
    if (::ioctl(socket, SIOCOUTQ, &unread) != 0 || unread > 0) return;
    render::Progress progress;
    progress.drawing = drawing;
    while (::send(socket, &progress, sizeof progress, MSG_NOSIGNAL | MSG_DONTWAIT) < 0 && errno == EINTR) {
    }
}

// One Spawn record and its descriptors from `from`: the program's (render::kSpawnFds of
// them), or the helper handing a drawing to a process it forked ahead (kDrawingFds); false
// once the sender has gone. A record that is not whole, or lacks the descriptors it needs,
// comes with none.
template <int count>
bool receive(int from, render::Spawn& spawn, int (&fds)[count]) {
    bool lost = false;
    const ssize_t n = render::receiveRecord(from, &spawn, sizeof spawn, fds, count, 0, &lost);
    if (n == 0 || (n < 0 && errno != EAGAIN)) return false;
    // Descriptors the system could not hand over for want of room: the program is told why
    // on the drawing's status socket, should that have come, rather than seeing the helper
    // go quiet.
    if (count == render::kSpawnFds && lost && fds[render::kStatusFd] >= 0) {
        render::Ended ended;
        ended.forkError = EMFILE;
        tell(fds[render::kStatusFd], ended);
    }
    const int needed = spawn.hasOutput ? count : count - 1;
    if (n != ssize_t(sizeof spawn) || lost || std::count_if(fds, fds + count, [](int fd) { return fd >= 0; }) < needed) {
        for (int& fd : fds) {
            if (fd >= 0) ::close(fd);
            fd = -1;
        }
    }
    return true;
}

// A process forked ahead, waiting for a drawing: forking it takes the helper a
// millisecond or two, which a drawing then need not wait for.
struct Spare {
    pid_t pid = -1;
    int socket = -1;   // the helper's end of the socket it waits on
    int process = -1;  // its pidfd
    volatile int32_t* refused = nullptr;
};

// What the helper holds for one of its processes (a spare or a drawing's) that has ended
// or was never handed anything; -1 and null for what it holds no more.
void release(int socket, int process, volatile int32_t* refused) {
    if (socket >= 0) ::close(socket);
    if (process >= 0) ::close(process);
    if (refused != nullptr) ::munmap(const_cast<int32_t*>(refused), sizeof(int32_t));
}

void release(const Spare& spare) { release(spare.socket, spare.process, spare.refused); }

// Ends the processes forked ahead.
void retire(std::vector<Spare>& spares) {
    for (const auto& spare : spares) ::kill(spare.pid, SIGKILL);
    for (const auto& spare : spares) {
        ::waitpid(spare.pid, nullptr, 0);
        release(spare);
    }
    spares.clear();
}

// The helper's own descriptors, and the pages it shares with its other processes, which
// no drawing's process keeps.
struct HelperHeld {
    std::vector<int> descriptors{render::kSocketFd};
    std::vector<volatile int32_t*> pages;
};

HelperHeld helperHeld(const std::vector<Drawing>& drawings, const std::vector<Spare>& spares) {
    HelperHeld own;
    for (const auto& drawing : drawings) {
        own.descriptors.insert(own.descriptors.end(), {drawing.socket, drawing.process});
        own.pages.push_back(drawing.refused);
    }
    for (const auto& spare : spares) {
        own.descriptors.insert(own.descriptors.end(), {spare.socket, spare.process});
        own.pages.push_back(spare.refused);
    }
    return own;
}

// Forks a process that waits for a drawing; false when none could be forked. `held`: what
// the helper holds for a drawing it is handing over now, which is not the process's either.
bool forkSpare(std::vector<Spare>& spares, const std::vector<Drawing>& drawings,
               const int (&held)[render::kSpawnFds] = {-1, -1, -1, -1, -1}) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
    void* page = ::mmap(nullptr, sizeof(int32_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    Spare spare;
    spare.refused = page == MAP_FAILED ? nullptr : static_cast<volatile int32_t*>(page);
    HelperHeld own = helperHeld(drawings, spares);
    for (const int fd : held) {
        if (fd >= 0) own.descriptors.push_back(fd);
    }
    const pid_t helper = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // It ends with the helper, whatever it runs later: its filter keeps it from
        // undoing that. (A helper that ended before it was asked is not waited for.)
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != helper) _exit(0);
        // The helper's socket to the program, its drawings' status sockets and pidfds are
        // not this one's: held here, the drawing could speak for the helper, and they
        // would stay open should the helper end. Nor are the pages the others mark.
        ::close(pair[0]);
        for (const int fd : own.descriptors) ::close(fd);
        for (volatile int32_t* page : own.pages) {
            if (page != nullptr) ::munmap(const_cast<int32_t*>(page), sizeof(int32_t));
        }
        render::Spawn spawn;
        int fds[kDrawingFds];
        // Its helper gone, or the record unusable, it has nothing to draw.
        if (!receive(pair[1], spawn, fds) || fds[kAnswer] < 0) _exit(0);
        ::close(pair[1]);
        drawOne(spawn, fds, spare.refused);
    }
    ::close(pair[1]);
    if (pid < 0) {
        release(pair[0], -1, spare.refused);
        return false;
    }
    spare.pid = pid;
    spare.socket = pair[0];
    spare.process = int(::syscall(SYS_pidfd_open, pid, 0));
    spares.push_back(spare);
    return true;
}

// Tells the program which process draws, with a pidfd of it when there is one.
void tellStarted(int socket, pid_t drawing, int process) {
    render::Started started;
    started.drawing = drawing;
    render::sendRecord(socket, &started, sizeof started, &process, process >= 0 ? 1 : 0);
}

// Hands the drawing to a process forked ahead (forked now when there is none), all of
// it but its status socket, which the helper keeps to say which process draws, that it
// runs and how it ended.
void start(const render::Spawn& spawn, int (&fds)[render::kSpawnFds], std::vector<Drawing>& drawings,
           std::vector<Spare>& spares) {
    auto fail = [&](int error) {
        render::Ended ended;
        ended.forkError = error;
        tell(fds[render::kStatusFd], ended);
        for (const int fd : fds) {
            if (fd >= 0) ::close(fd);
        }
    };
    if (spawn.laysOutText != 0 && !gFontsReady) {
        setUpFonts();
        // Those forked before have no fonts: each of their drawings would set them up again.
        retire(spares);
    }
    if (spares.empty() && !forkSpare(spares, drawings, fds)) return fail(errno != 0 ? errno : EAGAIN);
    Spare spare = spares.back();
    spares.pop_back();
    const int* drawingFds = fds + render::kAnswerFd;
    const bool handed =
        render::sendRecord(spare.socket, &spawn, sizeof spawn, drawingFds, spawn.hasOutput ? kDrawingFds : kDrawingFds - 1) == 0;
    ::close(spare.socket);
    if (!handed) {
        ::kill(spare.pid, SIGKILL);
        ::waitpid(spare.pid, nullptr, 0);
        release(-1, spare.process, spare.refused);
        return fail(EPIPE);
    }
    for (int i = render::kAnswerFd; i < render::kSpawnFds; ++i) {
        if (fds[i] >= 0) ::close(fds[i]);
    }
    Drawing drawing;
    drawing.pid = spare.pid;
    drawing.process = spare.process;
    drawing.refused = spare.refused;
    drawing.socket = fds[render::kStatusFd];
    tellStarted(drawing.socket, drawing.pid, drawing.process);
    // (Tests of the processor-time limit give more time in all than users get, so that a
    // loaded machine cannot end the drawing at the other limit first.)
    drawing.limit = std::clamp(spawn.wallSeconds, 1, 60 * render::kWallSeconds);
    drawing.processorLimit = std::clamp(spawn.request.cpuSeconds, 1, render::kCpuSeconds);
    drawing.headway = render::Headway(drawing.pid, now());
    drawing.look = drawing.told = now();
    drawings.push_back(drawing);
}

// How many processes are kept forked ahead while the program draws: as many as it draws
// at once. Once it has asked for nothing for kIdleSeconds (it writes what was drawn, or is
// done) they are ended, so that they end out of its way rather than while it waits for
// the helper as it exits.
// Under a limit of processes (the user's, which the program's threads and the drawings'
// count against too) they would take the places the drawings need: one for each 64
// processes the limit allows, none under 64.
size_t sparesKept() {
    cpu_set_t set;
    CPU_ZERO(&set);
    const int processors = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    const size_t atOnce = size_t(render::drawingsAtOnce(processors));
    rlimit processes{};
    if (::getrlimit(RLIMIT_NPROC, &processes) != 0 || processes.rlim_cur == RLIM_INFINITY) return atOnce;
    return std::min<size_t>(atOnce, size_t(processes.rlim_cur / 64));
}
constexpr double kIdleSeconds = 0.015;

// How often a drawing's time in all is looked at: how its process got on is read then,
// from a few files of /proc.
constexpr double kLookSeconds = 0.25;

// Whether a process may be forked ahead and leave room for what a drawing asked next
// brings: the four descriptors of its request, and a few a library may open meanwhile.
// Under a low limit of open files, processes forked ahead would otherwise take the room
// the requests need, and a request whose descriptors cannot be received is lost.
bool roomForSpare() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return true;
    // Far above all the helper ever holds (two for each process it keeps, of at most a
    // processor's worth each of drawings and spares), nothing needs counting: the count
    // reads a folder, at every turn of a helper whose turns are on every drawing's way.
    constexpr rlim_t kPlenty = 1024;
    if (files.rlim_cur >= kPlenty) return true;
    // Counted while its own folder is open: one more than the helper holds.
    const int open = entriesIn("/proc/self/fd");
    if (open < 0) return false;
    // A spare holds two: its socket and its pidfd.
    constexpr rlim_t kSpare = 2, kRequest = 4, kLibraries = 4;
    return rlim_t(open) + kSpare + kRequest + kLibraries <= files.rlim_cur;
}

// Serves the program until it closes the helper's socket, then ends with every drawing.
// Each drawing's end is seen on its pidfd (and every drawing that ended is reaped at each
// turn, should one have none). While nothing is asked, processes are forked ahead.
int serve() {
    std::vector<Drawing> drawings;
    std::vector<Spare> spares;
    std::vector<pollfd> watched;
    const size_t kept = sparesKept();
    double lastAsked = now();
    while (true) {
        const bool busy = !drawings.empty() || now() - lastAsked < kIdleSeconds;
        if (!busy) retire(spares);
        watched.assign({{render::kSocketFd, POLLIN, 0}});
        double soonest = -1;
        for (const auto& drawing : drawings) {
            // The program shutting down its end asks for the drawing to end.
            watched.push_back({drawing.socket, short(drawing.killed ? 0 : POLLIN | POLLRDHUP), 0});
            watched.push_back({drawing.process, POLLIN, 0});
            if (drawing.process < 0) soonest = soonest < 0 ? now() + 0.05 : std::min(soonest, now() + 0.05);
            if (!drawing.killed && (soonest < 0 || drawing.look < soonest)) soonest = drawing.look;
        }
        // Woken to end them once the program has been idle long enough.
        if (drawings.empty() && !spares.empty() && (soonest < 0 || lastAsked + kIdleSeconds < soonest)) {
            soonest = lastAsked + kIdleSeconds;
        }
        // Forked ahead only while the program asks for nothing: it never waits for them.
        const bool forkAhead = busy && spares.size() < kept && roomForSpare();
        const int wait = forkAhead ? 0
                         : soonest < 0                 ? -1
                                                       : int(std::clamp((soonest - now()) * 1000, 0.0, 60000.0)) + 1;
        const int ready = ::poll(watched.data(), nfds_t(watched.size()), wait);
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0 && forkAhead && !forkSpare(spares, drawings)) {
            // Out of processes for now: try again later, not in a loop.
            ::poll(nullptr, 0, 50);
        }
        const double at = now();
        for (size_t i = 0; i < drawings.size(); ++i) {
            Drawing& drawing = drawings[i];
            // Only those whose pidfd says they ended are asked for their status: asking
            // all of them at every turn cost the helper, whose turns are on every
            // drawing's way, as much as a few drawings.
            drawing.mayHaveEnded =
                drawing.process < 0 || (watched[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
            if (drawing.killed) continue;
            const bool unwanted = (watched[1 + 2 * i].revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) != 0;
            if (!unwanted && at < drawing.look) continue;
            if (!unwanted) drawing.headway.look();
            const double taken = unwanted ? 0 : drawing.headway.stalled();
            if (unwanted || taken >= drawing.limit) {
                drawing.pastWallClock = !unwanted;
                drawing.killed = true;
                ::kill(drawing.pid, SIGKILL);
                continue;
            }
            // Looked at again when it could have reached its limit, or to tell the program.
            drawing.look = at + std::min(kLookSeconds, drawing.limit - taken);
            if (at >= drawing.told + render::kProgressSeconds) {
                tellRunning(drawing.socket, drawing.pid);
                drawing.told = at;
            }
        }
        for (auto it = drawings.begin(); it != drawings.end();) {
            int status = 0;
            // Read before it is reaped, while the kernel still has it.
            const double used = it->mayHaveEnded ? processorTimeOf(it->pid) : 0;
            if (!it->mayHaveEnded || ::waitpid(it->pid, &status, WNOHANG) != it->pid) {
                ++it;
                continue;
            }
            render::Ended record;
            record.waitStatus = status;
            // Killed by no one but the kernel at its hard processor time limit: it used it all.
            record.pastProcessorTime = !it->killed && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL &&
                                       used >= it->processorLimit;
            const int32_t refused = it->refused != nullptr ? *it->refused : 0;
            record.allocationRefused = (refused & render::kAllocationRefused) != 0;
            record.threadRefused = (refused & render::kThreadRefused) != 0;
            record.pastWallClock = it->pastWallClock;
            tell(it->socket, record);
            lastAsked = now();
            release(it->socket, it->process, it->refused);
            it = drawings.erase(it);
        }
        // One forked ahead that ended (killed by the system or a user) is one no more.
        for (auto it = spares.begin(); it != spares.end();) {
            if (::waitpid(it->pid, nullptr, WNOHANG) != it->pid) {
                ++it;
                continue;
            }
            release(*it);
            it = spares.erase(it);
        }
        if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            render::Spawn spawn;
            int fds[render::kSpawnFds];
            if (!receive(render::kSocketFd, spawn, fds)) break;
            lastAsked = now();
            if (fds[render::kStatusFd] >= 0) start(spawn, fds, drawings, spares);
        }
    }
    // Nothing of it outlives the program: its processes are reaped before it ends.
    for (const auto& drawing : drawings) ::kill(drawing.pid, SIGKILL);
    for (const auto& spare : spares) ::kill(spare.pid, SIGKILL);
    for (const auto& drawing : drawings) ::waitpid(drawing.pid, nullptr, 0);
    for (const auto& spare : spares) ::waitpid(spare.pid, nullptr, 0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // Ends with the program that started it, and its drawings with it; a program that
    // ended before that was asked for is not waited for.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 2 || ::getppid() != pid_t(std::atoll(argv[1]))) _exit(int(render::Status::badRequest));
    // No other process of the user (a drawing's, should one get past its filter) may trace
    // it or take its descriptors: its socket to the program above all. Its drawings' processes
    // are so too. (It leaves no core either way.)
    ::prctl(PR_SET_DUMPABLE, 0);
    gSvg = argc > 2 && std::string_view(argv[2]) == render::kindArgument(render::Kind::svg);
    gLargestLimit = render::kAddressSpaceBytes;
    limitSelf();
    // Nothing but its socket is the helper's: descriptors a program may have left open
    // without close-on-exec are closed. (Its drawings may have as many as it may.)
    ::close_range(render::kSocketFd + 1, ~0U, 0);
    if (rlimit files{}; ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    g_log_set_default_handler(onLog, nullptr);
    for (const char* domain : {"Poppler", "GLib", "GLib-GObject", "GLib-GIO", "cairo"}) {
        g_log_set_handler(domain, GLogLevelFlags(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION), onLog,
                          nullptr);
    }
    warmUp();
    _exit(serve());
}
