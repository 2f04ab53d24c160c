// Start-up of the sampler state, its log entry, writers and accessors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sampler/mult_align.h"
#include "sampler_fixtures.h"
#include "sequence/random.h"
#include "support/fatal.h"

#include <sys/stat.h>
#include <unistd.h>

namespace {

using samplertest::all_nodes;
using samplertest::capture_out;
using samplertest::lines_of;
using samplertest::link;
using samplertest::mkleaf;
using samplertest::str;

using strings = std::vector<std::string>;

// Root leaf a (ACGT) over leaf b (ACT), 1 PAM apart.
baum* pair_tree() {
    baum* a = mkleaf("a", 0, "ACGT");
    link(a, mkleaf("b", 1, "ACT"), 1.0, "MMDM");
    return a;
}

// Root leaf r - x - (b, c).
baum* three_tree() {
    baum* r = mkleaf("r", 2, "ACGT");
    baum* x = mkleaf("", -1, "ACGT");
    link(x, mkleaf("b", 0, "ACT"), 2.0, "MMDM");
    link(x, mkleaf("c", 1, "AGGT"), 3.0, "MIMDM");
    link(r, x, 1.5, "MMMM");
    return r;
}

mult_alignment* state_of(baum* tree, const substmodel& sm = substmodel(NUC, JC69),
                         const indel& im = indel()) {
    keepfixed f(sm.model, im.model);
    cooling c;
    return new mult_alignment(sm, im, tree, f, c);
}

std::string ungapped(const std::vector<char>& row) {
    std::string s;
    for (char c : row)
        if (c != '_' && c != '-') s += c;
    return s;
}

const char* const kSeqs =
    ">a\nACGTTGCAACGTAGCTAGCTAGGA\n"
    ">b\nACGTTGCAACGTTGCTAGCAGGA\n"
    ">c\nACTTTGCAACGAAGCTAGCTAGGCA\n"
    ">d\nACGATGCAAGGTAGCTTGCTAGGA\n"
    ">e\nACGATGCAGGGTAGCTTGCAAGGA\n";

// A folder with sequences, guide tree and control file; returns its path.
std::string files(const char* seqs, const char* guide, const std::string& extra = "") {
    std::string dir = make_temp_dir();
    write_file(dir + "/seqs.fasta", seqs);
    write_file(dir + "/guide.tree", guide);
    write_file(dir + "/control.txt",
               "SUBST:\nmodel = HKY\nINDEL:\nmodel = TKF1\nparameter = (0.01, 0.011)\nFILES:\n"
               "infile = " +
                   dir + "/seqs.fasta\nguidetree = " + dir + "/guide.tree\n" + extra);
    return dir;
}

eingabe_parameter params_of(const std::string& dir) {
    eingabe_parameter P;
    P.from_file((dir + "/control.txt").c_str());
    return P;
}

}  // namespace

// ---------------------------------------------------------------------------
// Median scale

TEST(StartupScale, MedianOfUpperTriangle) {
    mult_alignment* s = state_of(pair_tree());
    struct tcase {
        std::vector<std::vector<double>> S;
        double median;
    };
    const double x = 99.0;  // below the diagonal: never read
    const std::vector<tcase> cases{
        {{}, 1.0},
        {{{1.0}}, 1.0},
        {{{1, 0.7}, {x, 1}}, 0.7},
        {{{1, 3, 1}, {x, 1, 2}, {x, x, 1}}, 2.0},
        {{{1, 6, 1, 5}, {x, 1, 2, 4}, {x, x, 1, 3}, {x, x, x, 1}}, 3.5},
    };
    for (auto c : cases) EXPECT_DOUBLE_EQ(s->median_scale(c.S), c.median) << c.S.size();
    delete s;
}

// ---------------------------------------------------------------------------
// Pairwise distances

