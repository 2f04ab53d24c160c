// data sets, sequence files and coded sequences.
#include "sequence/data.h"

#include "support/chars.h"
#include "support/fatal.h"
#include "support/subprocess.h"

#include <gtest/gtest.h>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Rows = std::vector<std::string>;

Rows as_rows(const std::vector<std::vector<char>>& v) {
    Rows r;
    for (const auto& x : v) r.emplace_back(x.begin(), x.end());
    return r;
}

dataset read_fasta(const std::string& text) {
    dataset d;
    std::istringstream in(text);
    d.fromfasta(in);
    return d;
}

dataset read_phylip(const std::string& text) {
    dataset d;
    std::istringstream in(text);
    d.fromphylip(in);
    return d;
}

// A PHYLIP name of exactly 10 characters: the text, then NUL fill.
std::string nul10(const std::string& s) {
    std::string n = s;
    n.resize(10, '\0');
    return n;
}

struct ReadCase {
    const char* what;
    std::string input;
    Rows names;  // empty together with rows when the input is fatal
    Rows rows;
    std::string fatal;  // the exact message, or empty
};

}  // namespace

// ---------------------------------------------------------------- FASTA

TEST(Fasta, Table) {
    const std::vector<ReadCase> cases = {
        {"one record", ">seq1\nACGT\n", {"seq1"}, {"ACGT"}, ""},
        {"description ignored", ">seq1 a description\nacg-t\n", {"seq1"}, {"ACG_T"}, ""},
        {"blanks before the name", ">   seq1\tx\nAC\n", {"seq1"}, {"AC"}, ""},
        {"case of the name kept", ">SeQ_1\nac\n", {"SeQ_1"}, {"AC"}, ""},
        {"two records, several lines", ">a\nAC\nG T\n>b\ngt\n\nA", {"a", "b"}, {"ACGT", "GTA"}, ""},
        {"second > on a header line", ">a>b\nAC\n", {"a", "b"}, {"", "AC"}, ""},
        {"> inside a residue line", ">a\nAC>b x\nGT\n", {"a", "b"}, {"AC", "GT"}, ""},
        {"record without residues", ">a\n>b\nAC\n", {"a", "b"}, {"", "AC"}, ""},
        {"header at the end of input", ">a", {"a"}, {""}, ""},
        {"digits, * and . kept", ">a\nac1*.x?\n", {"a"}, {"AC1*.X?"}, ""},
        {"CRLF", ">a\r\nAC\r\nGT\r\n", {"a"}, {"ACGT"}, ""},
        {"non-printables skipped",
         std::string(">a\nA\x01"
                     "C\x80G\xffT\n"),
         {"a"},
         {"ACGT"},
         ""},
        {"non-printable ends the name",
         std::string(">ab\x80"
                     "cd\nA\n"),
         {"ab"},
         {"A"},
         ""},
        {"only > and blanks", "> \t\nAC\n", {}, {}, "There are sequences without names!\n"},
        {"header of only >", ">\nACGT\n", {}, {}, "There are sequences without names!\n"},
        {"nameless second record",
         ">a\nAC\n>\nGT\n",
         {},
         {},
         "There are sequences without names!\n"},
        {"empty input", "", {}, {}, "There is no data!\n"},
        {"leading line break", "\n>a\nAC\n", {}, {}, "The sequence file is not in FASTA format!\n"},
        {"leading blank", " >a\nAC\n", {}, {}, "The sequence file is not in FASTA format!\n"},
        {"leading letter", "a>b\nAC\n", {}, {}, "The sequence file is not in FASTA format!\n"},
        {"PHYLIP text",
         "2 4\na         ACGT\n",
         {},
         {},
         "The sequence file is not in FASTA format!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.fatal.empty()) {
            EXPECT_FATAL(read_fasta(c.input), c.fatal);
            continue;
        }
        dataset d = read_fasta(c.input);
        EXPECT_EQ(as_rows(d.names), c.names);
        EXPECT_EQ(as_rows(d.seqs), c.rows);
        EXPECT_EQ(d.spez(), static_cast<int>(c.names.size()));
    }
}

