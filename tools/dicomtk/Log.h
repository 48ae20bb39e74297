#ifndef DICOMTK_LOG_H
#define DICOMTK_LOG_H

#include <string>
#include <utility>
#include <vector>

// The log of dicomtk: lines an operator reads, at four levels. Each line is
// written whole under one lock (serve writes from one thread per
// association), to standard output.
//
// Text lines start with an ISO 8601 UTC time and the level; under systemd
// (JOURNAL_STREAM set), which stamps lines itself, they start with a syslog
// priority prefix instead (<3> error, <4> warning, <6> info, <7> debug).
// JSON lines are one object each with the fields time, level, event, peer,
// calling, called and message, then the event's figures.
namespace logging {

enum class Level { error = 0, warning = 1, info = 2, debug = 3 };
enum class Format { text, json };

// One figure of an event: a name and its value, written as a JSON number
// when number is set, else as a JSON string.
struct Figure {
    std::string name;
    std::string value;
    bool number = true;
};

struct Event {
    Level level = Level::info;
    std::string event;    // a fixed word per kind of line: "association-open", "store-failed", ...
    std::string peer;     // address:port, or ""
    std::string calling;  // AE titles, or ""
    std::string called;
    std::string message;  // the whole sentence of the text line
    std::vector<Figure> figures;

    Event& figure(const std::string& name, long long value) {
        figures.push_back({name, std::to_string(value), true});
        return *this;
    }
    Event& figure(const std::string& name, const std::string& value) {
        figures.push_back({name, value, false});
        return *this;
    }
};

// "error", "warning", "info", "debug" into level: whether it is one.
bool parseLevel(const std::string& text, Level& level);
const char* levelName(Level level);

void setLevel(Level level);
void setFormat(Format format);
// Whether a line of level is written.
bool enabled(Level level);

// Writes the event's line when its level is enabled, or always (a line that
// scripts wait for, such as serve's "listening on port").
void write(const Event& event, bool always = false);
// The same for a line with a message only.
void write(Level level, const std::string& event, const std::string& message, bool always = false);

// The line of an event (without its line feed), for a format, under systemd
// or not, stamped with time (ignored for text under systemd).
std::string formatLine(const Event& event, Format format, bool journal, const std::string& time);
// The time now, e.g. 2026-12-11T14:05:03.123Z.
std::string timeNow();

}  // namespace logging

#endif