TEST(StartupDistances, TwoPassesWithRescaledRates) {
    mult_alignment* s = state_of(pair_tree());
    dataset ds;
    for (auto& [n, q] : std::vector<std::pair<std::string, std::string>>{
             {"x", "ACGTTGCAACGTAGCT"}, {"y", "ACGTTGCATCGTAGGT"}, {"z", "ACGATGCAACGAAGCTTA"}}) {
        ds.names.emplace_back(n.begin(), n.end());
        ds.seqs.emplace_back(q.begin(), q.end());
    }
    ds.type = 4;
    seedrandom(11);
    std::vector<std::vector<double>> D;
    const std::string out = capture_out([&] { s->compute_distmat(ds, D); });
    strings ls = lines_of(out);
    ASSERT_EQ(ls.size(), 8u) << out;
    const std::regex first(R"(([xyz]) ([xyz]) distance=(\S+) scale=(\S+))");
    const std::regex second(R"(([xyz]) ([xyz]) distance=(\S+))");
    const strings pairs{"x y", "x z", "y z"};
    std::vector<double> scales;
    for (int k = 0; k < 3; ++k) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(ls[k], m, first)) << ls[k];
        EXPECT_EQ(m[1].str() + " " + m[2].str(), pairs[k]);
        scales.push_back(std::stod(m[4].str()));
    }
    EXPECT_EQ(ls[3], "Second round of EM algorithm.");
    const std::string pre = "Insertion rate multiplied with ";
    ASSERT_EQ(ls[4].substr(0, pre.size()), pre);
    const double mult = std::stod(ls[4].substr(pre.size()));
    std::sort(scales.begin(), scales.end());
    EXPECT_NEAR(mult, scales[1], 1e-5 * scales[1]);
    EXPECT_NEAR(s->indmodel.params[0], 0.001 * mult, 1e-5 * 0.001 * mult);
    EXPECT_NEAR(s->indmodel.params[1], 0.0011 * mult, 1e-5 * 0.0011 * mult);

    ASSERT_EQ(D.size(), 3u);
    const int idx[3][2] = {{0, 1}, {0, 2}, {1, 2}};
    for (int k = 0; k < 3; ++k) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(ls[5 + k], m, second)) << ls[5 + k];
        EXPECT_EQ(m[1].str() + " " + m[2].str(), pairs[k]);
        const double d = D[idx[k][0]][idx[k][1]];
        EXPECT_NEAR(std::stod(m[3].str()), d, 1e-5 * d);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(D[i][i], 0.0);
        for (int j = 0; j < 3; ++j) {
            EXPECT_EQ(D[i][j], D[j][i]);
            if (i != j) {
                EXPECT_GE(D[i][j], 1e-6);
                EXPECT_LE(D[i][j], 1000.0);
            }
        }
    }
    delete s;
}

TEST(StartupDistances, EmptySequenceIsEstimated) {
    mult_alignment* s = state_of(pair_tree());
    dataset ds;
    for (auto& [n, q] : std::vector<std::pair<std::string, std::string>>{
             {"x", "ACGTTGCAAC"}, {"e", ""}, {"z", "ACGATGCAACG"}}) {
        ds.names.emplace_back(n.begin(), n.end());
        ds.seqs.emplace_back(q.begin(), q.end());
    }
    ds.type = 4;
    std::vector<std::vector<double>> D;
    capture_out([&] { s->compute_distmat(ds, D); });
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            if (i != j) {
                EXPECT_TRUE(std::isfinite(D[i][j]));
                EXPECT_GE(D[i][j], 1e-6);
                EXPECT_LE(D[i][j], 1000.0);
            }
    delete s;
}

// ---------------------------------------------------------------------------
// The start state

