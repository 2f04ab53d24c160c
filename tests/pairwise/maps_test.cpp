// Position maps, the walk along them, construction and write-back.
#include <gtest/gtest.h>

#include <random>

#include "fixtures.h"
#include "sequence/random.h"
#include "support/fatal.h"
#include "tree/treespec.h"

namespace {

std::vector<int> free_walk(const std::vector<int>& mA, const std::vector<int>& mB) {
    std::vector<int> out, pos{-1, -1};
    for (;;) {
        const int s = iter_zust(mA, mB, pos);
        out.push_back(s);
        if (s == END) break;
    }
    return out;
}

struct MapCase {
    std::vector<int> path;
    std::vector<int> mA, mB;
};

TEST(PositionMap, EncodesAdjacentGapOrderAndWalksBack) {
    const std::vector<MapCase> cases = {
        {{MATCH, DELETION}, {0, 0}, {0}},
        {{DELETION, INSERTION}, {-1}, {0}},
        {{INSERTION, DELETION}, {0}, {-1}},
        {{INSERTION, INSERTION, INSERTION}, {}, {-1, -1, -1}},
        {{}, {}, {}},
        {{DELETION, DELETION}, {-1, -1}, {}},
        {{INSERTION, MATCH, DELETION, INSERTION}, {1, 1}, {-1, 0, 1}},
    };
    for (const MapCase& c : cases) {
        std::vector<int> mA, mB;
        path_to_maps(c.path, mA, mB);
        EXPECT_EQ(mA, c.mA);
        EXPECT_EQ(mB, c.mB);
        std::vector<int> expect{START};
        expect.insert(expect.end(), c.path.begin(), c.path.end());
        expect.push_back(END);
        EXPECT_EQ(free_walk(mA, mB), expect);
    }
}

TEST(PositionMap, RandomPathsRoundTrip) {
    std::mt19937 gen(7);
    for (int rep = 0; rep < 3000; ++rep) {
        const int m = static_cast<int>(gen() % 7), n = static_cast<int>(gen() % 7);
        std::vector<int> path;
        int a = m, b = n;
        while (a > 0 || b > 0) {
            int s = static_cast<int>(gen() % 3);
            if (a == 0) s = INSERTION;
            if (b == 0) s = DELETION;
            if (s != INSERTION) --a;
            if (s != DELETION) --b;
            path.push_back(s);
        }
        std::vector<int> mA, mB;
        path_to_maps(path, mA, mB);
        for (int i = 1; i < m; ++i) EXPECT_LE(mA[i - 1], mA[i]);
        for (int j = 1; j < n; ++j) EXPECT_LE(mB[j - 1], mB[j]);

        std::vector<int> expect{START};
        expect.insert(expect.end(), path.begin(), path.end());
        expect.push_back(END);
        ASSERT_EQ(free_walk(mA, mB), expect);

        // get_zust names exactly the position pairs of the path.
        std::vector<std::vector<int>> onpath(m + 2, std::vector<int>(n + 2, NOSTATE));
        int i = -1, j = -1;
        onpath[0][0] = START;
        for (int s : path) {
            if (s != INSERTION) ++i;
            if (s != DELETION) ++j;
            onpath[i + 1][j + 1] = s;
        }
        onpath[m + 1][n + 1] = END;
        for (int x = -1; x <= m; ++x)
            for (int y = -1; y <= n; ++y) ASSERT_EQ(get_zust(mA, mB, x, y), onpath[x + 1][y + 1]);
    }
}

TEST(PositionMap, MemberWalkAgreesWithFreeWalk) {
    bioseq a = dna("ACG"), c = dna("AGT");
    alignment al2(a, c, 1.0, jc69(), indel());
    path_to_maps({MATCH, DELETION, INSERTION, MATCH}, al2.map1, al2.map2);
    EXPECT_EQ(walk(al2), free_walk(al2.map1, al2.map2));
    EXPECT_EQ(al2.get_zust(1, 0), DELETION);
    EXPECT_EQ(al2.get_zust(1, 1), INSERTION);
    EXPECT_EQ(al2.get_zust(0, 1), NOSTATE);
    EXPECT_EQ(al2.get_zust(-1, 3), NOSTATE);
    int i = 3, j = 3;
    EXPECT_EQ(al2.iter_zust(&i, &j), END);
    EXPECT_EQ(i, 3);
    EXPECT_EQ(j, 3);
}

TEST(PositionMap, SpecExampleMatchThenDeletion) {
    bioseq a = dna("AC"), b = dna("A");
    alignment al(a, b, 1.0, jc69(), indel());
    al.map1 = {0, 0};
    al.map2 = {0};
    EXPECT_EQ(walk(al), (std::vector<int>{START, MATCH, DELETION, END}));
    EXPECT_EQ(al.get_zust(1, 0), DELETION);
    EXPECT_EQ(al.get_zust(0, 0), MATCH);
    EXPECT_EQ(al.get_zust(1, 1), NOSTATE);
    EXPECT_EQ(al.get_zust(2, 1), END);
}

TEST(PositionMap, OffPathWalkIsFatal) {
    EXPECT_TRUE(ends_fatally(
        [] {
            bioseq a = dna("AC"), b = dna("A");
            alignment al(a, b, 1.0, jc69(), indel());
            al.map1 = {0, 0};
            al.map2 = {0};
            int i = 1, j = 1;
            al.iter_zust(&i, &j);
        },
        "1 und 1 ergeben keinen Zustand in alignment::iter_zust\n"));

    EXPECT_TRUE(ends_fatally(
        [] {
            std::vector<int> mA{0, 0}, mB{0}, pos{0, -1};
            iter_zust(mA, mB, pos);
        },
        "0 und -1 ergeben keinen Zustand in iter_zust\n"));

    // A pair outside the sequences is refused instead of read.
    EXPECT_TRUE(ends_fatally(
        [] {
            std::vector<int> mA{0}, mB{0};
            get_zust(mA, mB, 0, 5);
        },
        "0 und 5 liegen ausserhalb des Alignments in get_zust\n"));
}

TEST(Alignment, DefaultConstructorIsFatal) {
    EXPECT_FATAL(alignment al, "You were trying to construct an empty alignment!\n");
}

TEST(Alignment, TwoSequenceConstructorWithEmptySequences) {
    bioseq e = dna(""), b = dna("ACG");
    alignment al(e, b, 1.0, jc69(), indel(), 1.0, 2147483647UL);
    EXPECT_TRUE(al.map1.empty());
    EXPECT_EQ(al.map2, (std::vector<int>{-1, -1, -1}));
    EXPECT_EQ(walk(al), (std::vector<int>{START, INSERTION, INSERTION, INSERTION, END}));
    alignment al2(b, e, 1.0, jc69(), indel(), 1.0, 2147483647UL);
    EXPECT_EQ(al2.map1, (std::vector<int>{-1, -1, -1}));
    alignment al3(e, e, 1.0, jc69(), indel(), 1.0, 0);
    EXPECT_EQ(walk(al3), (std::vector<int>{START, END}));
}

TEST(Alignment, ModelsAreOwnedCopiesAtTheBranchTime) {
    bioseq a = dna("ACGT"), b = dna("ACGT");
    substmodel sm = jc69();
    indel im;
    alignment al(a, b, 7.5, sm, im, 1.0, 5);
    EXPECT_EQ(al.smodel->timeOf(), 7.5);
    EXPECT_EQ(al.imodel->tP, 7.5);
    EXPECT_EQ(sm.timeOf(), 1.0);
    EXPECT_EQ(al.coolval, 1.0);
    EXPECT_EQ(al.steps, 5u);
    alignment cp(al);
    EXPECT_NE(cp.smodel, al.smodel);
    EXPECT_EQ(cp.map1, al.map1);
    EXPECT_TRUE(cp.transcounts.empty());
    static_assert(!std::is_copy_assignable<alignment>::value, "no assignment");
    static_assert(
        !std::is_constructible<alignment, bioseq, bioseq, double, substmodel, indel>::value,
        "no temporaries");
}

// Two nodes joined by one branch with the given maps.
struct Branch {
    baum* x;
    baum* y;
    Branch(const std::string& sx, const std::string& sy, std::vector<int> mx, std::vector<int> my,
           double t) {
        identifier ix, iy;
        ix.name = "x";
        iy.name = "y";
        x = new baum(ix);
        y = new baum(iy);
        x->seq = dna(sx);
        y->seq = dna(sy);
        neighbor nx, ny;
        nx.brl = ny.brl = t;
        nx.node = y;
        ny.node = x;
        ny.isparent = true;
        nx.posmap = mx;
        ny.posmap = my;
        x->neighbors.push_back(nx);
        y->neighbors.push_back(ny);
    }
    ~Branch() { delete x; }
};

TEST(Alignment, BranchConstructorReadsTheStoredAlignment) {
    Branch br("ACG", "AG", {0, 0, 1}, {0, 2}, 3.0);
    alignment al(*br.x, *br.y, jc69(), indel(), 1.0, 2147483647UL);
    EXPECT_EQ(al.smodel->timeOf(), 3.0);
    EXPECT_EQ(walk(al), (std::vector<int>{START, MATCH, DELETION, MATCH, END}));
    // Reversed direction: the second node is the first sequence.
    alignment rev(*br.y, *br.x, jc69(), indel(), 1.0, 0);
    EXPECT_EQ(walk(rev), (std::vector<int>{START, MATCH, INSERTION, MATCH, END}));
}

TEST(Alignment, ConsistencyTestMessages) {
    struct Case {
        std::string sx, sy;
        std::vector<int> mx, my;
        bool writing;
        int status;
        std::string err;
    };
    const std::vector<Case> cases = {
        {"ACGT",
         "ACG",
         {0, 1, 1, 1},
         {0, 2, 2},
         false,
         1,
         "Found inconsistencies while constructing an alignment!\n2 2 1\n3 3 2\n"},
        {"ACG",
         "AC",
         {0, 0},
         {0},
         false,
         1,
         "Found inconsistencies while constructing an alignment!\n0 1 0\n1 2 0\n"},
        {"", "", {}, {}, false, 0, "Warning:there are internal sequences with length 0\n"},
        {"AC", "", {-1, -1}, {}, false, 0, "Warning:there are internal sequences with length 0\n"},
        {"AC",
         "",
         {-1},
         {},
         false,
         1,
         "Found inconsistencies while constructing an alignment!\n0 0\n1 2\n"},
    };
    for (const Case& c : cases) {
        auto r = run_in_child(
            [&c] {
                Branch br(c.sx, c.sy, c.mx, c.my, 1.0);
                alignment al(*br.x, *br.y, jc69(), indel(), 1.0, 0);
            },
            fatal_time_limit);
        if (c.status == 1) {
            EXPECT_TRUE(fatal_with(r, c.err));
            continue;
        }
        EXPECT_TRUE(r.exited);
        EXPECT_EQ(r.status, c.status) << c.err;
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(Alignment, ZurueckStoresBothMapsAfterItsTest) {
    Branch br("ACG", "AG", {0, 0, 1}, {0, 2}, 3.0);
    bioseq a = br.x->seq, b = br.y->seq;
    alignment al(a, b, 3.0, jc69(), indel(), 1.0, 0);
    path_to_maps({INSERTION, DELETION, DELETION, DELETION, INSERTION}, al.map1, al.map2);
    al.zurueck(br.x, br.y);
    EXPECT_EQ(br.x->neighbors[0].posmap, al.map1);
    EXPECT_EQ(br.y->neighbors[0].posmap, al.map2);

    EXPECT_TRUE(ends_fatally(
        [] {
            Branch b2("ACG", "AG", {0, 0, 1}, {0, 2}, 3.0);
            bioseq s1 = dna("ACG"), s2 = dna("AG");
            alignment al2(s1, s2, 3.0, jc69(), indel());
            al2.map1 = {0, 0, 0};
            al2.map2 = {0, 0};
            al2.zurueck(b2.x, b2.y);
        },
        "Found inconsistencies while writing an alignment!\n2 2 0\n3 3 0\n"));
}

}  // namespace
