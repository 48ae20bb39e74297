#include "Log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace logging {

namespace {

std::atomic<int> currentLevel{static_cast<int>(Level::info)};
std::atomic<int> currentFormat{static_cast<int>(Format::text)};
std::mutex outputGuard;

const char* priorityPrefix(Level level) {
    switch (level) {
        case Level::error:
            return "<3>";
        case Level::warning:
            return "<4>";
        case Level::info:
            return "<6>";
        case Level::debug:
            return "<7>";
    }
    return "<6>";
}

void appendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

void appendJsonField(std::string& out, const std::string& name, const std::string& value, bool number) {
    out += out.size() > 1 ? "," : "";
    appendJsonString(out, name);
    out += ':';
    if (number) {
        out += value;
    } else {
        appendJsonString(out, value);
    }
}

}  // namespace

bool parseLevel(const std::string& text, Level& level) {
    static const Level levels[] = {Level::error, Level::warning, Level::info, Level::debug};
    for (Level candidate : levels) {
        if (text == levelName(candidate)) {
            level = candidate;
            return true;
        }
    }
    return false;
}

const char* levelName(Level level) {
    switch (level) {
        case Level::error:
            return "error";
        case Level::warning:
            return "warning";
        case Level::info:
            return "info";
        case Level::debug:
            return "debug";
    }
    return "info";
}

void setLevel(Level level) { currentLevel = static_cast<int>(level); }
void setFormat(Format format) { currentFormat = static_cast<int>(format); }
bool enabled(Level level) { return static_cast<int>(level) <= currentLevel; }

std::string timeNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    // std::gmtime shares one record between threads: copy it under a lock.
    static std::mutex clockGuard;
    std::tm parts{};
    {
        std::lock_guard<std::mutex> lock(clockGuard);
        parts = *std::gmtime(&seconds);
    }
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(milliseconds));
    return text;
}

std::string formatLine(const Event& event, Format format, bool journal, const std::string& time) {
    if (format == Format::text) {
        if (journal) return priorityPrefix(event.level) + event.message;
        return time + " " + levelName(event.level) + " " + event.message;
    }
    std::string line = "{";
    appendJsonField(line, "time", time, false);
    appendJsonField(line, "level", levelName(event.level), false);
    appendJsonField(line, "event", event.event, false);
    appendJsonField(line, "peer", event.peer, false);
    appendJsonField(line, "calling", event.calling, false);
    appendJsonField(line, "called", event.called, false);
    appendJsonField(line, "message", event.message, false);
    for (const Figure& figure : event.figures) appendJsonField(line, figure.name, figure.value, figure.number);
    return line + "}";
}

void write(const Event& event, bool always) {
    if (!always && !enabled(event.level)) return;
    const char* journalStream = std::getenv("JOURNAL_STREAM");
    const bool journal = journalStream != nullptr && *journalStream != '\0';
    const std::string line =
        formatLine(event, static_cast<Format>(currentFormat.load()), journal, timeNow()) + "\n";
    std::lock_guard<std::mutex> lock(outputGuard);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

void write(Level level, const std::string& event, const std::string& message, bool always) {
    Event line;
    line.level = level;
    line.event = event;
    line.message = message;
    write(line, always);
}

}  // namespace logging