TEST(StartupState, CompleteStateForEveryType) {
    const char* guide = "((a:2,b:3):1,c:4,(d:2,e:1):2);";
    for (int type : {0, 1, 2}) {
        std::string dir = files(kSeqs, guide);
        eingabe_parameter P = params_of(dir);
        seedrandom(5 + type);
        mult_alignment* s = nullptr;
        const std::string out = capture_out([&] { s = new mult_alignment(P, type); });
        strings ls = lines_of(out);
        ASSERT_FALSE(ls.empty());
        EXPECT_EQ(ls.back(), "Optimising branch lengths");
        EXPECT_EQ(ls.size(), type == 0 ? 1u : 2u * 10 + 4 + 1);

        EXPECT_EQ(s->counter, 0u);
        EXPECT_EQ(s->tnew, nullptr);
        EXPECT_EQ(s->tempali, 1.0);
        EXPECT_EQ(s->tempparam, 1.0);
        EXPECT_EQ(s->rateali, 0.0);
        EXPECT_EQ(s->rateparam, 0.0);
        EXPECT_EQ(s->widthindex, 8u);
        EXPECT_EQ(s->widthround, 0u);
        EXPECT_TRUE(s->widthdown);
        EXPECT_EQ(s->widthgain, std::vector<double>(8, 0.0));
        EXPECT_EQ(s->widthcount, std::vector<int>(8, 0));
        EXPECT_EQ(s->spez(), 5u);

        ASSERT_TRUE(s->told->isRoot());
        ASSERT_EQ(s->told->neighbors.size(), 1u);
        std::vector<baum*> nodes;
        all_nodes(s->told, nullptr, nodes);
        EXPECT_EQ(nodes.size(), 8u);
        for (baum* n : nodes) {
            EXPECT_TRUE(n->neighbors.size() == 1 || n->neighbors.size() == 3);
            for (std::size_t k = 0; k < n->neighbors.size(); ++k) {
                baum* c = n->neighbors[k].node;
                if (n->neighbors[k].isparent) continue;
                const double t = n->neighbors[k].brl;
                EXPECT_EQ(c->neighbors[c->whichone(n)].brl, t);
                EXPECT_GE(t, 1e-6);
                EXPECT_LE(t, 1000.0);
                // Every length is the best time of its branch's alignment.
                alignment al(*n, *c, s->submodel, s->indmodel, s->cool.coolali, 2147483647);
                EXPECT_NEAR(al.opt_for_giv(), t, 1e-3 * t + 1e-4);
            }
        }

        const strings names{"a", "b", "c", "d", "e"};
        const strings seqs{"ACGTTGCAACGTAGCTAGCTAGGA", "ACGTTGCAACGTTGCTAGCAGGA",
                           "ACTTTGCAACGAAGCTAGCTAGGCA", "ACGATGCAAGGTAGCTTGCTAGGA",
                           "ACGATGCAGGGTAGCTTGCAAGGA"};
        ASSERT_EQ(s->malign.spez(), 5);
        EXPECT_EQ(str(s->malign.names.back()), s->told->id.name);
        for (int i = 0; i < 5; ++i) {
            const std::string n = str(s->malign.names[i]);
            const auto at = std::find(names.begin(), names.end(), n) - names.begin();
            ASSERT_LT(at, 5) << n;
            EXPECT_EQ(ungapped(s->malign.seqs[i]), seqs[at]);
        }
        compact_subst_pattern pat(s->malign);
        EXPECT_EQ(s->complik(pat, s->told), s->loglik);
        EXPECT_TRUE(std::isfinite(s->loglik));

        if (type == 0) {
            EXPECT_EQ(s->indmodel.params, (std::vector<double>{0.01, 0.011}));
        } else {
            const std::string pre = "Insertion rate multiplied with ";
            const double mult = std::stod(ls[12].substr(pre.size()));
            EXPECT_NEAR(s->indmodel.params[0], 0.01 * mult, 1e-5 * 0.01 * mult);
            EXPECT_NEAR(s->indmodel.params[1], 0.011 * mult, 1e-5 * 0.011 * mult);
        }
        delete s;
    }
}

TEST(StartupState, SameSeedSameState) {
    std::string dir = files(kSeqs, "(a,b,c,d,e);");
    eingabe_parameter P = params_of(dir);
    std::string text[2];
    for (auto& t : text) {
        seedrandom(77);
        mult_alignment* s = nullptr;
        capture_out([&] { s = new mult_alignment(P, 0); });
        std::ostringstream os;
        s->bericht(os);
        t = os.str();
        delete s;
    }
    EXPECT_EQ(text[0], text[1]);
}

