// scratch allocation, the out-of-memory stop, myrealloc, mygets and the
// free-function forms of the line minimisers.
#include "sequence/util.h"

#include "support/fatal.h"
#include "support/subprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer an allocation that cannot be served returns null, as
// malloc does, instead of ending the process with ASan's own report.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

template <class T>
void check_matrix(T** m, int r, int c) {
    for (int i = 0; i < r; ++i) EXPECT_EQ(m[i], m[0] + static_cast<ptrdiff_t>(i) * c) << i;
    for (int k = 0; k < r * c; ++k) m[0][k] = static_cast<T>(k % 100);  // one block of r*c
    for (int i = 0; i < r; ++i)
        for (int j = 0; j < c; ++j) EXPECT_EQ(m[i][j], static_cast<T>((i * c + j) % 100));
}

template <class T>
void check_cube(T*** q, int a, int b, int c) {
    T** rows = q[0];
    T* block = q[0][0];
    for (int i = 0; i < a; ++i) {
        EXPECT_EQ(q[i], rows + static_cast<ptrdiff_t>(i) * b);
        for (int j = 0; j < b; ++j)
            EXPECT_EQ(q[i][j], block + static_cast<ptrdiff_t>(i * b + j) * c);
    }
    for (int k = 0; k < a * b * c; ++k) block[k] = static_cast<T>(k % 100);
    for (int i = 0; i < a; ++i)
        for (int j = 0; j < b; ++j)
            for (int l = 0; l < c; ++l)
                EXPECT_EQ(q[i][j][l], static_cast<T>(((i * b + j) * c + l) % 100));
}

std::string oom_text(const std::string& step) {
    return "\n\n\nUnable to proceed (lack of memory: " + step +
           ")\n\nHint for Macintosh users:\nUse the <Get Info> command of the Finder to increase "
           "the memory "
           "partition!\n\n";
}

// Limits the child's address space to what it uses now plus one gigabyte.
void limit_address_space() {
    long pages = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f || std::fscanf(f, "%ld", &pages) != 1) _exit(97);
    std::fclose(f);
    const rlim_t now = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = now + (rlim_t(1) << 30);
    if (setrlimit(RLIMIT_AS, &lim) != 0) _exit(98);
}

// Standard error without the warnings that AddressSanitizer adds when it
// refuses a huge request (lines beginning "==").
std::string without_asan_lines(const std::string& err) {
    std::string out, line;
    for (size_t i = 0; i < err.size(); ++i) {
        line.push_back(err[i]);
        if (err[i] == '\n' || i + 1 == err.size()) {
            if (line.rfind("==", 0) != 0) out += line;
            line.clear();
        }
    }
    return out;
}

// The allocation must stop through maerror: status 1, the text on stdout.
void expect_oom(const std::function<void()>& alloc, const std::string& step) {
    auto r = run_in_child([&] {
        limit_address_space();
        alloc();
        _exit(99);  // the allocation succeeded
    });
    EXPECT_TRUE(r.exited) << step;
    EXPECT_EQ(r.status, 1) << step;
    EXPECT_EQ(r.out, oom_text(step));
    EXPECT_EQ(without_asan_lines(r.err), "") << step;
}

}  // namespace

TEST(Scratch, VectorsAreOneBlock) {
    double* d = new_dvector(5);
    char* c = new_cvector(100);
    int* i = new_ivector(3);
    unsigned long* u = new_ulivector(2);
    for (int k = 0; k < 5; ++k) d[k] = k;
    std::memset(c, 'x', 100);
    i[2] = 7;
    u[1] = 9;
    EXPECT_EQ(d[4], 4.0);
    free_dvector(d);
    free_cvector(c);
    free_ivector(i);
    free_ulivector(u);
}