TEST(Fasta, NoDuplicateNameCheck) {
    dataset d = read_fasta(">a\nAC\n>a\nGT\n");
    EXPECT_EQ(as_rows(d.names), (Rows{"a", "a"}));
}

// ---------------------------------------------------------------- PHYLIP

TEST(Phylip, Table) {
    const std::vector<ReadCase> cases = {
        {"blanks inside a name", "1 10\nseq 1     ACGTA CGTAC\n", {"seq_1"}, {"ACGTACGTAC"}, ""},
        {"two sequences, one block",
         "2 4\nalpha     ACGT\nbeta      a-c_\n",
         {"alpha", "beta"},
         {"ACGT", "A_C_"},
         ""},
        {"short names, residues in the next block",
         "2 3\nabc\nxyz\nACG\nTTT\n",
         {"abc", "xyz"},
         {"ACG", "TTT"},
         ""},
        {"dot copies the first sequence",
         "2 5\nfirst     ACGTA\nsecond    A..G.\n",
         {"first", "second"},
         {"ACGTA", "ACGGA"},
         ""},
        {"digits, blanks and punctuation skipped; * ? _ kept",
         "2 6\nalpha     AC 12 GT,;ac\nbeta      -c?*_g\n",
         {"alpha", "beta"},
         {"ACGTAC", "_C?*_G"},
         ""},
        {"blank lines between blocks, indented block",
         "2 6\nalpha     ACG\nbeta      TTT\n\n   \t\n   CC C\n\nGGG\n",
         {"alpha", "beta"},
         {"ACGCCC", "TTTGGG"},
         ""},
        {"names take columns 1 to 10 as they are",
         "2 2\n1.2,3 *x  AC\n  a  b      GT\n",
         {"1.2,3_*x", "a__b"},
         {"AC", "GT"},
         ""},
        {"ten name characters, residues right after them",
         "2 2\nabcdefghijAC\nabcdefghi GT\n",
         {"abcdefghij", "abcdefghi"},
         {"AC", "GT"},
         ""},
        {"blank inside ten columns, a character in the tenth",
         "2 2\nabcdefgh jAC\na  d    \tjGT\n",
         {"abcdefgh_j", "a__d_____j"},
         {"AC", "GT"},
         ""},
        {"blanks and tabs after a name",
         "2 2\nab \t \ncd\t\nAC\nGT\n",
         {"ab", "cd"},
         {"AC", "GT"},
         ""},
        {"carriage return after a short name",
         "2 2\nab\r\ncd\r\nAC\r\nGT\r\n",
         {"ab", "cd"},
         {"AC", "GT"},
         ""},
        {"characters beyond L are ignored",
         "2 2\nalpha     ACGT\nbeta      GT\n",
         {"alpha", "beta"},
         {"AC", "GT"},
         ""},
        {"one sequence: no end check, no fill", "1 5\nonly      AC\n", {"only"}, {"AC"}, ""},
        {"one sequence, no data line", "1 3\n", {""}, {""}, ""},
        {"one sequence, far more announced than read",
         "1 200000000\nonly      ACGT\n",
         {"only"},
         {"ACGT"},
         ""},
        {"one sequence of length 0", "1 0\n", {""}, {""}, ""},
        {"header without a line break", "1 0", {""}, {""}, ""},
        {"no sequences: empty data set", "0 5\nanything\n", {}, {}, ""},
        {"header: one number",
         "2\nalpha     AC\n",
         {},
         {},
         "The sequence file is not in PHYLIP format\n"},
        {"header: not numbers",
         "two four\n",
         {},
         {},
         "The sequence file is not in PHYLIP format\n"},
        {"header: empty input", "", {}, {}, "The sequence file is not in PHYLIP format\n"},
        {"header: FASTA", ">a\nAC\n", {}, {}, "The sequence file is not in PHYLIP format\n"},
        {"dot in the first sequence",
         "2 3\nfirst     A.G\nsecond    ACG\n",
         {},
         {},
         "Error in Phylip file: dot in the first sequence\n"},
        {"block lines of different lengths",
         "2 6\nalpha     ACGT\nbeta      TTT\nCC\nGGG\n",
         {},
         {},
         "Something's wrong\nPosition[0]=4 != Position[1]=3\n"},
        {"third line short at the block end",
         "3 4\na         ACGT\nb         ACGT\nc         AC\n",
         {},
         {},
         "Something's wrong\nPosition[1]=4 != Position[2]=2\n"},
        {"unequal at the end of input",
         "3 4\na         ACGT\nb         ACGT\nc         AC",
         {},
         {},
         "Something's wrong\nPosition[1]=4 != Position[2]=2\n"},
        {"too short at the end",
         "2 6\nalpha     ACG\nbeta      TTT\n",
         {},
         {},
         "Something's wrong.\nNot enough nucleotides in the sequence\n1 or 2\n"},
        {"three sequences",
         "3 2\na         AC\nb         GT\nc         CC\n",
         {"a", "b", "c"},
         {"AC", "GT", "CC"},
         ""},
        {"header only",
         "2 5\n",
         {},
         {},
         "Something's wrong.\nNot enough nucleotides in the sequence\n1 or 2\n"},
        {"header only, no line break",
         "3 5",
         {},
         {},
         "Something's wrong.\nNot enough nucleotides in the sequence\n1 or 2\n"},
        {"names only",
         "2 5\nalpha\nbeta\n",
         {},
         {},
         "Something's wrong.\nNot enough nucleotides in the sequence\n1 or 2\n"},
        {"last sequence missing",
         "3 2\na         AC\nb         GT\n",
         {},
         {},
         "Something's wrong\nPosition[1]=2 != Position[2]=0\n"},
        {"-1 sequences wraps, and is not allocated at once",
         "-1 2\na         AC\nb         AC\n",
         {},
         {},
         "Something's wrong\nPosition[1]=2 != Position[2]=0\n"},
        {"-1 sequences without data",
         "-1 2\n",
         {},
         {},
         "Something's wrong.\nNot enough nucleotides in the sequence\n1 or 2\n"},
        {"length 0: all names NUL",
         "2 0\nalpha\nbeta\n",
         {},
         {},
         "Sequences 1 and 2 have the same name\n"},
        {"equal names",
         "2 2\nsame      AC\nsame      GT\n",
         {},
         {},
         "Sequences 1 and 2 have the same name\n"},
        {"equal names 2 and 3",
         "3 1\na         A\nb         C\nb         G\n",
         {},
         {},
         "Sequences 2 and 3 have the same name\n"},
        {"equal after blank replacement",
         "2 1\na b       A\na_b       C\n",
         {},
         {},
         "Sequences 1 and 2 have the same name\n"},
        {"equal but for the padding",
         "2 2\nab \nab\nAC\nGT\n",
         {},
         {},
         "Sequences 1 and 2 have the same name\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.fatal.empty()) {
            EXPECT_FATAL(read_phylip(c.input), c.fatal);
            continue;
        }
        dataset d = read_phylip(c.input);
        EXPECT_EQ(as_rows(d.names), c.names);
        EXPECT_EQ(as_rows(d.seqs), c.rows);
    }
}

