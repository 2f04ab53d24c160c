// Utilities: C-style scratch allocation (the out-of-memory stop maerror,
// vectors, matrices and cubes of double, char, int and unsigned long with
// their frees, scratch_free and scratch_ptr to own them, myrealloc and
// mygets) and the free-function line minimisers brent, onedimenmin and
// twodimenmin.
#ifndef QUILLMAR_SEQUENCE_UTIL_H
#define QUILLMAR_SEQUENCE_UTIL_H

#include <memory>

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

// The matching free for each form, so that std::unique_ptr can own scratch:
// scratch_ptr<double*> holds a matrix from new_dmatrix, and so on.
struct scratch_free {
    void operator()(double* v) const { free_dvector(v); }
    void operator()(double** m) const { free_dmatrix(m); }
    void operator()(double*** c) const { free_dcube(c); }
    void operator()(char* v) const { free_cvector(v); }
    void operator()(char** m) const { free_cmatrix(m); }
    void operator()(char*** c) const { free_ccube(c); }
    void operator()(int* v) const { free_ivector(v); }
    void operator()(int** m) const { free_imatrix(m); }
    void operator()(int*** c) const { free_icube(c); }
    void operator()(unsigned long* v) const { free_ulivector(v); }
    void operator()(unsigned long** m) const { free_ulimatrix(m); }
    void operator()(unsigned long*** c) const { free_ulicube(c); }
};
template <class T>
using scratch_ptr = std::unique_ptr<T, scratch_free>;

// Reallocates a block to the given size in bytes (allocates when p is null).
void* myrealloc(void* p, unsigned int bytes);
// One line of at most 99 characters from standard input, in a new
// 100-character buffer from new_cvector; empty when the line is ended by the
// end of input or an input error.
char* mygets();

// Free-function forms of the line minimisers (the program uses the
// member forms of alignment). Each objective is a function of one
// variable; twodimenmin minimises f1 over x1 and f2 over x2 in turn, each
// objective reading the other coordinate where its caller keeps it (x1, x2).
// brent: minimum between ax and cx from bx, with fa, fb, fc known at ax, bx,
// cx; the value there in *fmin, the last parabola's curvature in *curv.
double brent(double ax, double bx, double cx, double (*f)(double), double tol, double* fmin,
             double* curv, double fa, double fb, double fc);
// Minimum of f over [lo, hi] from the start x0.
double onedimenmin(double lo, double x0, double hi, double (*f)(double), double tol, double* fmin,
                   double* curv);
// Coordinates with a non-zero flag are free; x1, x2 are start values on entry
// and results on return; *se1, *se2 receive the spread of each free one.
void twodimenmin(double tol, int free1, double lo1, double* x1, double hi1, double (*f1)(double),
                 double* se1, int free2, double lo2, double* x2, double hi2, double (*f2)(double),
                 double* se2);

#endif