TEST(StartupState, TryToImproveTakesOnlyBetterTrees) {
    int taken = 0;
    for (int k = 1; k <= 12; ++k) {
        mult_alignment* s = state_of(three_tree());
        seedrandom(k);
        const double before = s->loglik;
        baum* old = s->told;
        const bool better = s->trytoimprove();
        taken += better;
        if (better) {
            EXPECT_GT(s->loglik, before);
        } else {
            EXPECT_EQ(s->loglik, before);
            EXPECT_EQ(s->told, old);
        }
        ASSERT_TRUE(s->told->isRoot());
        EXPECT_EQ(str(s->malign.names.back()), s->told->id.name);
        compact_subst_pattern pat(s->malign);
        EXPECT_EQ(s->complik(pat, s->told), s->loglik);
        delete s;
    }
    EXPECT_GT(taken, 0);
}

// ---------------------------------------------------------------------------
// Start-up failures

TEST(StartupErrors, Messages) {
    struct tcase {
        const char* what;
        const char* seqs;
        const char* guide;
        int type;
        std::string err;  // "@" stands for the folder
    };
    const std::vector<tcase> cases{
        {"no sequence file", nullptr, "(a,b);", 0, "Cannot open sequence file @/none.fasta\n"},
        {"one sequence", ">a\nACGT\n", "(a);", 1,
         "There are 1 sequences.\nThere is nothing to align.\n"},
        {"one-leaf tree", kSeqs, "(a:1);", 0, "The guide tree has fewer than two leaves\n"},
        {"one-leaf tree, NJ", kSeqs, "a;", 1, "The guide tree has fewer than two leaves\n"},
        {"leaf twice", kSeqs, "((a,b),c,(d,a));", 0, "One name was found twice in the tree\n"},
        {"negative length", kSeqs, "((a:1,b:-0.5):1,c,d,e);", 0,
         "The guide tree has a negative branch length (-0.5)\n"},
    };
    for (const auto& c : cases) {
        std::string dir = files(c.seqs ? c.seqs : "", c.guide);
        eingabe_parameter P = params_of(dir);
        if (!c.seqs) P.files.infile = dir + "/none.fasta";
        ChildResult r = run_in_child([&] { mult_alignment s(P, c.type); }, 120);
        std::string err = c.err;
        const auto at = err.find('@');
        if (at != std::string::npos) err.replace(at, 1, dir);
        EXPECT_TRUE(fatal_with(r, err)) << c.what;
    }
}

