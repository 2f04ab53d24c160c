// alphabets, state codes and model kinds.
#include "sequence/seqcode.h"

#include "support/fatal.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Code {
    int code;
    char letter;
    std::vector<int> members;
};

// The code tables, written out by hand.
const std::vector<Code> kBases = {
    {0, 'A', {0}},        {1, 'C', {1}},        {2, 'G', {2}},           {3, 'T', {3}},
    {4, 'R', {0, 2}},     {5, 'Y', {1, 3}},     {6, 'M', {0, 1}},        {7, 'W', {0, 3}},
    {8, 'S', {1, 2}},     {9, 'K', {2, 3}},     {10, 'B', {1, 2, 3}},    {11, 'D', {0, 2, 3}},
    {12, 'H', {0, 1, 3}}, {13, 'V', {0, 1, 2}}, {14, 'N', {0, 1, 2, 3}},
};

std::vector<Code> amino_acids() {
    const std::string letters = "ARNDCQEGHILKMFPSTWYV";
    std::vector<Code> t;
    for (int i = 0; i < 20; ++i) t.push_back({i, letters[i], {i}});
    t.push_back({20, 'B', {2, 3}});
    t.push_back({21, 'Z', {5, 6}});
    std::vector<int> all;
    for (int i = 0; i < 20; ++i) all.push_back(i);
    t.push_back({22, 'X', all});
    return t;
}

// Expected nucleotide code of a byte, -1 when it is not a nucleotide letter.
int expected_base(int byte) {
    if (byte == 'U') return 3;
    for (const auto& b : kBases)
        if (b.letter == byte) return b.code;
    return -1;
}

int expected_amac(int byte) {
    for (const auto& a : amino_acids())
        if (a.letter == byte) return a.code;
    return -1;
}

std::string byte_text(int byte) { return std::string(1, static_cast<char>(byte)); }

std::vector<int> mask_members(const std::vector<bool>& mask) {
    std::vector<int> m;
    for (size_t s = 0; s < mask.size(); ++s)
        if (mask[s]) m.push_back(static_cast<int>(s));
    return m;
}

}  // namespace

TEST(Seqcode, EnumerationValues) {
    EXPECT_EQ(NUC, 4);
    EXPECT_EQ(AA, 20);
    const subarch models[] = {GENREV, TAMNEI, HKY,     KIMURA2P, KIMURA3P, FEL81, JC69,
                              MV2000, JTT,    DAYHOFF, MTREV24,  BLOSUM62, SH94};
    for (int i = 0; i < 13; ++i) EXPECT_EQ(static_cast<int>(models[i]), i);
    EXPECT_EQ(TKF1, 0);
    EXPECT_EQ(TKF2, 1);
    EXPECT_EQ(FID, 2);
}

TEST(Seqcode, NucleotideCodesRoundTrip) {
    for (const auto& b : kBases) {
        SCOPED_TRACE(b.letter);
        EXPECT_EQ(basetochar(b.code), b.letter);
        EXPECT_EQ(state_to_char(b.code, NUC), b.letter);
        EXPECT_EQ(chartobase(b.letter), b.code);
        EXPECT_EQ(whichbase(b.letter, 4), b.code);
        EXPECT_EQ(whichbase(state_to_char(b.code, NUC), 4), b.code);
        std::vector<int> list{99, 98};
        chartobase(b.letter, list);
        EXPECT_EQ(list, b.members);
        std::vector<bool> mask(4, true);
        whichwildcard(b.code, mask);
        EXPECT_EQ(mask_members(mask), b.members);
        // whichwc lists nucleotide members in ascending order.
        std::vector<int> wc{7};
        whichwc(b.letter, wc, 4);
        EXPECT_EQ(wc, b.members);
        std::vector<bool> m2(4, true);
        whichbase(m2, b.letter);
        EXPECT_EQ(mask_members(m2), b.members);
    }
    // U is read as T and never written back.
    EXPECT_EQ(chartobase('U'), 3);
    EXPECT_EQ(whichbase('U', 4), 3);
    EXPECT_EQ(basetochar(3), 'T');
    std::vector<int> list;
    chartobase('U', list);
    EXPECT_EQ(list, std::vector<int>{3});
}

