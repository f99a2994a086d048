// The only interface to the operating system. Everything outside platform/ reaches the system
// through these functions; platform/posix and platform/win32 implement them. The shells
// (shell/) sit on top of everything and are the only other code that meets a GUI toolkit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace platform {

#ifdef _WIN32
inline constexpr char pathSeparator = '\\';
// The download server's setup program (a Windows installer) can update this launcher.
inline constexpr bool setupUpdatesLauncher = true;
#else
inline constexpr char pathSeparator = '/';
inline constexpr bool setupUpdatesLauncher = false;
#endif

// The user's documents folder as the system names it, or nothing when it cannot be determined.
std::optional<std::u16string> documentsFolder();

// Conversion between narrow text and UTF-16. Narrow text is the process's code page on Windows
// (UTF-8 through the manifest) and UTF-8 elsewhere, whatever the locale; there, bytes that are
// not UTF-8 cross as U+DC80..U+DCFF and come back unchanged. Both stop at the first NUL; a
// conversion the system refuses gives the empty text.
std::u16string narrowToWide(const char* text);
std::string wideToNarrow(const char16_t* text);

enum class MessageKind { Notice, Error, Question };
enum class MessageAnswer { Ok, Yes, No };

// A modal message box without owner window, callable from any thread (on Linux it is shown on
// the thread that runs GTK's main loop). Without a display the text goes to standard error and
// the answer is that of a dismissed box.
MessageAnswer messageBox(const std::string& text, const std::string& caption, MessageKind kind);

// When set, message boxes are answered by this function instead of the user: the test suites
// use it to take the paths behind a Yes. The launcher itself never sets it.
using MessageBoxAnswerer = MessageAnswer (*)(const std::string& text, const std::string& caption,
                                             MessageKind kind);
inline MessageBoxAnswerer messageBoxAnswerer = nullptr;

// Opens a file or folder with the desktop's handler; failures are silent.
void shellOpen(const std::u16string& target);

// Starts a program with a parameter string in the given working directory without waiting for it;
// failures are silent.
void startProgram(const std::string& file, const std::string& parameters,
                  const std::string& workingDirectory);

// What became of a value meant for the game's registry.
enum class RegistryWrite {
    NoRegistry,  // the program reads no registry here
    Stored,
    NoKey,   // the key does not exist or cannot be opened for writing; nothing was written
    Failed,  // the key is there, but the value was not set
};

// Stores a string value under the given key of the current user's registry, as `program` (a path
// relative to the current folder) sees it when startProgram starts it: the system's registry on
// Windows, the Wine prefix's for a Windows program elsewhere. The key must exist already: it is
// never created. May take seconds the first time a Wine prefix is used.
RegistryWrite writeGameRegistryValue(const std::string& program, const std::string& keyPath,
                                     const std::string& name, const std::string& data);

// The documents folder that `program` sees when startProgram starts it, where that can differ
// from documentsFolder(): a Windows program's in its Wine prefix. Nothing elsewhere, or when the
// prefix does not tell.
std::optional<std::string> programDocumentsFolder(const std::string& program);

// Deletes one file; false when it could not be deleted.
bool deleteFile(const std::u16string& path);

// Claims `name` for this process until it ends, so that a second launcher of the same
// installation can tell that the first one runs: a named mutex on Windows, a lock on a file named
// after it in `lockFolder` elsewhere. False only when another process holds the claim; a claim
// that cannot be made at all (no folder) is granted.
bool claimInstance(const std::string& name, const std::string& lockFolder);

// Fills the buffer from the system's secure random source.
bool secureRandom(void* buffer, std::size_t size);

// Starts writing what `file` holds from `offset` on to the disk, without waiting for it. A file
// renamed over another is flushed there and then on some systems (ext4): started early, the
// writing overlaps the transfer instead of holding up the rename. Nothing where the system's own
// writing suffices.
void startWriteback(std::FILE* file, std::uint64_t offset);

// Pushes a written file's data to the disk, so that a rename over the old file is durable.
bool flushFileToDisk(const std::string& path);

// What the system tells about a file without reading it. Two looks that find equal stamps saw the
// same bytes, unless the file changed again within one step of the file system's clock.
struct FileStamp {
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // last write of the data, in file-clock units
    std::int64_t changed = 0;   // last change of data or metadata (times, links, permissions)
    std::uint64_t index = 0;    // the file on its volume: inode number, file index
    std::uint64_t volume = 0;   // device, volume serial number
    bool operator==(const FileStamp&) const = default;
};

// The stamp of the regular file at `path`, following links; nothing for anything else or when the
// file cannot be examined. Needs no read access, so a file open elsewhere for writing is no bar.
std::optional<FileStamp> fileStamp(const std::string& path);
// The stamp of a file open for reading.
std::optional<FileStamp> fileStamp(std::FILE* file);

// The volume that holds the file or folder at `path` (device, volume serial number); nothing when
// it cannot be examined.
std::optional<std::uint64_t> volumeOf(const std::string& path);

// Where a file's data is likely to lie on its volume, as cheaply as the system tells it: files
// read in this order spare a hard disk's head the seeks between them.
std::uint64_t diskOrder(const FileStamp& stamp);

// Opens a file for reading in binary mode, telling the system that it will be read from start to
// end (on Windows the cache then reads further ahead); null when it cannot be opened.
std::FILE* openForReading(const std::string& path);
// Asks for the rest of a file open for reading to be read ahead of the reads: more of a large
// file then is on its way from the disk while the start of it is being checked.
void adviseSequential(std::FILE* file);

// Creates `path` as a new, empty file and opens it for writing in binary mode; null when
// anything is there already, a link included, or it cannot be created. Nothing is ever written
// through a link planted at a name the launcher writes.
std::FILE* createNewFile(const std::string& path);
// Opens the plain file at `path` for appending in binary mode; null when it is missing, a link
// or anything but a plain file.
std::FILE* openPlainToAppend(const std::string& path);

// True when the last element of `path` is a symbolic link, or on Windows any reparse point (a
// junction too); the link itself is looked at, not its target.
bool isLink(const std::string& path);

// The bytes this user may still write to the volume that holds `path` (an existing file or
// folder); nothing when the system cannot tell.
std::optional<std::uint64_t> freeSpace(const std::string& path);

// The file clock: what a file written now would carry as its times.
std::int64_t fileTimeNow();
#ifdef _WIN32
inline constexpr std::int64_t fileTimeUnitsPerSecond = 10'000'000;
#else
inline constexpr std::int64_t fileTimeUnitsPerSecond = 1'000'000'000;
#endif

// When set, told the status before either function below ends the process: the test suites use
// it to tell a run cut short from a finished one. The launcher itself never sets it.
using ProcessEndObserver = void (*)(int status);
inline ProcessEndObserver processEndObserver = nullptr;

// Ends the process with the standard streams flushed. Static objects are left alone: detached
// threads (a patch run, a pool's workers, a sync waiting for its server) may still be using them,
// and every file the launcher writes is complete on disk at any moment anyway.
[[noreturn]] void exitProcess(int status);
// Ends the process at once, without any clean-up.
[[noreturn]] void terminateProcess(int status);

}  // namespace platform
