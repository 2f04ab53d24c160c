#include "sequence/util.h"

#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "sequence/fatal.h"
#include "sequence/minimise.h"

void maerror(const char* step) {
    std::cout.flush();
    std::printf("\n\n\nUnable to proceed (lack of memory: %s)\n\n", step);
    std::printf("Hint for Macintosh users:\n");
    std::printf("Use the <Get Info> command of the Finder to increase the memory partition!\n\n");
    std::fflush(nullptr);
    _exit(1);
}

namespace {

// Element counts are products of positive ints; one that does not fit in
// size_t bytes cannot be allocated, which is reported as lack of memory.
template <class T>
T* alloc_block(size_t count, const char* step) {
    if (count == 0) fatal("Internal error: non-positive size in scratch allocation (", step, ")\n");
    if (count > SIZE_MAX / sizeof(T)) maerror(step);
    void* p = std::malloc(count * sizeof(T));
    if (!p) maerror(step);
    return static_cast<T*>(p);
}

template <class T>
T* alloc_vector(int n, const char* step) {
    if (n <= 0) fatal("Internal error: non-positive size in scratch allocation (", step, ")\n");
    return alloc_block<T>(static_cast<size_t>(n), step);
}

// a * b, or SIZE_MAX when the product does not fit (an impossible size).
inline size_t count_product(size_t a, size_t b) {
    size_t r;
    if (__builtin_mul_overflow(a, b, &r)) return SIZE_MAX;
    return r;
}

template <class T>
T** alloc_matrix(int rows, int cols, const char* s1, const char* s2) {
    if (rows <= 0 || cols <= 0)
        fatal("Internal error: non-positive size in scratch allocation (", s1, ")\n");
    const size_t r = static_cast<size_t>(rows), c = static_cast<size_t>(cols);
    T** m = alloc_block<T*>(r, s1);
    T* block = alloc_block<T>(count_product(r, c), s2);
    for (size_t i = 0; i < r; ++i) m[i] = block + i * c;
    return m;
}

template <class T>
T*** alloc_cube(int a, int b, int c, const char* s1, const char* s2, const char* s3) {
    if (a <= 0 || b <= 0 || c <= 0)
        fatal("Internal error: non-positive size in scratch allocation (", s1, ")\n");
    const size_t na = static_cast<size_t>(a), nb = static_cast<size_t>(b),
                 nc = static_cast<size_t>(c);
    const size_t nrows = count_product(na, nb);
    T*** planes = alloc_block<T**>(na, s1);
    T** rows = alloc_block<T*>(nrows, s2);
    T* block = alloc_block<T>(count_product(nrows, nc), s3);
    for (size_t i = 0; i < na; ++i) planes[i] = rows + i * nb;
    for (size_t r = 0; r < nrows; ++r) rows[r] = block + r * nc;
    return planes;
}

template <class T>
void release_matrix(T** m) {
    if (!m) return;
    std::free(m[0]);
    std::free(m);
}

template <class T>
void release_cube(T*** c) {
    if (!c) return;
    std::free(c[0][0]);
    std::free(c[0]);
    std::free(c);
}

}  // namespace

double* new_dvector(int n) { return alloc_vector<double>(n, "step 1 in new_dvector"); }
double** new_dmatrix(int r, int c) {
    return alloc_matrix<double>(r, c, "step 1 in in new_dmatrix", "step 2 in in new_dmatrix");
}
double*** new_dcube(int a, int b, int c) {
    return alloc_cube<double>(a, b, c, "step 1 in in new_dcube", "step 2 in in new_dcube",
                              "step 3 in in new_dcube");
}
void free_dvector(double* v) { std::free(v); }
void free_dmatrix(double** m) { release_matrix(m); }
void free_dcube(double*** c) { release_cube(c); }

char* new_cvector(int n) { return alloc_vector<char>(n, "step1 in new_cvector"); }
char** new_cmatrix(int r, int c) {
    return alloc_matrix<char>(r, c, "step 1 in new_cmatrix", "step 2 in new_cmatrix");
}
char*** new_ccube(int a, int b, int c) {
    return alloc_cube<char>(a, b, c, "step 1 in new_ccube", "step 2 in new_ccube",
                            "step 3 in new_ccube");
}
void free_cvector(char* v) { std::free(v); }
void free_cmatrix(char** m) { release_matrix(m); }
void free_ccube(char*** c) { release_cube(c); }

int* new_ivector(int n) { return alloc_vector<int>(n, "step 1 in new_ivector"); }
int** new_imatrix(int r, int c) {
    return alloc_matrix<int>(r, c, "step 1 in new_imatrix", "step 2 in new_imatrix");
}
int*** new_icube(int a, int b, int c) {
    return alloc_cube<int>(a, b, c, "step 1 in new_icube", "step 2 in new_icube",
                           "step 3 in new_icube");
}
void free_ivector(int* v) { std::free(v); }
void free_imatrix(int** m) { release_matrix(m); }
void free_icube(int*** c) { release_cube(c); }

unsigned long* new_ulivector(int n) {
    return alloc_vector<unsigned long>(n, "step 1 in new_ulivector");
}
unsigned long** new_ulimatrix(int r, int c) {
    return alloc_matrix<unsigned long>(r, c, "step 1 in new_ulimatrix", "step 2 in new_ulimatrix");
}
unsigned long*** new_ulicube(int a, int b, int c) {
    return alloc_cube<unsigned long>(a, b, c, "step 1 in new_ulicube", "step 2 in new_ulicube",
                                     "step 3 in new_ulicube");
}
void free_ulivector(unsigned long* v) { std::free(v); }
void free_ulimatrix(unsigned long** m) { release_matrix(m); }
void free_ulicube(unsigned long*** c) { release_cube(c); }

void* myrealloc(void* p, unsigned int bytes) {
    void* q = p ? std::realloc(p, bytes) : std::malloc(bytes);
    if (!q && bytes > 0) maerror("myrealloc");
    return q;
}

char* mygets() {
    char* buf = new_cvector(100);
    int n = 0;
    int c = 0;
    while (n < 99) {
        c = std::getchar();
        if (c == EOF || c == '\n' || c == '\r') break;
        buf[n++] = static_cast<char>(c);
    }
    // A line ended by the end of input or by an input error gives an empty text.
    if (c == EOF || std::ferror(stdin)) n = 0;
    buf[n] = '\0';
    return buf;
}

double brent(double ax, double bx, double cx, double (*f)(double), double tol, double* fmin,
             double* curv, double fa, double fb, double fc) {
    return brent_core(f, ax, bx, cx, tol, fmin, curv, fa, fb, fc);
}

double onedimenmin(double lo, double x0, double hi, double (*f)(double), double tol, double* fmin,
                   double* curv) {
    return onedimenmin_core(f, lo, x0, hi, tol, fmin, curv);
}

void twodimenmin(double tol, int free1, double lo1, double* x1, double hi1, double (*f1)(double),
                 double* se1, int free2, double lo2, double* x2, double hi2, double (*f2)(double),
                 double* se2) {
    twodimenmin_pair(f1, f2, tol, free1, lo1, *x1, hi1, se1, free2, lo2, *x2, hi2, se2);
}