TEST(Phylip, StopsReadingWhenTheLastSequenceIsFull) {
    std::istringstream in("2 2\nalpha     AC\nbeta      GTXYZ\nnot read .\n");
    dataset d;
    d.fromphylip(in);
    EXPECT_EQ(as_rows(d.seqs), (Rows{"AC", "GT"}));
    EXPECT_EQ(in.get(), 'X');
}

TEST(Phylip, DotCopiesAcrossBlocks) {
    dataset d = read_phylip("3 6\nfirst     ACG\nsecond    ..T\nthird     -.-\nTTA\n.G.\n..?\n");
    EXPECT_EQ(as_rows(d.seqs), (Rows{"ACGTTA", "ACTTGA", "_C_TT?"}));
}

// ---------------------------------------------------------------- rows kept by name

TEST(Dataset, ReadersKeepOnlyTheRowsAsked) {
    struct tcase {
        const char* what;
        int format;
        std::string input;
        Rows keep;
        Rows names;
        Rows rows;  // with empty rows for the records left out
        std::string fatal;
    };
    const std::vector<tcase> cases = {
        {"FASTA",
         0,
         ">a\nACGT\n>b\nGGGG\nGG\n>c\ntt\n",
         {"a", "c"},
         {"a", "b", "c"},
         {"ACGT", "", "TT"},
         ""},
        {"FASTA, a record begun inside a left-out row",
         0,
         ">b\nGG>a x\nAC\n",
         {"a"},
         {"b", "a"},
         {"", "AC"},
         ""},
        {"FASTA, left-out residues are not looked at",
         0,
         ">a\nAC\n>b\nU!E#\n",
         {"a"},
         {"a", "b"},
         {"AC", ""},
         ""},
        {"FASTA, a left-out record without a name",
         0,
         ">a\nAC\n>\nGT\n",
         {"a"},
         {},
         {},
         "There are sequences without names!\n"},
        {"PHYLIP, two blocks",
         1,
         "3 6\nfirst     ACG\nsecond    TTT\nthird     CCC\nAAA\nGGG\nTTT\n",
         {"first", "third"},
         {"first", "second", "third"},
         {"ACGAAA", "", "CCCTTT"},
         ""},
        {"PHYLIP, dots copy a left-out first row",
         1,
         "3 4\nfirst     ACGT\nsecond    ..GA\nthird     T..T\n",
         {"second", "third"},
         {"first", "second", "third"},
         {"", "ACGA", "TCGT"},
         ""},
        {"PHYLIP, asked by the name as held",
         1,
         "2 2\na b       AC\ncd        GT\n",
         {"a_b"},
         {"a_b", "cd"},
         {"AC", ""},
         ""},
        {"PHYLIP, short rows, one left out",
         1,
         "2 6\nalpha     ACG\nbeta      TTT\n",
         {"alpha"},
         {},
         {},
         "Something's wrong.\nNot enough nucleotides in the sequence\n1 or 2\n"},
        {"PHYLIP, a left-out row ends a block early",
         1,
         "2 6\nalpha     ACGT\nbeta      TTT\nCC\nGGG\n",
         {"alpha"},
         {},
         {},
         "Something's wrong\nPosition[0]=4 != Position[1]=3\n"},
        {"PHYLIP, a dot in a left-out first row",
         1,
         "2 3\nfirst     A.G\nsecond    ACG\n",
         {"second"},
         {},
         {},
         "Error in Phylip file: dot in the first sequence\n"},
        {"PHYLIP, left-out duplicates",
         1,
         "3 1\na         A\nb         C\nb         G\n",
         {"a"},
         {},
         {},
         "Sequences 2 and 3 have the same name\n"},
    };
    const std::string dir = make_temp_dir();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(dir + "/seqs", c.input);
        Rows asked;
        const row_filter keep = [&](const std::vector<char>& name) {
            const std::string n(name.begin(), name.end());
            asked.push_back(n);
            for (const auto& k : c.keep)
                if (k == n) return true;
            return false;
        };
        std::ifstream in(dir + "/seqs");
        if (!c.fatal.empty()) {
            EXPECT_FATAL(dataset(in, c.format, keep), c.fatal);
            continue;
        }
        dataset d(in, c.format, keep);
        EXPECT_FALSE(in.is_open());
        EXPECT_EQ(as_rows(d.names), c.names);
        EXPECT_EQ(as_rows(d.seqs), c.rows);
        for (std::size_t i = 0; i < d.seqs.size(); ++i)
            EXPECT_TRUE(!c.rows[i].empty() || d.seqs[i].capacity() == 0)
                << "row " << i << " was held";
        Rows unique = asked;
        std::sort(unique.begin(), unique.end());
        EXPECT_EQ(std::unique(unique.begin(), unique.end()), unique.end())
            << "a name was asked twice";
    }
}

