#pragma once
// The system calls a drawing's process may make once it has its limits and before it
// opens its document: what poppler, librsvg, cairo, fontconfig and glib call to draw, and
// nothing else (drawing_filter.cpp lists them). A library a document takes over can then
// reach nothing but what the drawing was handed: no other process (its helper and the
// program among them), no file to write, no socket, no program to run, no limit to lift.
#include <sys/types.h>

namespace platform::graphics::render {

// Filters the calls of the calling process `self` (and the threads it makes) from now on,
// with no privileges to gain; false, errno set, where the kernel would not take it.
bool confineDrawing(pid_t self);

}  // namespace platform::graphics::render
