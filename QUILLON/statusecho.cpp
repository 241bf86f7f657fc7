#include "QUILLON/statusecho.h"

#include <unistd.h>

#include <cerrno>

#include "COMMON/BM_OS/bmclock.h"

namespace {
void AppendUnit(std::string& out, uint32_t unit) {
    if (unit < 0x20 || unit == 0x7F) {
        out.push_back('?');
    } else if (unit <= 0xFF) {
        out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
        // Surrogate halves are written one by one; a status line is for reading, not parsing.
        out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
        out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
}
}  // namespace

std::string StatusEchoText(const BmString& line) {
    std::string out;
    int32_t count = line.Length();
    const void* buffer = line.Buffer();
    if (count <= 0 || buffer == nullptr) {
        return out;
    }
    const bool wide = line.Form() == Wide;
    auto unitAt = [&](int32_t i) -> uint32_t {
        return wide ? static_cast<const char16_t*>(buffer)[i]
                    : static_cast<unsigned char>(static_cast<const char*>(buffer)[i]);
    };
    if (unitAt(count - 1) == '\n') {
        --count;
    }
    out.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        AppendUnit(out, unitAt(i));
    }
    return out;
}

void RepeatCollapser::Line(const std::string& text, uint32_t now) {
    if (haveLast_ && text == last_) {
        if (repeats_++ == 0) {
            heldSince_ = now;
        }
        Tick(now);
        return;
    }
    WriteCount();
    writer_(text);
    last_ = text;
    haveLast_ = true;
}

void RepeatCollapser::Tick(uint32_t now) {
    if (repeats_ > 0 && now - heldSince_ >= kSummaryMs) {
        WriteCount();
    }
}

void RepeatCollapser::WriteCount() {
    if (repeats_ == 0) {
        return;
    }
    writer_(last_ + " (repeated " + std::to_string(repeats_) + (repeats_ == 1 ? " time)" : " times)"));
    repeats_ = 0;
}

namespace {
void WriteStderrLine(const std::string& line) {
    std::string text = line;
    text.push_back('\n');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;  // a closed stderr must not disturb the launcher
        }
        done += static_cast<size_t>(n);
    }
}

RepeatCollapser& StderrEcho() {
    static RepeatCollapser echo(WriteStderrLine);
    return echo;
}
}  // namespace

void EchoStatusLine(const BmString& line) {
    StderrEcho().Line(StatusEchoText(line), GetTickCount());
}

void TickStatusEcho() {
    StderrEcho().Tick(GetTickCount());
}
