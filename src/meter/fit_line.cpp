// Shortening the status line for a terminal narrower than it: a line that
// wraps scrolls the terminal by a line every period.
#include <algorithm>
#include <cstring>

#include "meter/meter.hpp"

namespace {

constexpr int kTabColumns = 8;
// A bar narrower than this tells too little; the held peaks give way first.
constexpr int kNarrowestBar = 8;
// Every line this program fits is far shorter.
constexpr int kFitBytes = 256;

void Append(char* out, int* len, const char* text, int bytes)
{
    bytes = std::min(bytes, kFitBytes - *len);
    std::memcpy(out + *len, text, static_cast<size_t>(bytes));
    *len += bytes;
}

void AppendRepeated(char* out, int* len, char c, int count)
{
    count = std::min(count, kFitBytes - *len);
    if (count > 0) {
        std::memset(out + *len, c, static_cast<size_t>(count));
        *len += count;
    }
}

} // namespace

int TerminalColumns(const char* text, int bytes)
{
    int column = 0, widest = 0;
    for (int i = 0; i < bytes; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\r')
            column = 0;
        else if (c == '\t')
            column = (column / kTabColumns + 1) * kTabColumns;
        else if (c >= 0x20 && c != 0x7f)
            ++column; // the status line is ASCII: a byte is a column
        widest = std::max(widest, column);
    }
    return widest;
}

int FitStatusLine(char* line, int bytes, int capacity, int columns)
{
    if (columns <= 0 || TerminalColumns(line, bytes) <= columns)
        return bytes;
    char out[kFitBytes];
    int len = 0;
    const char* open = static_cast<const char*>(std::memchr(line, '[', static_cast<size_t>(bytes)));
    const char* close = open == nullptr ? nullptr
                                        : static_cast<const char*>(std::memchr(
                                              open, ']', static_cast<size_t>(line + bytes - open)));
    if (close != nullptr) {
        const int head = static_cast<int>(open + 1 - line);
        const int head_columns = TerminalColumns(line, head);
        const int bar = static_cast<int>(close - open - 1);
        const int lit = static_cast<int>(std::count(open + 1, close, '|'));
        // The blanks at the end only erase a longer line; the padding below
        // does that. The rest of the tail holds no tab.
        int tail = static_cast<int>(line + bytes - close);
        while (tail > 1 && close[tail - 1] == ' ')
            --tail;
        int room = std::min(bar, columns - head_columns - TerminalColumns(close, tail));
        if (room < kNarrowestBar) {
            tail = 1; // "]" alone: the held peaks go
            room = std::min(bar, columns - head_columns - tail);
        }
        if (room >= kNarrowestBar && bar > 0) {
            // As in the full bar, any lit fraction lights a column.
            const int shown = (lit * room + bar - 1) / bar;
            Append(out, &len, line, head);
            AppendRepeated(out, &len, '|', shown);
            AppendRepeated(out, &len, ' ', room - shown);
            Append(out, &len, close, tail);
        }
    }
    if (len == 0) {
        // The remaining time alone, as much of it as fits.
        const char* tab =
            static_cast<const char*>(std::memchr(line, '\t', static_cast<size_t>(bytes)));
        int end = tab == nullptr ? bytes : static_cast<int>(tab - line);
        while (end > 0 && TerminalColumns(line, end) > columns)
            --end;
        Append(out, &len, line, end);
    }
    // Every shortened line is as wide as the terminal, so nothing of the
    // line before it stays visible.
    AppendRepeated(out, &len, ' ', columns - TerminalColumns(out, len));
    len = std::min(len, capacity);
    std::memcpy(line, out, static_cast<size_t>(len));
    return len;
}