TEST(Seqcode, AminoAcidCodesRoundTrip) {
    for (const auto& a : amino_acids()) {
        SCOPED_TRACE(a.letter);
        EXPECT_EQ(amactochar(a.code), a.letter);
        EXPECT_EQ(state_to_char(a.code, AA), a.letter);
        EXPECT_EQ(chartoamac(a.letter), a.code);
        EXPECT_EQ(whichbase(a.letter, 20), a.code);
        EXPECT_EQ(whichbase(state_to_char(a.code, AA), 20), a.code);
        std::vector<int> list{99};
        chartoamac(a.letter, list);
        EXPECT_EQ(list, a.members);
        std::vector<bool> mask(20, true);
        whichwildcard(a.code, mask);
        EXPECT_EQ(mask_members(mask), a.members);
        std::vector<bool> m2(20, true);
        whichbase(m2, a.letter);
        EXPECT_EQ(mask_members(m2), a.members);
    }
}

TEST(Seqcode, WhichwcListsBAndZReversed) {
    std::vector<int> m;
    whichwc('B', m, 20);
    EXPECT_EQ(m, (std::vector<int>{3, 2}));
    whichwc('Z', m, 20);
    EXPECT_EQ(m, (std::vector<int>{6, 5}));
    whichwc('X', m, 20);
    EXPECT_EQ(m.size(), 20u);
    whichwc('B', m, 4);
    EXPECT_EQ(m, (std::vector<int>{1, 2, 3}));
}

TEST(Seqcode, WhichwcFailures) {
    std::vector<int> m;
    EXPECT_FATAL(whichwc('U', m, 4), "Unknown base U in function whichwc\n");
    EXPECT_FATAL(whichwc('X', m, 4), "Unknown base X in function whichwc\n");
    EXPECT_FATAL(whichwc('-', m, 4), "Unknown base - in function whichwc\n");
    EXPECT_FATAL(whichwc('J', m, 20), "Unknown amino acid: J in function whichwc\n");
    EXPECT_FATAL(whichwc('a', m, 20), "Unknown amino acid: a in function whichwc\n");
    EXPECT_FATAL(whichwc('A', m, 15), "Unknown alphabet in function whichwc\n");
    std::vector<bool> mask(15);
    EXPECT_FATAL(whichbase(mask, 'A'), "Unknown alphabet in function whichwc\n");
    std::vector<bool> mask4(4);
    EXPECT_FATAL(whichbase(mask4, 'U'), "Unknown base U in function whichwc\n");
}

TEST(Seqcode, EveryByteAgainstChartobase) {
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        const char c = static_cast<char>(byte);
        const int want = expected_base(byte);
        if (want >= 0) {
            EXPECT_EQ(chartobase(c), want);
        } else {
            EXPECT_FATAL(chartobase(c), "Unknown symbol for base: " + byte_text(byte) +
                                            " in function chartobase\n");
        }
    }
}

TEST(Seqcode, EveryByteAgainstChartoamac) {
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        const char c = static_cast<char>(byte);
        const int want = expected_amac(byte);
        if (want >= 0) {
            EXPECT_EQ(chartoamac(c), want);
        } else {
            EXPECT_FATAL(chartoamac(c), "Unknown symbol for amino acid: " + byte_text(byte) +
                                            " in function chartoamac\n");
        }
    }
}

TEST(Seqcode, EveryByteAgainstWhichbase) {
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        const char c = static_cast<char>(byte);
        const int base = expected_base(byte), amac = expected_amac(byte);
        if (base >= 0) EXPECT_EQ(whichbase(c, 4), base);
        else
            EXPECT_FATAL(whichbase(c, 4), "Unknown symbol for base: " + byte_text(byte) +
                                              " in function chartobase\n");
        if (amac >= 0) EXPECT_EQ(whichbase(c, 20), amac);
        else
            EXPECT_FATAL(whichbase(c, 20), "Unknown symbol for amino acid: " + byte_text(byte) +
                                               " in function chartoamac\n");
    }
}

