#ifndef TOOLS_COMMON_OUTPUTFILE_H
#define TOOLS_COMMON_OUTPUTFILE_H

#include <string>

// The file a program writes as its result, replacing whatever was at the
// path only once the new content is complete.
//
// A path that is absent or holds a regular file the program may write (or
// a link to one) is written through a temporary file in the same directory,
// which commit renames over the file; a failed write removes the temporary
// file and leaves the path exactly as it was. Anything else at the path (a
// device such as /dev/null or /dev/full, a pipe, a directory, a file the
// program may not write) is written in place: it is not the program's to
// replace, and it is never removed.
class OutputFile {
public:
    explicit OutputFile(const std::string& target);
    // Removes the temporary file unless it was committed.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Where the content is to be written.
    const std::string& path() const { return path_; }
    // After a complete write: puts the content in place at the target and
    // returns 1, or returns 0 with the target as it was.
    int commit();

private:
    void discard();

    std::string destination_;
    std::string path_;
    bool temporary_ = false;
    bool finished_ = false;
};

#endif