TEST(Dataset, LeftOutRowIsNotHeld) {
    // A left-out row far longer than the named ones.
    const std::string dir = make_temp_dir();
    std::string text = ">big\n";
    text += std::string(4000000, 'A') + "\n>a\nACGT\n>b\nAC\n";
    write_file(dir + "/seqs", text);
    std::ifstream in(dir + "/seqs");
    dataset d(in, 0, [](const std::vector<char>& name) { return name.size() == 1; });
    EXPECT_EQ(as_rows(d.seqs), (Rows{"", "ACGT", "AC"}));
    EXPECT_EQ(d.seqs[0].capacity(), 0u);
}

// ---------------------------------------------------------------- stream constructor

TEST(Dataset, StreamConstructor) {
    const std::string dir = make_temp_dir();
    write_file(dir + "/f.fa", ">a\nACGT\n>b\nAC-T\n");
    write_file(dir + "/f.phy", "2 4\nalpha     MKLE\nbeta      MK-E\n");
    {
        std::ifstream in(dir + "/f.fa");
        dataset d(in, 0);
        EXPECT_FALSE(in.is_open());
        EXPECT_EQ(d.type, 4);
        EXPECT_EQ(as_rows(d.seqs), (Rows{"ACGT", "AC_T"}));
    }
    {
        std::ifstream in(dir + "/f.phy");
        dataset d(in, 1);
        EXPECT_FALSE(in.is_open());
        EXPECT_EQ(d.type, 20);
        EXPECT_EQ(as_rows(d.names), (Rows{"alpha", "beta"}));
    }
    {
        std::ifstream in(dir + "/f.fa");
        EXPECT_FATAL(dataset(in, 2), "Format 2 not supported\n");
        EXPECT_FATAL(dataset(in, -1), "Format -1 not supported\n");
    }
}

