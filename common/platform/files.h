// File operations with the system's safety rules: data files are written atomically and are
// owner-only.
#pragma once

#include <string>

namespace platform {

// Mode of data files and folders.
inline constexpr unsigned DataFileMode = 0600;
inline constexpr unsigned DataFolderMode = 0700;
// Mode of folders a program folder shares with every user (no data in them).
inline constexpr unsigned SharedFolderMode = 0755;

// Writes bytes to a temporary file in the same folder (path + TempFileInfix + six random
// characters), flushes it to disk and renames it over path, so a crash mid-write leaves the
// previous copy intact. The file gets mode `mode`. False (and the old file untouched) on any
// failure; errorText then says why.
bool WriteFileAtomic(const std::string &path, const std::string &bytes,
                     unsigned mode = DataFileMode, std::string *errorText = nullptr);
inline constexpr char TempFileInfix[] = ".tmp-";

// Writes bytes to a new file at path, mode DataFileMode, that appears under its name only when
// whole and never replaces an existing file (false then, and when writing fails). Not flushed
// to disk: for copies whose original is kept elsewhere.
bool WriteNewFile(const std::string &path, const std::string &bytes);

// Removes the temporary files of WriteFileAtomic in folder that a crashed writer left behind
// (a running writer holds a lock on its file, so its file is left alone). Answers how many.
int RemoveStaleTemporaries(const std::string &folder);

// Renames path to the first free name of base, base-1, base-2 … (an existing file is never
// replaced); keptAs receives the name used. False when no rename succeeded.
bool MoveAside(const std::string &path, const std::string &base, std::string &keptAs);

// Writes bytes, flushed to disk, as a new file at the first free name of base, base-1, base-2 …
// (an existing file is never replaced); keptAs receives the name used. False when no file was
// written.
bool KeepCopy(const std::string &bytes, const std::string &base, std::string &keptAs);

// The whole file; false when it cannot be read.
bool ReadWholeFile(const std::string &path, std::string &bytes);

// Whether nothing at all (no file, folder or link) stands at path while its folder exists: a
// file that is simply not there yet, as opposed to one that is there but cannot be read.
bool MissingFromItsFolder(const std::string &path);

// Creates one folder (no parents) with exactly the given mode; true when it exists afterwards.
bool MakeFolder(const std::string &path, unsigned mode = DataFolderMode);

// Creates the folder and any missing parents with the given mode.
bool MakeFolderPath(const std::string &path, unsigned mode = DataFolderMode);

// A folder for this user's data alone: created as MakeFolderPath does, and when it is there
// already with access for others (made by the user or an older version, 0755), tightened to
// owner-only. Parents that were there are left as they are. True when the folder exists.
bool MakePrivateFolder(const std::string &path);

// Whether this user may create files in the folder (an installed program folder is not).
bool FolderWritable(const std::string &path);

// Text of the last system error (errno).
std::string SystemErrorText(int errorNumber);

} // namespace platform
