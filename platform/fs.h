// File and folder helpers: paths with either separator, atomic writes, whole-file reads.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace plat {

// Turns every '\\' into '/'.
std::string NormalizeSeparators(std::string_view path);
// Joins two parts with one '/', accepting '\\' or '/' in either part
// (an empty part gives the other one).
std::string PathJoin(std::string_view a, std::string_view b);
// Folder part of a path ("" when none), separators normalised.
std::string PathDirName(std::string_view path);
// Last component of a path.
std::string PathBaseName(std::string_view path);

// What the program keeps is the user's alone: every folder it makes is 0700 and every file it
// creates 0600 (a umask may only take more away).
inline constexpr unsigned kPrivateFolderMode = 0700;
inline constexpr unsigned kPrivateFileMode = 0600;

// Makes sure path is a folder: an existing folder gives 0 at once; a plain file of
// that name is deleted first; then the folder is created (0700): 0 on success, -1 on failure.
int EnsureDirectory(const std::string& path);
// Creates a folder and its missing parents (0700); true when the folder exists afterwards.
bool MakeDirectories(const std::string& path);
// As MakeDirectories, and a folder of ours that an older version left open to others is closed to
// them (the owner's bits kept); true when the folder exists afterwards.
bool MakePrivateDirectory(const std::string& path);
// Opens path as a regular file with open(2) flags (O_CLOEXEC is added). A FIFO, device, socket or
// folder in its place is refused at once, never waited on (-1, errno EINVAL or EISDIR; O_TRUNC only
// truncates a regular file). A file it creates is 0600, and one opened for writing that others could
// read is made 0600.
int OpenRegularFile(const std::string& path, int flags);
// The same as a stdio stream; mode as fopen's ("rb", "wb", "ab", "r+b", "w+b", "a+b").
std::FILE* OpenRegularStream(const std::string& path, const char* mode);
// Who may read a rewritten file: Keep takes the mode of the file replaced (0600 for a
// new one); OwnerOnly makes it 0600 (files holding passwords), temporary file included.
enum class FileAccess { Keep, OwnerOnly };
// Writes the bytes to path through a temporary file in the same folder, flushed to
// disk (fsync) and renamed over the target; the target is never left half-written.
// Temporary files of earlier rewrites of path that were killed midway are removed.
bool WriteFileAtomic(const std::string& path, std::string_view bytes, FileAccess access = FileAccess::Keep);
// Removes the temporary files that killed rewrites of any file in the folder left behind (those
// of rewrites still running stay).
void RemoveStaleTempFiles(const std::string& folder);
// Reads a whole regular file into out; false when it cannot be read, is not a regular file (a
// folder, FIFO, device or socket: refused without waiting) or is larger than maxBytes.
bool ReadFile(const std::string& path, std::string* out, size_t maxBytes = 64u * 1024u * 1024u);
// True when path exists (file, folder or other).
bool FileExists(const std::string& path);
// True when path is a regular file / a folder.
bool IsRegularFile(const std::string& path);
bool IsDirectory(const std::string& path);
// Size of a regular file, -1 when missing.
long long FileSize(const std::string& path);
// Deletes a file (not a folder); true when it is gone afterwards.
bool RemoveFile(const std::string& path);
// Deletes an empty folder.
bool RemoveDirectory(const std::string& path);
// Renames, replacing an existing target (POSIX rename).
bool RenameFile(const std::string& from, const std::string& to);
// Names in a folder (no "." or ".."), sorted; empty when the folder cannot be read.
std::vector<std::string> ListDirectory(const std::string& path);
// Path of the entry of folder named name, ignoring ASCII case as Windows file names do: the exact name
// when it exists, else the first listed match, else folder/name as given.
std::string PathJoinNoCase(const std::string& folder, const std::string& name);
// Folder holding the running program ("." when unknown).
std::string ExecutableDirectory();
// Base folder of the installation (configuration, skins, language files, user data):
// SetBaseFolder's value, else the environment variable TESSALY_BASE_DIR, else the
// program's folder.
std::string BaseFolder();
// Sets the base folder (empty restores the default).
void SetBaseFolder(const std::string& folder);

}  // namespace plat
