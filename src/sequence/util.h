// Fatal stops, warnings and C-style scratch allocation.
#ifndef QUILLMAR_SEQUENCE_UTIL_H
#define QUILLMAR_SEQUENCE_UTIL_H

#include <sstream>
#include <string>

// Writes the text to standard error and ends the process with status 1.
[[noreturn]] void fatal_text(const std::string& text);

// Streams every argument to standard error (default stream formatting) and
// ends the process with status 1.
template <class... A>
[[noreturn]] void fatal(const A&... parts) {
    std::ostringstream os;
    (os << ... << parts);
    fatal_text(os.str());
}

// Streams every argument to standard error; the run goes on.
void warn_text(const std::string& text);
template <class... A>
void warn(const A&... parts) {
    std::ostringstream os;
    (os << ... << parts);
    warn_text(os.str());
}

// Out-of-memory stop: the one failure reported on standard output.
[[noreturn]] void maerror(const char* step);

double* new_dvector(int n);
double** new_dmatrix(int rows, int cols);
double*** new_dcube(int planes, int rows, int cols);
void free_dvector(double* v);
void free_dmatrix(double** m);
void free_dcube(double*** c);

char* new_cvector(int n);
char** new_cmatrix(int rows, int cols);
char*** new_ccube(int planes, int rows, int cols);
void free_cvector(char* v);
void free_cmatrix(char** m);
void free_ccube(char*** c);

int* new_ivector(int n);
int** new_imatrix(int rows, int cols);
int*** new_icube(int planes, int rows, int cols);
void free_ivector(int* v);
void free_imatrix(int** m);
void free_icube(int*** c);

unsigned long* new_ulivector(int n);
unsigned long** new_ulimatrix(int rows, int cols);
unsigned long*** new_ulicube(int planes, int rows, int cols);
void free_ulivector(unsigned long* v);
void free_ulimatrix(unsigned long** m);
void free_ulicube(unsigned long*** c);

// Reallocates a block to the given size in bytes (allocates when p is null).
void* myrealloc(void* p, unsigned int bytes);
// One line of at most 99 characters from standard input, in a new
// 100-character buffer from new_cvector; empty at end of input.
char* mygets();

#endif
