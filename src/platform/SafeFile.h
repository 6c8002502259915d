#pragma once
// Every file the tool writes goes through here. The bytes go to a new temporary file in the
// target's own folder, created exclusively, never through a symbolic link, readable by the
// user alone, and only a complete file is renamed over the target. A name that is itself a
// symbolic link is refused: a link planted in a folder we write to must not redirect our
// bytes (or our truncation) to a file somebody else chose.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

enum class FileMode {
    Private,       // 0600 whatever was there before
    KeepExisting,  // an existing regular file keeps its own permission bits; a new one is 0600
};

// The name that stands for the standard streams, as every command-line tool takes it: an image
// read from "-" is standard input, a file written to "-" is standard output. A file of that
// name is "./-".
inline constexpr const char* kStandardStream = "-";

// A fresh name beside `path` for a file that is written whole and then renamed over it
// ("dir/.name.1a2b3c4d5e6f.tmp"): hidden, in the same folder so that the rename stays on one
// file system, and unlikely to be taken. Each system's side creates it exclusively and tries
// another name when it is.
std::string TemporaryNameBeside(const std::string& path);

// Replaces `path` with `bytes` ("-": writes them to standard output). False with *error
// ("<path>: <reason>") when nothing was replaced; a file that was there is then unchanged.
bool WriteFileSafely(const std::string& path, std::string_view bytes, std::string* error,
                     FileMode mode = FileMode::Private);

// Whether `path` can take a file from WriteFileSafely or CreateFileSafely, tried as they would
// (a temporary file made beside it, then removed), so that a command refuses a file it could
// never write before it starts work: false with *error as the write would give it.
bool CheckOutputFile(const std::string& path, std::string* error);

// For a file that is written as it goes (a trace): an empty private file is put in place the
// same way and returned open for writing. The descriptor, or -1 with *error.
int CreateFileSafely(const std::string& path, std::string* error);
// The same, as a stream open for writing; nullptr with *error.
std::FILE* CreateStreamSafely(const std::string& path, std::string* error);

// Reads a small file a person wrote (a password, a list of ports) whole. Only a regular file
// of at most `limit` bytes is read: a FIFO or a device would never end, and /dev/zero would
// fill the memory. False with *error ("<path>: <reason>").
bool ReadSmallFile(const std::string& path, size_t limit, std::string* out, std::string* error);

// A whole file that must be a regular one of at most `limit` bytes (an image), judged on the
// open file, so that what is read is what was judged; a FIFO is opened without waiting for a
// writer. "-" is standard input, read to its end once: every later read of "-" in the process
// gives the same bytes (a download to several boards reads its image once per board).
struct WholeFile {
    enum class Status { Read, CantOpen, NotRegular, TooLarge };
    Status status = Status::CantOpen;
    std::vector<uint8_t> bytes;  // Read: the contents (a file that shrank meanwhile: what is left)
    std::string error;           // CantOpen: "<path>: <reason>"
    const char* kind = "";       // NotRegular: what it is ("a folder", "a FIFO", "a device", ...)
    uint64_t size = 0;           // TooLarge: its size
};
WholeFile ReadWholeFile(const std::string& path, uint64_t limit);
// Standard input as ReadWholeFile("-") gives it; both systems' sides call it.
WholeFile ReadStandardInput(uint64_t limit);
bool WriteStandardOutput(std::string_view bytes, std::string* error);

// A record file that only grows (a production log): opened once, checked to be a regular
// file (new or existing, never a link, a FIFO, a device or a folder), and appended one whole
// record at a time. A record that cannot be written whole is taken back, so the file always
// ends with a whole record.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // False with *error ("<path>: <reason>") when the file cannot serve.
    bool Open(const std::string& path, std::string* error);
    // Writes `record` in one write and puts it on the disk; false with *error (the system's
    // own reason) after cutting the file back to where it ended before.
    bool Append(std::string_view record, std::string* error);

private:
    std::string path_;
    int fd_ = -1;
};

// True when `path` names a symbolic link (dangling or not).
bool IsSymbolicLink(const std::string& path);
// True when anything is at `path`, a dangling link included.
bool PathTaken(const std::string& path);

}  // namespace tessel
