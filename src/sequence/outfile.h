// The files a run writes: what a name leads to, whether two names are one
// file, whether a file can be appended to, and appends that are whole or not
// at all. Every name is taken as the system opens it: part by part, links
// followed where they stand, a ".." after the folder it is in.
#ifndef QUILLMAR_SEQUENCE_OUTFILE_H
#define QUILLMAR_SEQUENCE_OUTFILE_H

#include <string>

// What opening a name would find: a regular file, nothing yet (a file would
// be created, if its folder allows), or anything else (a device, a FIFO, a
// folder, a loop of links, a path through a file), which two names cannot
// share as one file.
enum class file_kind { regular, absent, other };
file_kind kind_of(const std::string& name);

// Where opening a name that leads to nothing would create the file: the
// links of its last part followed (a relative target from its link's
// folder), its folder part resolved to a full path. False where there is no
// folder to create it in, or the chain of links is too long.
bool creation_path(const std::string& name, std::string& out);

// Two names of one regular file: the same existing file (hard links
// included), or the same place where a file is yet to be created. Devices
// such as /dev/null may be named any number of times.
bool same_file(const std::string& a, const std::string& b);

// Whether a result file can be opened for appending; nothing is created or
// changed, and only a regular file is opened (a FIFO is opened once, when it
// is written).
bool appendable(const std::string& name);

// Whether an input file can be opened for reading: it exists, is no folder
// and may be read. Nothing is opened, so a FIFO waits for its one reader.
bool readable(const std::string& name);

// Appends a text to a file, created if it does not exist. A regular file
// that cannot take the whole text is cut back to its earlier length, so it
// never holds part of it.
enum class append_outcome { written, not_opened, not_written };
append_outcome append_whole(const std::string& name, const std::string& text);

// append_whole for a result file: the message of a failure ("Cannot open
// output file NAME" or "Cannot write output file NAME", with a line break),
// empty on success.
std::string append_result(const std::string& name, const std::string& text);

// A file-size limit (ulimit -f) makes a write past it fail, as a full disk
// does, instead of ending the process with SIGXFSZ.
void writes_fail_at_size_limit();

#endif
