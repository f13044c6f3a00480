#pragma once
// The console of command-line mode: the usage text, and the terminal control sequences
// every console line of the program is written with where they mean something: on a
// terminal. A pipe or a file gets the plain text.
#include <string>
#include <string_view>
#include <vector>

namespace gw {

namespace TerminalSequence {
inline constexpr std::string_view reset = "\x1b[;m";
inline constexpr std::string_view red = "\x1b[0;31m";
inline constexpr std::string_view yellow = "\x1b[0;33m";
inline constexpr std::string_view green = "\x1b[0;32m";
inline constexpr std::string_view cursorUp = "\x1b[1A";
inline constexpr std::string_view clearLine = "\x1b[K";
}  // namespace TerminalSequence

enum class ConsoleStream { out, err };

class ConsoleIO {
public:
    // Whether the stream is a terminal: only there do progress lines rewrite each other.
    static bool isTerminal(ConsoleStream stream);
    // Whether colour sequences go to the stream: only to a terminal, and never while the
    // environment has a non-empty NO_COLOR.
    static bool isColoured(ConsoleStream stream);
    // `sequence` where the stream takes colours; nothing elsewhere.
    static std::string_view colour(ConsoleStream stream, std::string_view sequence);

    // The usage text on standard output. `arguments` are the process arguments; the
    // first one, the program path as invoked, names the program in the synopsis.
    void printUsage(const std::vector<std::string>& arguments) const;

    // One line on standard output (a line feed is appended).
    static void printLine(std::string_view text);
    // The text as it is on standard error; no line feed is added.
    static void writeError(std::string_view text);
};

}  // namespace gw