TEST(StartupErrors, NegativeLengthsAreOverwrittenByNeighbourJoining) {
    std::string dir = files(kSeqs, "((a:1,b:-0.5):1,c,d,e);");
    eingabe_parameter P = params_of(dir);
    ChildResult r = run_in_child(
        [&] {
            mult_alignment s(P, 1);
            if (!std::isfinite(s.loglik)) _exit(3);
        },
        120);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

TEST(StartupErrors, GuideTreeFaultsComeBeforeTheDistances) {
    struct tcase {
        const char* what;
        const char* seqs;
        const char* guide;  // nullptr: no guide-tree file
        std::string err;    // "@" stands for the folder
    };
    const std::vector<tcase> cases{
        {"no tree file", kSeqs, nullptr, "cannot open file @/guide.tree\n"},
        {"no semicolon", kSeqs, "((a,b),c,d,e)", "No semicolon at the end of the tree\n"},
        {"unknown leaf", kSeqs, "((a,b),c,x);",
         "Taxon x was not found in the following data set:\na\nb\nc\nd\ne\n"},
        {"leaf twice", kSeqs, "((a,b),c,(d,a));", "One name was found twice in the tree\n"},
        {"two sequences named a", ">a\nACGT\n>b\nACGA\n>a\nACGG\n", "(a,b);",
         "Two sequences in the data set have the same name!\n"},
    };
    for (int type : {1, 2}) {
        for (const auto& c : cases) {
            std::string dir = files(c.seqs, c.guide ? c.guide : "");
            if (!c.guide) std::remove((dir + "/guide.tree").c_str());
            eingabe_parameter P = params_of(dir);
            ChildResult r = run_in_child([&] { mult_alignment s(P, type); }, 120);
            std::string err = c.err;
            const auto at = err.find('@');
            if (at != std::string::npos) err.replace(at, 1, dir);
            EXPECT_TRUE(fatal_with(r, err)) << c.what << ": no distance before the check";
        }
    }
}

TEST(StartupErrors, SequenceFileFaultsComeBeforeGuideTreeFaults) {
    struct tcase {
        const char* what;
        const char* seqs;
        const char* guide;  // nullptr: no guide-tree file
        const char* err;
    };
    const std::vector<tcase> cases{
        {"not FASTA, no tree file", "ACGT\n", nullptr,
         "The sequence file is not in FASTA format!\n"},
        {"nameless record, tree without semicolon", ">a\nAC\n>\nGT\n", "(a,b)",
         "There are sequences without names!\n"},
        {"nameless left-out record", ">a\nAC\n>b\nAC\n>\nGT\n", "(a,b);",
         "There are sequences without names!\n"},
        {"one sequence, unreadable tree", ">a\nACGT\n", "(a,b)];",
         "There are 1 sequences.\nThere is nothing to align.\n"},
        {"left-out rows still count", ">a\nACGT\n>b\nACGA\n>a\nACGG\n", "(b,c);",
         "Taxon c was not found in the following data set:\na\nb\na\n"},
    };
    for (const auto& c : cases) {
        std::string dir = files(c.seqs, c.guide ? c.guide : "");
        if (!c.guide) std::remove((dir + "/guide.tree").c_str());
        eingabe_parameter P = params_of(dir);
        ChildResult r = run_in_child([&] { mult_alignment s(P, 1); }, 120);
        EXPECT_TRUE(fatal_with(r, c.err)) << c.what;
    }
}

// The guide-tree file is read once, a faulty one too: from a named pipe,
// which gives its text to one reader only, its fault is still reported.
TEST(StartupErrors, GuideTreeFileIsReadOnce) {
    struct tcase {
        const char* guide;
        const char* err;  // nullptr: the start-up completes
    };
    const std::vector<tcase> cases{
        {"((a,b),c,d,e);", nullptr},
        {"((a,b),c,d,e)", "No semicolon at the end of the tree\n"},
        {"((a,b),c,d,e)];", "Unreadable tree format\n"},
    };
    for (const auto& c : cases) {
        const std::string dir = files(kSeqs, "");
        const std::string pipe = dir + "/guide.tree";
        std::remove(pipe.c_str());
        ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
        eingabe_parameter P = params_of(dir);
        ChildResult r = run_in_child(
            [&] {
                std::thread([&] { write_file(pipe, c.guide); }).detach();
                mult_alignment s(P, 0);
            },
            30);
        if (c.err != nullptr) EXPECT_TRUE(fatal_with(r, c.err)) << c.guide;
        else EXPECT_EQ(r.status, 0) << c.guide << ": " << r.err;
    }
}

TEST(StartupWarnings, SequencesLeftOutOfTheGuideTreeAreNamed) {
    struct tcase {
        const char* guide;
        int type;
        std::string missing;
    };
    const std::vector<tcase> cases{
        {"((a,b),c,d);", 0, "e\n"},
        {"(a,(c,e));", 1, "b\nd\n"},
        {"((a,b),c,d,e);", 0, ""},
    };
    for (const auto& c : cases) {
        std::string dir = files(kSeqs, c.guide);
        eingabe_parameter P = params_of(dir);
        const std::size_t leaves = 5 - std::count(c.missing.begin(), c.missing.end(), '\n');
        ChildResult r = run_in_child(
            [&] {
                mult_alignment s(P, c.type);
                std::exit(s.malign.seqs.size() == leaves ? 0 : 3);
            },
            120);
        EXPECT_EQ(r.status, 0) << c.guide;
        const std::string warning =
            c.missing.empty()
                ? ""
                : "WARNING: The guide tree does not name these sequences, which are left out:\n" +
                      c.missing;
        EXPECT_EQ(r.err, warning) << c.guide;
    }
}

TEST(StartupLeftOut, NothingIsComputedForSequencesTheTreeLeavesOut) {
    // Rows a, b, c of kSeqs are named in every case; the left-out rows would
    // change the distances, the frequencies or the alphabet if they counted.
    const std::string named = std::string(kSeqs).substr(0, std::string(kSeqs).find(">d"));
    struct tcase {
        const char* what;
        std::string seqs;
        int type;
    };
    const std::vector<tcase> cases{
        {"two left out, pairwise start", kSeqs, 1},
        {"left out in the middle, interchanges",
         ">a\nACGTTGCAACGTAGCTAGCTAGGA\n>x\nGGGGGGGGGGGGGGGGGGGGGGG\n"
         ">b\nACGTTGCAACGTTGCTAGCAGGA\n>c\nACTTTGCAACGAAGCTAGCTAGGCA\n",
         2},
        {"left-out protein", named + ">p\nMKLEFIPQWYHDNRSTV\n", 0},
        {"left-out protein, pairwise start", named + ">p\nMKLEFIPQWYHDNRSTV\n", 1},
        {"left-out row of no alphabet", named + ">p\nAC!GJ#T\n", 1},
        {"left-out row with U beside a protein", named + ">p\nACGUUUE\n", 1},
    };
    // The frequencies of a, b and c alone, normalised.
    std::vector<double> expect(4, 0.0);
    for (char ch : named) {
        const auto k = std::string("ACGT").find(ch);  // the names are lower case
        if (k != std::string::npos) expect[k] += 1.0;
    }
    const double total = expect[0] + expect[1] + expect[2] + expect[3];
    for (double& f : expect) f /= total;

    for (const auto& c : cases) {
        std::string dir = files(c.seqs.c_str(), "((a,b),c);");
        eingabe_parameter P = params_of(dir);
        ChildResult r = run_in_child(
            [&] {
                mult_alignment s(P, c.type);
                if (s.submodel.retalf() != NUC) _exit(3);
                if (s.malign.spez() != 3) _exit(4);
                for (std::size_t k = 0; k < 4; ++k)
                    if (std::fabs(s.submodel.freqs[k] - expect[k]) > 1e-15) _exit(5);
            },
            120);
        EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
        // Each pass of the pairwise start writes one line per pair of named sequences.
        strings first, second;
        for (const auto& line : lines_of(r.out)) {
            if (line.find(" distance=") == std::string::npos) continue;
            const std::string pair = line.substr(0, line.find(" distance="));
            (line.find(" scale=") != std::string::npos ? first : second).push_back(pair);
        }
        const strings pairs = c.type == 0 ? strings{} : strings{"a b", "a c", "b c"};
        EXPECT_EQ(first, pairs) << c.what;
        EXPECT_EQ(second, pairs) << c.what;
    }
}

// Text just before a one-member group: the reader takes the group's member as
// the leaf, and the rows kept are those of the leaves it reads.
TEST(StartupLeftOut, TextBeforeAOneMemberGroup) {
    struct tcase {
        const char* seqs;
        const char* guide;
        const char* left_out;
    };
    const std::vector<tcase> cases{
        {">AB\nACGTTGCAACGTAGCTAGCTAGGA\n>B\nACGTTGCAACGTTGCTAGCAGGA\n"
         ">C\nACTTTGCAACGAAGCTAGCTAGGCA\n>D\nACGATGCAAGGTAGCTTGCTAGGA\n>E\nACGTAGCTAGGA\n",
         "(AB:1(C),D,E);", "AB\nC\n"},
        {">x\nACGTTGCAACGTAGCTAGCTAGGA\n>(A\nACGTTGCAACGTTGCTAGCAGGA\n"
         ">D\nACGATGCAAGGTAGCTTGCTAGGA\n>E\nACGTAGCTAGGA\n",
         "(x(A),D,E);", "x\n"},
    };
    for (const auto& c : cases) {
        std::string dir = files(c.seqs, c.guide);
        eingabe_parameter P = params_of(dir);
        ChildResult r = run_in_child(
            [&] {
                mult_alignment s(P, 0);
                if (s.malign.spez() != 3) _exit(3);
            },
            120);
        EXPECT_EQ(r.status, 0) << c.guide << ": " << r.err;
        EXPECT_EQ(r.err,
                  std::string("WARNING: The guide tree does not name these sequences, which are "
                              "left out:\n") +
                      c.left_out)
            << c.guide;
    }
}

TEST(StartupWarnings, NamesThatAgreeInTheirFirstTenCharacters) {
    const std::vector<std::string> rows{"ACGTTGCAACGTAGCTAGCTAGGA", "ACGTTGCAACGTTGCTAGCAGGA",
                                        "ACTTTGCAACGAAGCTAGCTAGGCA", "ACGATGCAAGGTAGCTTGCTAGGA",
                                        "ACGATGCAGGGTAGCTTGCAAGGA"};
    const std::string cut =
        "WARNING: The result alignment keeps only the first ten characters of each name, and cuts "
        "these, which the result tree keeps whole:\n";
    const std::string head =
        "WARNING: The result alignment keeps only the first ten characters of each name, and these "
        "sequences share them:\n";
    struct tcase {
        const char* what;
        strings names;
        const char* guide;
        std::string warning;  // after the header line; empty: no warning
        std::string longer;   // the names that are cut
    };
    const std::vector<tcase> cases{
        {"all distinct",
         {"alpha", "beta", "gamma", "delta", "eps"},
         "((alpha,beta),gamma,(delta,eps));",
         "",
         ""},
        {"two coinciding",
         {"sample_0001", "b", "sample_0002", "d", "e"},
         "((sample_0001,b),sample_0002,(d,e));",
         "sample_0001\nsample_0002\n",
         "sample_0001\nsample_0002\n"},
        {"ten characters, distinct",
         {"abcdefghij", "abcdefghik", "abcdefghi", "x", "y"},
         "((abcdefghij,abcdefghik),abcdefghi,(x,y));",
         "",
         ""},
        {"ten characters and a longer name",
         {"x", "abcdefghijk", "y", "abcdefghij", "z"},
         "((x,abcdefghijk),y,(abcdefghij,z));",
         "abcdefghijk\nabcdefghij\n",
         "abcdefghijk\n"},
        {"a group of four and a pair, in file order",
         {"sample_0001", "longname_A", "sample_0002", "sample_0003", "longname_AB", "sample_0004"},
         "((sample_0001,longname_A),sample_0002,(sample_0003,longname_AB),sample_0004);",
         "sample_0001\nsample_0002\nsample_0003\nsample_0004\n\nlongname_A\nlongname_AB\n",
         "sample_0001\nsample_0002\nsample_0003\nlongname_AB\nsample_0004\n"},
        {"a left-out sequence does not count",
         {"sample_0001", "b", "sample_0002", "d", "e"},
         "((sample_0001,b),d,e);",
         "",
         "sample_0001\n"},
        {"distinct, and longer than ten",
         {"Escherichia_coli", "Bacillus_subtilis", "c", "d", "e"},
         "((Escherichia_coli,Bacillus_subtilis),c,(d,e));",
         "",
         "Escherichia_coli\nBacillus_subtilis\n"},
    };
    for (const auto& c : cases) {
        std::string seqs;
        for (std::size_t i = 0; i < c.names.size(); ++i)
            seqs += ">" + c.names[i] + "\n" + rows[i % rows.size()] + "\n";
        std::string dir = files(seqs.c_str(), c.guide);
        eingabe_parameter P = params_of(dir);
        ChildResult r = run_in_child([&] { mult_alignment s(P, 0); }, 120);
        EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
        std::string err = r.err;
        const std::string left =
            "WARNING: The guide tree does not name these sequences, which are left out:\n";
        if (err.compare(0, left.size(), left) == 0) err.erase(0, err.find('\n', left.size()) + 1);
        EXPECT_EQ(err, (c.longer.empty() ? "" : cut + c.longer) +
                           (c.warning.empty() ? "" : head + c.warning))
            << c.what;
    }
}

// ---------------------------------------------------------------------------
// Log entry, writers and accessors

TEST(StartupWriters, ParameterLines) {
    struct tcase {
        substmodel sm;
        indel im;
        std::string text;
    };
    std::vector<double> f{0.25, 0.25, 0.25, 0.25};
    const std::vector<tcase> cases{
        {substmodel(NUC, JC69), indel(std::vector<double>{0.01, 0.011}, TKF1),
         "substitution model: \nindel model: 0.01 0.011 \n"},
        {substmodel(NUC, HKY, f, std::vector<double>{2.5}),
         indel(std::vector<double>{0.02, 0.0225, 0.5}, TKF2),
         "substitution model: 2.5 \nindel model: 0.02 0.0225 0.5 \n"},
    };
    for (const auto& c : cases) {
        mult_alignment* s = state_of(pair_tree(), c.sm, c.im);
        std::ostringstream os;
        s->print_params(os);
        EXPECT_EQ(os.str(), c.text);
        delete s;
    }
}

TEST(StartupWriters, LogEntryLayout) {
    mult_alignment* s = state_of(pair_tree());
    ASSERT_EQ(str(s->malign.seqs[0]), "AC_T");
    std::ostringstream ll;
    ll << s->loglik;
    std::ostringstream os;
    s->bericht(os);
    EXPECT_EQ(os.str(),
              "Step 0:\nlog likelihood = " + ll.str() +
                  "\noptimal delta = 1\nsubstitution model: \nindel model: 0.001 0.0011 \n"
                  "tree : (b:0.500000,a:0.500000);\nalignment :\n"
                  "         2         4\nb         AC-T\na         ACGT\n\n");
    // The written rows keep '-' as their gap.
    EXPECT_EQ(str(s->malign.seqs[0]), "AC-T");
    std::ostringstream again;
    s->print_phylip(again);
    EXPECT_EQ(again.str(), "         2         4\nb         AC-T\na         ACGT\n");
    delete s;
}

TEST(StartupWriters, ScheduleAccessors) {
    mult_alignment* s = state_of(three_tree());
    EXPECT_EQ(s->spez(), 3u);
    struct tcase {
        std::uint32_t counter, reportafter, burnin, maxsteps;
        bool report, inburnin, inrange;
    };
    const std::vector<tcase> cases{
        {0, 1000, 1000, 4294967295u, true, true, true},
        {999, 1000, 1000, 1000, false, true, true},
        {1000, 1000, 1000, 1000, true, false, false},
        {7, 1, 2, 8, true, false, true},
        {0, 0, 2, 0, true, true, false},
        {3, 0, 2, 5, false, false, true},
        {4294967294u, 2, 4294967295u, 4294967295u, true, true, true},
    };
    for (const auto& c : cases) {
        s->cool.reportafter = c.reportafter;
        s->cool.burnin = c.burnin;
        s->cool.maxsteps = c.maxsteps;
        s->setcounter(c.counter);
        EXPECT_EQ(s->step(), c.counter);
        EXPECT_EQ(s->report(), c.report) << c.counter << " " << c.reportafter;
        EXPECT_EQ(s->burnin(), c.inburnin) << c.counter;
        EXPECT_EQ(s->inrange(), c.inrange) << c.counter;
    }
    s->cool.reportafter = 1000;
    for (auto [from, to] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {1500, 500}, {1000, 0}, {999, 0}, {0, 0}}) {
        s->setcounter(from);
        s->counterreset();
        EXPECT_EQ(s->step(), to) << from;
    }
    EXPECT_EQ(s->delta(), 1.0);
    EXPECT_EQ(s->likelihood(), s->loglik);
    delete s;
}

TEST(StartupWriters, RerootKeepsDerivedValues) {
    mult_alignment* s = state_of(three_tree());
    bool moved = false;
    for (int k = 1; k <= 20 && !moved; ++k) {
        seedrandom(k);
        s->toldWurz();
        moved = s->told->id.name != "r";
        ASSERT_TRUE(s->told->isRoot());
        ASSERT_EQ(s->told->neighbors.size(), 1u);
        EXPECT_EQ(str(s->malign.names.back()), s->told->id.name);
        compact_subst_pattern pat(s->malign);
        EXPECT_EQ(s->complik(pat, s->told), s->loglik);
    }
    EXPECT_TRUE(moved);
    delete s;
}
