// What the program shows: the summary and messages on the standard
// streams, the progress line on a terminal, and the clock it is timed by.
// One interface, a POSIX body (console_posix.cpp) and a Windows one
// (console_windows.cpp). Text is UTF-8 throughout, as paths are.
#pragma once

#include <cstddef>
#include <initializer_list>

namespace vexa::cli {

// Elapsed wall time in milliseconds, from any fixed point.
long long now_ms();

// Whether standard error is a terminal a progress line may be drawn on.
bool progress_terminal();

// Draws one progress line, `text` without any line control: the line is
// rewritten from its start and what the last one left is cleared.
void draw_progress_line(const char* text, std::size_t length);

// Clears the progress line, if one stands. Safe from a signal handler.
void erase_progress_line();

enum class Stream { out, err };

// Writes the pieces to the stream in one go, also where it is a console
// that takes wide characters. Returns false when they could not be written.
bool print(Stream stream, std::initializer_list<const char*> pieces);

}  // namespace vexa::cli
