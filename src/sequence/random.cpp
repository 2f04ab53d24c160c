#include "sequence/random.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "sequence/fatal.h"
#include "sequence/outfile.h"

int idum = 0;

namespace {

constexpr int IM1 = 2147483563;
constexpr int IM2 = 2147483399;
constexpr double AM = 1.0 / IM1;
constexpr int IMM1 = IM1 - 1;
constexpr int IA1 = 40014;
constexpr int IA2 = 40692;
constexpr int IQ1 = 53668;
constexpr int IQ2 = 52774;
constexpr int IR1 = 12211;
constexpr int IR2 = 3791;
constexpr int NTAB = 32;
constexpr int NDIV = 1 + IMM1 / NTAB;
constexpr double RNMX = 1.0 - 1.2e-7;

int idum2 = 123456789;
int iy = 0;
int iv[NTAB] = {};

bool seeded = false;
unsigned int seed_given = 0;

inline int schrage(int x, int iq, int ia, int ir, int im) {
    int k = x / iq;
    x = ia * (x - k * iq) - k * ir;
    if (x < 0) x += im;
    return x;
}

void seed_from(unsigned int seed) {
    seeded = true;
    seed_given = seed;
    std::srand(seed);
    srandom(seed);
    idum = -std::rand();
}

}  // namespace

double randomunitintervall() {
    if (idum <= 0) {
        // -INT_MIN is not an int; in 32-bit arithmetic it stays negative,
        // so it counts as "not positive" and gives 1.
        idum = (idum == INT_MIN || -idum < 1) ? 1 : -idum;
        idum2 = idum;
        for (int j = NTAB + 7; j >= 0; --j) {
            idum = schrage(idum, IQ1, IA1, IR1, IM1);
            if (j < NTAB) iv[j] = idum;
        }
        iy = iv[0];
    }
    idum = schrage(idum, IQ1, IA1, IR1, IM1);
    idum2 = schrage(idum2, IQ2, IA2, IR2, IM2);
    int j = iy / NDIV;
    iy = iv[j] - idum2;
    iv[j] = idum;
    if (iy < 1) iy += IMM1;
    double temp = AM * iy;
    return temp > RNMX ? RNMX : temp;
}

void initrandom() { seed_from(static_cast<unsigned int>(std::time(nullptr))); }

bool append_seed() {
    if (!seeded) return true;
    return append_whole(seed_file, std::to_string(seed_given) + "\n") == append_outcome::written;
}

unsigned int last_seed() { return seed_given; }

void seedrandom(unsigned int seed) { seed_from(seed); }

void zzinitrandom() {
    unsigned int seed = 0;
    {
        std::ifstream in(seed_file);
        in >> seed;
        if (!in) seed = 0;
    }
    {
        std::ofstream out("Zufallsctrl", std::ios::app);
        out << seed << "\n";
    }
    seed_from(seed);
}

int randominteger(int n) { return static_cast<int>(std::floor(randomunitintervall() * n)); }

void chooser(int n, int k, std::vector<int>& v) {
    if (k > n || k < 0 || static_cast<int>(v.size()) < k)
        fatal("Internal error in function chooser: cannot choose ", k, " of ", n, "\n");
    std::vector<bool> taken(n > 0 ? n : 0, false);
    for (int i = 0; i < k; ++i) {
        int r = randominteger(n - i);
        int idx = 0;
        for (;; ++idx) {
            if (!taken[idx]) {
                if (r == 0) break;
                --r;
            }
        }
        v[i] = idx;
        taken[idx] = true;
    }
}

void rndorder(std::vector<int>& v, unsigned int n) {
    v.resize(n);
    chooser(static_cast<int>(n), static_cast<int>(n), v);
}

int randomchoice(const std::vector<int>& weights) {
    if (weights.empty())
        fatal("randomchoice(vector<int> &clust) cannot find\n",
              "a random member of an empty vector.\n");
    const double u = randomunitintervall();
    std::int64_t total = 0;
    for (int w : weights)
        if (w > 0) total += w;
    const double target = u * static_cast<double>(total);
    std::int64_t running = 0;
    for (size_t i = 0; i < weights.size(); ++i) {
        if (weights[i] > 0) running += weights[i];
        if (static_cast<double>(running) >= target - DBL_MIN) return static_cast<int>(i);
    }
    fatal("Error in funnction baum::randomchoice\n", "variable stateidx out of range\n");
}

int randomchoice(const std::vector<double>& weights) {
    return randomchoice(weights.data(), static_cast<int>(weights.size()));
}

int randomchoice(const double* weights, int n) {
    const double u = randomunitintervall();
    double total = 0.0;
    for (int i = 0; i < n; ++i) total += weights[i];
    const double target = u * total;
    double running = 0.0;
    for (int i = 0; i < n; ++i) {
        running += weights[i];
        if (running >= target - DBL_MIN) return i;
    }
    fatal("Error in funnction indel::randomchoice\n", "variable stateidx out of range\n");
}

double rand_exp(double rate) {
    // Loop form of the recursive definition: the accepted draw's value first,
    // then one shift per rejected uniform, in the recursion's addition order.
    long rejected = 0;
    double u;
    while ((u = randomunitintervall()) <= 0.99) ++rejected;
    double x = -std::log(u) / rate;
    const double shift = -std::log(0.99) / rate;
    for (long i = 0; i < rejected; ++i) x += shift;
    return x;
}