TEST(Scratch, MatrixLayout) {
    double** d = new_dmatrix(2, 3);
    EXPECT_EQ(d[1] - d[0], 3);  // row 1 starts three elements after row 0
    check_matrix(d, 2, 3);
    free_dmatrix(d);
    char** c = new_cmatrix(4, 7);
    check_matrix(c, 4, 7);
    free_cmatrix(c);
    int** i = new_imatrix(20, 20);
    check_matrix(i, 20, 20);
    free_imatrix(i);
    unsigned long** u = new_ulimatrix(1, 5);
    check_matrix(u, 1, 5);
    free_ulimatrix(u);
}

TEST(Scratch, CubeLayout) {
    double*** d = new_dcube(2, 3, 4);
    EXPECT_EQ(&d[1][2][0] - &d[0][0][0], 20);
    check_cube(d, 2, 3, 4);
    free_dcube(d);
    char*** c = new_ccube(3, 1, 5);
    check_cube(c, 3, 1, 5);
    free_ccube(c);
    int*** i = new_icube(4, 4, 4);
    check_cube(i, 4, 4, 4);
    free_icube(i);
    unsigned long*** u = new_ulicube(1, 1, 1);
    check_cube(u, 1, 1, 1);
    free_ulicube(u);
}

TEST(Scratch, MaerrorText) {
    auto r = run_in_child([] { maerror("step 1 in new_dvector"); }, fatal_time_limit);
    EXPECT_TRUE(fatal_with_output(r, ""));
    EXPECT_EQ(r.out, oom_text("step 1 in new_dvector"));
}

TEST(Scratch, OutOfMemoryStepTexts) {
    const int big = INT_MAX;
    expect_oom([&] { new_dvector(big); }, "step 1 in new_dvector");
    expect_oom([&] { new_dmatrix(big, 1); }, "step 1 in in new_dmatrix");
    expect_oom([&] { new_dmatrix(1024, big); }, "step 2 in in new_dmatrix");
    expect_oom([&] { new_dcube(big, 1, 1); }, "step 1 in in new_dcube");
    expect_oom([&] { new_dcube(1024, big, 1); }, "step 2 in in new_dcube");
    expect_oom([&] { new_dcube(1, 1, big); }, "step 3 in in new_dcube");

    expect_oom([&] { new_cvector(big); }, "step1 in new_cvector");
    expect_oom([&] { new_cmatrix(big, 1); }, "step 1 in new_cmatrix");
    expect_oom([&] { new_cmatrix(1024, big); }, "step 2 in new_cmatrix");
    expect_oom([&] { new_ccube(big, 1, 1); }, "step 1 in new_ccube");
    expect_oom([&] { new_ccube(1024, big, 1); }, "step 2 in new_ccube");
    expect_oom([&] { new_ccube(1, 1, big); }, "step 3 in new_ccube");

    expect_oom([&] { new_ivector(big); }, "step 1 in new_ivector");
    expect_oom([&] { new_imatrix(big, 1); }, "step 1 in new_imatrix");
    expect_oom([&] { new_imatrix(1024, big); }, "step 2 in new_imatrix");
    expect_oom([&] { new_icube(big, 1, 1); }, "step 1 in new_icube");
    expect_oom([&] { new_icube(1024, big, 1); }, "step 2 in new_icube");
    expect_oom([&] { new_icube(1, 1, big); }, "step 3 in new_icube");

    expect_oom([&] { new_ulivector(big); }, "step 1 in new_ulivector");
    expect_oom([&] { new_ulimatrix(big, 1); }, "step 1 in new_ulimatrix");
    expect_oom([&] { new_ulimatrix(1024, big); }, "step 2 in new_ulimatrix");
    expect_oom([&] { new_ulicube(big, 1, 1); }, "step 1 in new_ulicube");
    expect_oom([&] { new_ulicube(1024, big, 1); }, "step 2 in new_ulicube");
    expect_oom([&] { new_ulicube(1, 1, big); }, "step 3 in new_ulicube");
}