TEST(Dataset, ReadErrorIsFatal) {
    // A folder opens as a stream, and fails at the first read.
    const std::string dir = make_temp_dir();
    for (int format : {0, 1}) {
        SCOPED_TRACE(format);
        EXPECT_FATAL(
            {
                std::ifstream in(dir);
                dataset d(in, format);
            },
            "Cannot read the sequence file\n");
    }
}

TEST(Dataset, CopyAndDefault) {
    dataset e;
    EXPECT_EQ(e.spez(), 0);
    EXPECT_EQ(e.type, 0);
    dataset d = read_fasta(">a\nAC\n>b\nG\n");
    d.type = 4;
    dataset c(d);
    EXPECT_EQ(c.names, d.names);
    EXPECT_EQ(c.seqs, d.seqs);
    EXPECT_EQ(c.type, 4);
}

// ---------------------------------------------------------------- laen

TEST(Dataset, Laen) {
    dataset d = read_fasta(">a\nA_C-G\n>b\n\n");
    EXPECT_EQ(d.laen(0), 5);
    EXPECT_EQ(d.laen(1), 0);
    const std::string tail = "There are only 2 in the data set.\nTheir numbering starts with 0.\n";
    EXPECT_FATAL(d.laen(2), "The specified sequence number is too big.\ns=2" + tail);
    EXPECT_FATAL(d.laen(-1), "The specified sequence number is too big.\ns=-1" + tail);
}

// ---------------------------------------------------------------- guesstype and counts

