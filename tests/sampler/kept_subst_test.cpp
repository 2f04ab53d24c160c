// The substitution part kept from a step or a proposal is always the one of
// the current tree, patterns and model.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"
#include "sequence/random.h"
#include "support/subprocess.h"

using namespace samplertest;

namespace {

// n related sequences over alpha: a random ancestor with every sequence's
// own substitutions and a few deletions.
std::vector<std::string> family(unsigned seed, int n, int len, const std::string& alpha) {
    unsigned x = seed * 2654435761u + 7u;
    auto next = [&x] {
        x = x * 1103515245u + 12345u;
        return (x >> 16) & 0x7fff;
    };
    std::string root;
    for (int i = 0; i < len; ++i) root += alpha[next() % alpha.size()];
    std::vector<std::string> out;
    for (int k = 0; k < n; ++k) {
        std::string s;
        for (char c : root) {
            const unsigned r = next() % 100;
            if (r < 3) continue;
            s += r < 15 ? alpha[next() % alpha.size()] : c;
        }
        out.push_back(s);
    }
    return out;
}

// A start state (type 0, TKF1, star guide tree) under the given model.
mult_alignment* state(subarch model, const std::vector<double>& params, int n, int len) {
    const bool protein = model == JTT;
    const std::string alpha = protein ? "ARNDCQEGHILKMFPSTWYV" : "ACGT";
    const std::vector<std::string> seqs = family(static_cast<unsigned>(n * len), n, len, alpha);
    const std::string dir = make_temp_dir();
    std::string fasta, guide = "(";
    for (int i = 0; i < n; ++i) {
        fasta += ">s" + std::to_string(i) + "\n" + seqs[i] + "\n";
        guide += (i ? ",s" : "s") + std::to_string(i);
    }
    write_file(dir + "/seqs.fasta", fasta);
    write_file(dir + "/guide.tree", guide + ");\n");
    eingabe_parameter P;
    P.files.infile = dir + "/seqs.fasta";
    P.files.guidetree = dir + "/guide.tree";
    P.subst.model = model;
    P.subst.params = params;
    P.subst.freqs_given = true;
    P.subst.freqs.assign(alpha.size(), 1.0 / static_cast<double>(alpha.size()));
    P.fix = keepfixed(model, TKF1);
    P.cool.burnin = 15;
    seedrandom(31);
    testing::internal::CaptureStdout();
    mult_alignment* s = new mult_alignment(P, 0);
    testing::internal::GetCapturedStdout();
    return s;
}

std::string report(mult_alignment* s) {
    std::ostringstream os;
    os.precision(17);
    s->bericht(os);
    return os.str();
}

}  // namespace

TEST(KeptSubstitution, AlwaysThatOfTheCurrentTreeAndModel) {
    // JTT and JC69 have no rate parameter, so proposals may take over the
    // kept part; HKY's proposals change the model every time.
    struct Case {
        const char* what;
        subarch model;
        std::vector<double> params;
        int n, len;
    } cases[] = {
        {"JTT", JTT, {}, 6, 50},
        {"JC69", JC69, {}, 7, 60},
        {"HKY", HKY, {2.0}, 7, 60},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // a keeps the substitution part; b never takes it over.
        mult_alignment* a = state(c.model, c.params, c.n, c.len);
        mult_alignment* b = state(c.model, c.params, c.n, c.len);
        int fromstep = 0;
        for (int k = 1; k <= 30; ++k) {
            seedrandom(k);  // both generators: the sweep also draws from rand()
            const double before = a->loglik;
            a->maunewton();
            // An accepted step changed the log likelihood and kept its part.
            if (!bits_equal(a->loglik, before) && a->subkept && a->subkept_tree == a->told &&
                bits_equal(a->subkept_loglik, a->loglik))
                ++fromstep;
            if (a->subkept && a->subkept_tree == a->told &&
                bits_equal(a->subkept_loglik, a->loglik)) {
                ASSERT_TRUE(
                    bits_equal(a->subkept_value, a->sublik(a->pattern, a->told, a->submodel)))
                    << "cycle " << k;
            }
            a->sampparams();
            ASSERT_TRUE(bits_equal(a->loglik, a->complik(a->pattern, a->told))) << "cycle " << k;
            const int after = idum;
            seedrandom(k);
            b->maunewton();
            b->subkept = false;
            b->sampparams();
            ASSERT_EQ(idum, after) << "cycle " << k;
            ASSERT_TRUE(bits_equal(a->loglik, b->loglik)) << "cycle " << k;
        }
        EXPECT_GT(fromstep, 0);
        EXPECT_EQ(report(a), report(b));
        delete a;
        delete b;
    }
}
