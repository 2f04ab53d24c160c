// The files a run writes and reads: what a name leads to, where a file not
// yet made would be created, whether two names are one file, whether a
// result file can be opened for appending and an input for reading, appends
// that are whole or not at all, stand-ins for closed standard streams, and
// the process-wide signal settings that let a write fail instead of ending
// the run. Every name is taken as the system opens it: part by part, links
// followed where they stand, a ".." after the folder it is in.
#ifndef QUILLMAR_SEQUENCE_OUTFILE_H
#define QUILLMAR_SEQUENCE_OUTFILE_H

#include <sys/types.h>

#include <string>

// What opening a name would find: a regular file, nothing yet (a file would
// be created, if its folder allows), or anything else (a device, a FIFO, a
// socket, a folder, a loop of links, a path through a file), which two names
// cannot share as one file.
enum class file_kind { regular, absent, other };
file_kind kind_of(const std::string& name);

// Where opening a name that leads to nothing would create the file: the
// folder, by the identity the system gives it (so one folder under two
// mounts is one place), and the last name in it. The links of the last part
// are followed as the system follows them, at most 40, a relative target
// from its link's folder, however long the targets are. False where there is
// no folder to create it in, or the chain of links is too long.
struct creation_place {
    dev_t device = 0;
    ino_t inode = 0;
    std::string last;
};
bool creation_place_of(const std::string& name, creation_place& out);

// Two names of one regular file: the same existing file (hard links
// included), or the same place where a file is yet to be created. Devices
// such as /dev/null may be named any number of times.
bool same_file(const std::string& a, const std::string& b);

// Whether a result file can be opened for appending; nothing is created or
// changed. A regular file or a character device is opened as the run will
// open it (a device without waiting and without taking it as the terminal)
// and closed at once; a socket is refused; a FIFO is opened only once, when
// it is written.
bool appendable(const std::string& name);

// Whether an input file can be opened for reading: it exists, is no folder
// and may be read. Nothing is opened, so a FIFO waits for its one reader.
bool readable(const std::string& name);

// Appends a text to a file, created if it does not exist. A regular file
// that cannot take the whole text is cut back to its earlier length where
// its length changed, and removed when this append created it, so it never
// holds part of it; while a regular file is appended to, SIGINT, SIGTERM and
// SIGHUP wait until it is closed. A FIFO or device may wait on its reader,
// so they act at once there.
enum class append_outcome { written, not_opened, not_written, not_cut_back };
append_outcome append_whole(const std::string& name, const std::string& text);

// append_whole for a result file: the message of a failure ("Cannot open
// output file NAME", "Cannot write output file NAME", or that and that it
// could not be cut back, with a line break), empty on success.
std::string append_result(const std::string& name, const std::string& text);

// Fills each of the descriptors 0, 1 and 2 that is closed with a stand-in,
// so that no file opened later takes a standard stream's place. Reads and
// writes on a stand-in fail, as on a closed descriptor, and no name can open
// it for writing (it is the root folder), so /dev/stdout with standard
// output closed is refused, not written nowhere. False when one could not
// be opened.
bool hold_standard_streams();

// Writes fail instead of ending the process: past a file-size limit (ulimit
// -f, SIGXFSZ), as a full disk does, and into a pipe or FIFO whose reader
// has left (SIGPIPE).
void writes_fail_instead_of_signals();

#endif