TEST(Dataset, Guesstype) {
    struct G {
        std::string fasta;
        int type;
    };
    const std::vector<G> cases = {
        {">a\nACGTNR-\n>b\nTTGA\n", 4},
        {">a\nACGT\n>b\nTTEA\n", 20},
        {">a\nACGU\n", 4},
        {">a\nMKWV\n", 4},  // protein without E F I L P Q X Z counts as DNA
        {">a\nACGTX\n", 20},
        {">a\n\n", 4},
    };
    for (const char aa : std::string("EFILPQXZ")) {
        dataset d = read_fasta(std::string(">a\nAC") + aa + "\n");
        d.guesstype();
        EXPECT_EQ(d.type, 20) << aa;
    }
    for (const auto& c : cases) {
        dataset d = read_fasta(c.fasta);
        d.guesstype();
        EXPECT_EQ(d.type, c.type) << c.fasta;
    }
    dataset u = read_fasta(">a\nACGU\n>b\nMKLE\n");
    EXPECT_FATAL(u.guesstype(),
                 "Don't know what to do: there are U's in\nan amino acid sequence\n");
    dataset u2 = read_fasta(">a\nUZ\n");
    EXPECT_FATAL(u2.guesstype(),
                 "Don't know what to do: there are U's in\nan amino acid sequence\n");
}

TEST(Dataset, Getfreqs) {
    dataset d = read_fasta(">a\nAR_N\n");
    d.type = 4;
    std::vector<double> f{9, 9, 9, 9, 9, 9};
    d.getfreqs(f);
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0], 1.75);
    EXPECT_EQ(f[1], 0.25);
    EXPECT_EQ(f[2], 0.75);
    EXPECT_EQ(f[3], 0.25);

    // U counts as T; unknown letters and gaps count for nothing.
    dataset u = read_fasta(">a\nUUX*-\n>b\nB\n");
    u.type = 4;
    u.getfreqs(f);
    const double third = 1.0 / 3.0;
    EXPECT_EQ(f, (std::vector<double>{0.0, third, third, 2.0 + third}));

    // X adds 1/20 to each amino acid; B and Z halves; U counts nothing.
    dataset p = read_fasta(">a\nXBZAU\n");
    p.type = 20;
    p.getfreqs(f);
    ASSERT_EQ(f.size(), 20u);
    for (int s = 0; s < 20; ++s) {
        double want = 0.05;
        if (s == 0) want += 1.0;
        if (s == 2 || s == 3 || s == 5 || s == 6) want += 0.5;
        EXPECT_EQ(f[s], want) << s;
    }
    // The halves count with their own alphabet whatever the type.
    p.getACGT(f);  // X and Z count nothing, B is C, G or T, U is T
    EXPECT_EQ(f, (std::vector<double>{1.0, third, third, third + 1.0}));
    d.getAAfreqs(f);
    EXPECT_EQ(f.size(), 20u);
    EXPECT_EQ(f[0], 1.0);
    EXPECT_EQ(f[1], 1.0);
    EXPECT_EQ(f[2], 1.0);

    dataset none = read_fasta(">a\nAC\n");
    EXPECT_FATAL(none.getfreqs(f), "Unknown data type in function getfreqs\n");
    none.type = 21;
    EXPECT_FATAL(none.getfreqs(f), "Unknown data type in function getfreqs\n");
}

// ---------------------------------------------------------------- writers

TEST(Dataset, PrintPhylipExactBytes) {
    dataset d;
    d.names = {chars("x"), chars("longername12")};
    d.seqs = {chars("A_C"), chars("AGC")};
    std::ostringstream out;
    d.print_phylip(out);
    EXPECT_EQ(out.str(), "         2         3\nx         A-C\nlongernameAGC\n");
    EXPECT_EQ(std::string(d.seqs[0].begin(), d.seqs[0].end()), "A-C");
}

TEST(Dataset, PrintPhylipKeepsNulsAndWritesWholeRows) {
    dataset d = read_phylip("2 3\nab\ncd\nA-C\nG_T\n");
    d.names = {chars(nul10("ab")), chars(nul10("cd"))};
    d.seqs[1].push_back('_');  // beyond L: written, not rewritten
    std::ostringstream out;
    d.print_phylip(out);
    const std::string want =
        std::string("         2         3\n") + nul10("ab") + "A-C\n" + nul10("cd") + "G-T_\n";
    EXPECT_EQ(out.str(), want);
}

