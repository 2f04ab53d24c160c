// Shared fixtures for the sampler tests: small trees with position maps,
// models in closed form, and output capture.
#ifndef QUILLMAR_TESTS_SAMPLER_FIXTURES_H
#define QUILLMAR_TESTS_SAMPLER_FIXTURES_H

#include <cmath>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "sampler/mult_align.h"
#include "sequence/random.h"
#include "support/chars.h"
#include "support/path_maps.h"

namespace samplertest {

// A node with the given name, number and sequence (alphabet size alph).
inline baum* mknode(const std::string& name, int number, const std::string& seq = "",
                    int alph = 4) {
    identifier id;
    id.name = name;
    id.number = number;
    baum* b = new baum(id);
    b->seq = bioseq(chars(seq), alph);
    return b;
}

// As mknode, with the name also as the node's text.
inline baum* mkleaf(const std::string& name, int number, const std::string& seq) {
    baum* b = mknode(name, number, seq);
    b->id.text = name;
    return b;
}

// A branch from parent to child, the path read with the parent first; the
// child's parent record goes to slot pos of its list (or last).
inline void link(baum* parent, baum* child, double t, const std::string& path = "", int pos = -1) {
    neighbor down, up;
    path_to_maps(path_states(path), down.posmap, up.posmap);
    down.brl = up.brl = t;
    down.node = child;
    up.node = parent;
    up.isparent = true;
    parent->neighbors.push_back(down);
    if (pos < 0 || pos > static_cast<int>(child->neighbors.size()))
        pos = static_cast<int>(child->neighbors.size());
    child->neighbors.insert(child->neighbors.begin() + pos, up);
}

// R - X, X - (Y, C), Y - (D, E): leaves D, E, C numbered 0 to 2, the root
// leaf R 3, inner sequences X = AGT and Y = GT, branch alignments given.
inline baum* four_leaf_tree() {
    baum* r = mknode("R", 3, "ACGT");
    baum* x = mknode("", -1, "AGT");
    baum* y = mknode("", -1, "GT");
    link(y, mknode("D", 0, "GT"), 4.0, "MM");
    link(y, mknode("E", 1, "AG"), 1.0, "IMD");
    link(x, y, 2.0, "DMM");
    link(x, mknode("C", 2, "ACGT"), 0.5, "MIMM");
    link(r, x, 1.5, "MDMM");
    return r;
}

// Every node reachable from x without going back to from, pre-order.
inline void all_nodes(baum* x, baum* from, std::vector<baum*>& out) {
    out.push_back(x);
    for (neighbor& r : x->neighbors)
        if (r.node != from) all_nodes(r.node, x, out);
}

inline indel tkf(double lam = 0.01, double mu = 0.011) {
    return indel(std::vector<double>{lam, mu}, TKF1);
}

inline bool bits_equal(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The k-th uniform (from 0) after the generator state -seed.
inline double uniform_at(int seed, long k) {
    idum = -seed;
    double u = 0.0;
    for (long j = 0; j <= k; ++j) u = randomunitintervall();
    return u;
}

// Uniforms drawn since the generator stood at -seed, found by drawing two
// more and looking them up in the sequence from seed; -1 if not found.
inline long drawn_since(int seed) {
    const double a = randomunitintervall(), b = randomunitintervall();
    idum = -seed;
    double prev = randomunitintervall();
    for (long n = 0; n < 20000000; ++n) {
        const double next = randomunitintervall();
        if (prev == a && next == b) return n;
        prev = next;
    }
    return -1;
}

const std::vector<double> kFreqs{0.1, 0.2, 0.3, 0.4};

inline substmodel f81(double t) {
    substmodel m(NUC, FEL81, kFreqs, {});
    m.settime(t);
    return m;
}

// F81 in closed form: rate scaled to 0.01 expected substitutions per PAM.
inline double f81_p(int from, int to, double t) {
    double h = 1.0;
    for (double f : kFreqs) h -= f * f;
    const double e = std::exp(-0.01 / h * t);
    return (from == to ? e : 0.0) + (1.0 - e) * kFreqs[static_cast<size_t>(to)];
}

// Probability of a code seen below state i (sum over the code's members).
inline double below(int i, int code, double t) {
    double s = 0.0;
    for (int k = 0; k < 4; ++k)
        if (members_mask(code, 4) & (1u << k)) s += f81_p(i, k, t);
    return s;
}

// pi_a P(a -> i) for a code a at the root of the local tree.
inline double above(int code, int i, double t) {
    double s = 0.0;
    for (int k = 0; k < 4; ++k)
        if (members_mask(code, 4) & (1u << k)) s += kFreqs[static_cast<size_t>(k)] * f81_p(k, i, t);
    return s;
}

inline std::string str(const std::vector<char>& v) { return std::string(v.begin(), v.end()); }

// Standard output of fn run in this process.
inline std::string capture_out(const std::function<void()>& fn) {
    std::ostringstream buf;
    std::streambuf* old = std::cout.rdbuf(buf.rdbuf());
    fn();
    std::cout.rdbuf(old);
    return buf.str();
}

inline std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) out.push_back(l);
    return out;
}

}  // namespace samplertest

#endif