TEST(Seqcode, EveryByteAgainstTheListForms) {
    const auto aas = amino_acids();
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        const char c = static_cast<char>(byte);
        std::vector<int> want_base, want_amac;
        const int b = expected_base(byte), a = expected_amac(byte);
        if (b >= 0) want_base = kBases[b].members;
        if (a >= 0) want_amac = aas[a].members;
        std::vector<int> got{42, 43};
        chartobase(c, got);
        EXPECT_EQ(got, want_base);
        got = {42};
        chartoamac(c, got);
        EXPECT_EQ(got, want_amac);
    }
}

TEST(Seqcode, EdgeLetters) {
    // X is an amino-acid symbol only; J, O, U are not amino-acid symbols.
    std::vector<int> m;
    chartobase('X', m);
    EXPECT_TRUE(m.empty());
    for (char c : {'J', 'O', 'U', '_', '-', '*', '?', 'a', '1'}) {
        chartoamac(c, m);
        EXPECT_TRUE(m.empty()) << c;
    }
    EXPECT_FATAL(chartobase('X'), "Unknown symbol for base: X in function chartobase\n");
    EXPECT_FATAL(chartoamac('U'), "Unknown symbol for amino acid: U in function chartoamac\n");
    EXPECT_FATAL(chartobase('a'), "Unknown symbol for base: a in function chartobase\n");
    EXPECT_FATAL(chartobase('_'), "Unknown symbol for base: _ in function chartobase\n");
}

TEST(Seqcode, DecoderFailures) {
    EXPECT_EQ(state_to_char(14, NUC), 'N');
    EXPECT_EQ(state_to_char(22, AA), 'X');
    EXPECT_FATAL(state_to_char(15, NUC), "Unknown base 15 in function basetochar\n");
    EXPECT_FATAL(state_to_char(-1, NUC), "Unknown base -1 in function basetochar\n");
    EXPECT_FATAL(state_to_char(23, AA), "Unknown amino acid 23 in function amactochar\n");
    EXPECT_FATAL(state_to_char(0, static_cast<alphsize>(21)),
                 "Unknown alphabet 21 in function state_to_char\n");
    EXPECT_FATAL(basetochar(100), "Unknown base 100 in function basetochar\n");
    EXPECT_FATAL(amactochar(-5), "Unknown amino acid -5 in function amactochar\n");
    EXPECT_FATAL(whichbase('A', 21), "Unknown alphabet 21 in function whichbase\n");
    EXPECT_FATAL(whichbase('A', 0), "Unknown alphabet 0 in function whichbase\n");
}

TEST(Seqcode, WhichwildcardFailures) {
    std::vector<bool> m4(4), m20(20), m15(15), m0;
    EXPECT_FATAL(whichwildcard(15, m4), "Unknown base 15 in function whichwildcard\n");
    EXPECT_FATAL(whichwildcard(-1, m4), "Unknown base -1 in function whichwildcard\n");
    EXPECT_FATAL(whichwildcard(23, m20), "Unknown amino acid: 23 in function whichwildcard\n");
    EXPECT_FATAL(whichwildcard(-2, m20), "Unknown amino acid: -2 in function whichwildcard\n");
    // Any mask size but 4 and 20 fails, even for a valid code.
    EXPECT_FATAL(whichwildcard(0, m15), "Unknown alphabet in function whichwildcard\n");
    EXPECT_FATAL(whichwildcard(0, m0), "Unknown alphabet in function whichwildcard\n");
}

TEST(Seqcode, Alftologalf) {
    EXPECT_EQ(alftologalf(4), 15);
    EXPECT_EQ(alftologalf(20), 23);
    EXPECT_FATAL(alftologalf(21), "Unknown alphabet 21\n");
    EXPECT_FATAL(alftologalf(15), "Unknown alphabet 15\n");
}