TEST(Dataset, PrintPhylipRoundTrip) {
    dataset d = read_fasta(">alpha\nAC-GT\n>beta_longer_name\nA--GT\n");
    std::ostringstream out;
    d.print_phylip(out);
    dataset back = read_phylip(out.str());
    EXPECT_EQ(as_rows(back.names), (Rows{"alpha", "beta_longe"}));
    EXPECT_EQ(as_rows(back.seqs), (Rows{"AC_GT", "A__GT"}));
}

TEST(Dataset, PrintPhylipEmpty) {
    dataset d;
    std::ostringstream out;
    EXPECT_FATAL(d.print_phylip(out),
                 "The specified sequence number is too big.\ns=0There are only 0 in the data set.\n"
                 "Their numbering starts with 0.\n");
}

TEST(Dataset, PrintScreen) {
    dataset d;
    d.names = {chars("a"), chars("b")};
    std::string r0, r1;
    for (int i = 0; i < 75; ++i) {
        r0.push_back("ACGT"[i % 4]);
        r1.push_back("TGCA"[i % 4]);
    }
    d.seqs = {chars(r0), chars(r1)};
    std::ostringstream out;
    d.print_screen(out);
    const std::string want = r0.substr(0, 70) + "\n" + r1.substr(0, 70) + "\n\n" + r0.substr(70) +
                             "\n" + r1.substr(70) + "\n\n";
    EXPECT_EQ(out.str(), want);

    // Exactly 70 columns: one block, nothing after it.
    d.seqs = {chars(r0.substr(0, 70)), chars(r1.substr(0, 70))};
    std::ostringstream o2;
    d.print_screen(o2);
    EXPECT_EQ(o2.str(), r0.substr(0, 70) + "\n" + r1.substr(0, 70) + "\n\n");

    // An empty first row writes nothing.
    d.seqs = {{}, chars("AC")};
    std::ostringstream o3;
    d.print_screen(o3);
    EXPECT_EQ(o3.str(), "");

    dataset e;
    std::ostringstream o4;
    EXPECT_FATAL(e.print_screen(o4),
                 "The specified sequence number is too big.\ns=0There are only 0 in the data set.\n"
                 "Their numbering starts with 0.\n");
}

TEST(Dataset, CharVectorOutput) {
    std::ostringstream out;
    out << chars("AB") << std::vector<char>{} << std::vector<char>{'\0', 'c'};
    EXPECT_EQ(out.str(), std::string("AB\0c", 4));
}

// ---------------------------------------------------------------- bioseq

TEST(Bioseq, Coding) {
    bioseq a(chars("A_C-G"), 4);
    EXPECT_EQ(static_cast<std::vector<int>&>(a), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(a.laen(), 3);
    bioseq u(chars("UTN"), 4);
    EXPECT_EQ(static_cast<std::vector<int>&>(u), (std::vector<int>{3, 3, 14}));
    bioseq p(chars("AR-VX"), 20);
    EXPECT_EQ(static_cast<std::vector<int>&>(p), (std::vector<int>{0, 1, 19, 22}));
    for (int size : {4, 20, 7}) {
        bioseq g(chars("_-__"), size);
        EXPECT_EQ(g.laen(), 0) << size;
    }
    bioseq e;
    EXPECT_EQ(e.laen(), 0);
    bioseq copy(a);
    bioseq assigned;
    assigned = p;
    EXPECT_EQ(copy, a);
    EXPECT_EQ(assigned, p);
    EXPECT_EQ(assigned[3], 22);
}

TEST(Bioseq, Failures) {
    EXPECT_FATAL(bioseq(chars("AC*"), 4), "Unknown symbol for base: * in function chartobase\n");
    EXPECT_FATAL(bioseq(chars("AJ"), 20),
                 "Unknown symbol for amino acid: J in function chartoamac\n");
    EXPECT_FATAL(bioseq(chars("-A"), 7),
                 "Unknown data typ in function bioseq(vector<char>& seq, alphsize typ)\n");
}