TEST(Scratch, ProductsBeyondSizeTAreLackOfMemory) {
    // 2^31 * 2^31 * 2^31 elements cannot be counted in 64 bits.
    auto r = run_in_child([] {
        limit_address_space();
        new_dcube(1, INT_MAX, INT_MAX);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out == oom_text("step 2 in in new_dcube") ||
                r.out == oom_text("step 3 in in new_dcube"));
}

TEST(Scratch, NonPositiveSizesAreFatal) {
    struct Case {
        std::function<void()> alloc;
        const char* step;
    };
    const std::vector<Case> cases = {
        {[] { new_dvector(0); }, "step 1 in new_dvector"},
        {[] { new_cvector(-3); }, "step1 in new_cvector"},
        {[] { new_imatrix(2, -1); }, "step 1 in new_imatrix"},
        {[] { new_dmatrix(0, 4); }, "step 1 in in new_dmatrix"},
        {[] { new_ccube(0, 1, 1); }, "step 1 in new_ccube"},
        {[] { new_ulicube(2, 2, 0); }, "step 1 in new_ulicube"},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(ends_fatally(c.alloc, std::string("Internal error: non-positive size in "
                                                      "scratch allocation (") +
                                              c.step + ")\n"));
}

TEST(Scratch, Myrealloc) {
    char* p = static_cast<char*>(myrealloc(nullptr, 4));
    ASSERT_NE(p, nullptr);
    std::memcpy(p, "abc", 4);
    p = static_cast<char*>(myrealloc(p, 1000));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "abc");
    p[999] = 'z';
    std::free(p);
}

TEST(Scratch, Mygets) {
    const std::string dir = make_temp_dir();
    const std::string line120(120, 'q');
    write_file(dir + "/in", "abc\ndef\r\n\n" + line120 + "\nlast");
    auto r = run_in_child([&] {
        int fd = open((dir + "/in").c_str(), O_RDONLY);
        if (fd < 0 || dup2(fd, 0) < 0) _exit(3);
        for (int i = 0; i < 8; ++i) {
            char* s = mygets();
            std::printf("[%s]\n", s);
            free_cvector(s);
        }
    });
    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    // "def\r\n" gives "def" and then the empty line between \r and \n; a line
    // is cut at 99 characters and the rest comes with the next call; the last
    // line, ended by the end of input, and every call after it give "".
    EXPECT_EQ(r.out, "[abc]\n[def]\n[]\n[]\n[" + std::string(99, 'q') + "]\n[" +
                         std::string(21, 'q') + "]\n[]\n[]\n");
}

namespace {

std::vector<double> g_points;

double quadratic(double x) {
    g_points.push_back(x);
    return (x - 3.0) * (x - 3.0) + 1.0;
}

double g_x1 = 0.0, g_x2 = 0.0;
double joint(double x1, double x2) {
    return (x1 - 2.0) * (x1 - 2.0) + (x2 - 5.0) * (x2 - 5.0) + 0.5 * (x1 - 2.0) * (x2 - 5.0);
}
double over_x1(double x) {
    g_points.push_back(x);
    return joint(x, g_x2);
}
double over_x2(double x) { return joint(g_x1, x); }  // not called: x2 is held

}  // namespace

TEST(FreeMinimiser, BrentFindsTheMinimum) {
    g_points.clear();
    double fmin = 0, curv = 0;
    // (The curvature of the last parabola is accurate only while its three
    // points lie well apart compared with the rounding of f: tolerance 1e-4.)
    const double x = brent(0.0, 1.0, 10.0, quadratic, 1e-4, &fmin, &curv, 10.0, 5.0, 50.0);
    EXPECT_NEAR(x, 3.0, 1e-3);
    EXPECT_NEAR(fmin, 1.0, 1e-6);
    EXPECT_NEAR(curv, 2.0, 1e-4);
    const double x8 = brent(0.0, 1.0, 10.0, quadratic, 1e-8, &fmin, &curv, 10.0, 5.0, 50.0);
    EXPECT_NEAR(x8, 3.0, 1e-6);
    EXPECT_NEAR(fmin, 1.0, 1e-12);
    EXPECT_LE(g_points.size(), 100u);
    // The known values are not evaluated again.
    for (double p : g_points) {
        EXPECT_NE(p, 0.0);
        EXPECT_NE(p, 1.0);
        EXPECT_NE(p, 10.0);
    }
}

TEST(FreeMinimiser, OnedimenminBracket) {
    g_points.clear();
    double fmin = 0, curv = 0;
    const double x = onedimenmin(1e-6, 3.0, 1000.0, quadratic, 1e-6, &fmin, &curv);
    EXPECT_NEAR(x, 3.0, 1e-5);
    ASSERT_GE(g_points.size(), 3u);
    const double h = 3.0 * 1e-6 * 50.0;
    EXPECT_EQ(g_points[0], 3.0 - h);
    EXPECT_EQ(g_points[1], 3.0);
    EXPECT_EQ(g_points[2], 3.0 + h);

    // From 10 the lower end of [9.9995, 10.0005] is lower: lo and hi follow.
    g_points.clear();
    const double y = onedimenmin(1e-6, 10.0, 1000.0, quadratic, 1e-6, &fmin, &curv);
    EXPECT_NEAR(y, 3.0, 1e-4);
    ASSERT_GE(g_points.size(), 5u);
    EXPECT_DOUBLE_EQ(g_points[0], 9.9995);
    EXPECT_EQ(g_points[1], 10.0);
    EXPECT_DOUBLE_EQ(g_points[2], 10.0005);
    EXPECT_EQ(g_points[3], 1e-6);
    EXPECT_EQ(g_points[4], 1000.0);

    // At x0 = lo the lower bracket end is lo itself and is evaluated once.
    g_points.clear();
    onedimenmin(1e-6, 1e-6, 1000.0, quadratic, 1e-6, &fmin, &curv);
    ASSERT_GE(g_points.size(), 4u);
    EXPECT_EQ(g_points[0], 1e-6);
    EXPECT_EQ(g_points[1], 1e-6);
    EXPECT_EQ(g_points[3], 1000.0);  // lo is not evaluated again
}

TEST(FreeMinimiser, Twodimenmin) {
    // Only the first coordinate free: one pass.
    g_points.clear();
    g_x2 = 5.0;
    double x1 = 1e-6, x2 = 5.0, se1 = 0, se2 = -1;
    twodimenmin(1e-6, 1, 1e-6, &x1, 1000.0, over_x1, &se1, 0, 1e-6, &x2, 1000.0, over_x2, &se2);
    ASSERT_GE(g_points.size(), 2u);
    EXPECT_EQ(g_points[1], 1e-6 + 0.2 * (1000.0 - 1e-6));  // start moved to 200.0000008
    EXPECT_NEAR(x1, 2.0, 1e-4);
    EXPECT_EQ(x2, 5.0);
    EXPECT_EQ(se2, -1);
    EXPECT_NEAR(se1, std::sqrt(1.0 / 2.0), 1e-3);

    // Both free: alternate until nothing moves; x1, x2 are read by the objectives.
    struct Bind {
        static double f1(double x) {
            g_x1 = x;
            return joint(x, g_x2);
        }
        static double f2(double x) {
            g_x2 = x;
            return joint(g_x1, x);
        }
    };
    g_x1 = 1000.0;
    g_x2 = 1.0;
    x1 = 1000.0;
    x2 = 1.0;
    twodimenmin(1e-6, 1, 1e-6, &x1, 1000.0, Bind::f1, &se1, 1, 1e-6, &x2, 1000.0, Bind::f2, &se2);
    EXPECT_NEAR(x1, 2.0, 1e-3);
    EXPECT_NEAR(x2, 5.0, 1e-3);
}
