#include "control/parser.h"

#include "control_files.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <list>
#include <string>
#include <vector>

TEST(Findanycase, UpperCasedSubstring) {
    EXPECT_TRUE(findanycase("Model", "model"));
    EXPECT_TRUE(findanycase("substitution MODEL ", "model"));
    EXPECT_TRUE(findanycase("== Substitution model ==", "SUBST"));
    EXPECT_TRUE(findanycase("anything", ""));
    EXPECT_FALSE(findanycase("mode", "model"));
    EXPECT_FALSE(findanycase("", "x"));
    // Bytes beyond ASCII are left alone and compare as themselves.
    EXPECT_TRUE(findanycase("\xc3\xa9model", "MODEL"));
    EXPECT_FALSE(findanycase("\xc3\xa9", "\xc3\x89"));
}

TEST(Isnewpart, Headlines) {
    struct Case {
        const char* line;
        int section;
    } cases[] = {
        {"subst:", 1},
        {"== Substitution model ==:", 1},
        {"SUBST: model = HKY", 1},
        {"indel:", 2},
        {"Files:", 3},
        {"keep:", 4},
        {"COOL:", 5},
        {"infile = /data/cool:run1", 5},
        {"substmod [0]: first rate", 1},
        {"coolali = 1.0001 : note", 5},
        {"the files and the subst: x", 1},  // SUBST is tested first
        {"model = HKY # see INDEL: below", 0},
        {"SUBST", 0},
        {"#SUBST:", 0},
        {"nothing: here", 0},
        {":SUBST", 0},
        {"", 0},
        {"SUBST:#", 1},
    };
    for (const Case& c : cases) EXPECT_EQ(isnewpart(c.line), c.section) << c.line;
}

TEST(TypOfArg, KindsAndInnerText) {
    struct Case {
        const char* value;
        option_arg kind;
        const char* text;
    } cases[] = {
        {" (0.5, 1.0 ,2)", option_arg::VECTOR, "0.5, 1.0 ,2"},
        {"x(1)y", option_arg::VECTOR, "1"},
        {"()", option_arg::VECTOR, ""},
        {"(1,(2),3)", option_arg::VECTOR, "1,(2"},
        {"[0,2]", option_arg::INTERVAL, "0,2"},
        {"[small]", option_arg::ALL, "small"},
        {"[ALL]", option_arg::ALL, "ALL"},
        {"[All]", option_arg::ALL, "All"},
        {"[aLL]", option_arg::INTERVAL, "aLL"},
        {"[1]]", option_arg::INTERVAL, "1"},
        {" nodefault", option_arg::DEFAULT, " nodefault"},
        {"Default", option_arg::DEFAULT, "Default"},
        {"dEfault", option_arg::VALUE, "dEfault"},
        {"ESTIMATED", option_arg::ESTIMATE, "ESTIMATED"},
        {"estimate default", option_arg::DEFAULT, "estimate default"},
        {" HKY", option_arg::VALUE, " HKY"},
        {"HKY)", option_arg::VALUE, "HKY)"},
        {"3]", option_arg::VALUE, "3]"},
        {"", option_arg::VALUE, ""},
    };
    for (const Case& c : cases) {
        std::string v = c.value;
        EXPECT_EQ(typ_of_arg(v), c.kind) << c.value;
        EXPECT_EQ(v, c.text) << c.value;
    }
}

TEST(TypOfArg, BracketFaultsAreFatal) {
    const char* bad[] = {"(1,2]", "[3", "a)(b)", "(1", "[1)]", "(1)[", "]x[", " ( 1 ] "};
    for (const char* v : bad) {
        SCOPED_TRACE(v);
        EXPECT_TRUE(ends_fatally(
            [v] {
                std::string s = v;
                typ_of_arg(s);
            },
            std::string("Invalid string ") + v + " in control file\n"));
    }
}

// The leading number of each item, and whether the items hold nothing else.
TEST(Stringtovector, DoublesReplaceTheContents) {
    struct Case {
        const char* text;
        std::vector<double> values;
        bool whole;
    } cases[] = {
        {"0.5, 1.0 ,2", {0.5, 1.0, 2.0}, true},
        {"2.5abc", {2.5}, false},
        {" 1", {1.0}, true},
        {"1 \t\r", {1.0}, true},
        {"1e", {1.0}, false},
        {"1e-", {1.0}, false},
        {"2 3", {2.0}, false},
        {"1,2x,3", {1.0, 2.0, 3.0}, false},
        {"0x1p-3", {0.125}, true},
        {"-3.25e2", {-325.0}, true},
        {"1e-3", {1e-3}, true},
    };
    for (const Case& c : cases) {
        std::vector<double> v{9.0, 9.0, 9.0, 9.0};
        EXPECT_EQ(stringtovector(c.text, v), c.whole) << c.text;
        EXPECT_EQ(v, c.values) << c.text;
    }
    std::vector<double> v;
    EXPECT_TRUE(stringtovector("inf,nan", v));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_TRUE(std::isinf(v[0]));
    EXPECT_TRUE(std::isnan(v[1]));
}

// The leading number of each item, and whether the items hold nothing else.
TEST(Stringtovector, UnsignedItemsScanAsThirtyTwoBit) {
    struct Case {
        const char* text;
        unsigned long value;
        bool whole;
    } cases[] = {
        {"5", 5, true},
        {" +7", 7, true},
        {"-1", 4294967295ul, true},
        {"-4294967295", 1, true},
        {"-4294967296", 4294967295ul, true},
        {"4294967295", 4294967295ul, true},
        {"4294967296", 4294967295ul, true},
        {"99999999999999999999999", 4294967295ul, true},
        {"1e6", 1, false},
        {"250.7", 250, false},
        {"0x10", 0, false},
        {"-0", 0, true},
        {"12\r", 12, true},
        {" 12 \t ", 12, true},
        {"12 3", 12, false},
        {"99999999999999999999999x", 4294967295ul, false},
    };
    for (const Case& c : cases) {
        std::vector<unsigned long> v{3, 3};
        EXPECT_EQ(stringtovector(c.text, v), c.whole) << c.text;
        ASSERT_EQ(v.size(), 1u) << c.text;
        EXPECT_EQ(v[0], c.value) << c.text;
    }
    std::vector<unsigned long> v;
    EXPECT_FALSE(stringtovector("1,2.5,3", v));
    EXPECT_EQ(v, (std::vector<unsigned long>{1, 2, 3}));
}

TEST(Stringtolist, IntegersSaturateAtTheIntRange) {
    std::list<int> l{4};
    EXPECT_TRUE(stringtolist("2, 0 ,5", l));
    EXPECT_EQ(l, (std::list<int>{2, 0, 5}));
    EXPECT_TRUE(stringtolist("-1,4294967297,-9999999999", l));
    EXPECT_EQ(l, (std::list<int>{-1, 2147483647, -2147483647 - 1}));
    EXPECT_TRUE(stringtolist("2147483647,-2147483648", l));
    EXPECT_EQ(l, (std::list<int>{2147483647, -2147483647 - 1}));
    EXPECT_FALSE(stringtolist("1,2x", l));
    EXPECT_EQ(l, (std::list<int>{1, 2}));
}

TEST(Stringtovector, ScanFaultsAreFatal) {
    struct Case {
        const char* text;
        const char* err;
    } doubles[] = {
        {",1", "Invalid string ,1 in function stringtovector\n"},
        {"1,,2", "Cannot scan from string 1,,2\n"},
        {"1,2,", "Cannot scan from string 1,2,\n"},
        {"", "Cannot scan from string \n"},
        {" abc", "Cannot scan from string  abc\n"},
        {" ,5", "Cannot scan from string  ,5\n"},
        {"  ", "Cannot scan from string   \n"},
    };
    for (const Case& c : doubles) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(ends_fatally(
            [&c] {
                std::vector<double> v;
                stringtovector(c.text, v);
            },
            c.err));
    }
    struct Case2 {
        const char* text;
        const char* err;
    } counts[] = {
        {",5", "Invalid string ,5 in function stringtovector\n"},
        {"-", "Cannot scan from string -\n"},
        {"x1", "Cannot scan from string x1\n"},
        {".5", "Cannot scan from string .5\n"},
    };
    for (const Case2& c : counts) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(ends_fatally(
            [&c] {
                std::vector<unsigned long> v;
                stringtovector(c.text, v);
            },
            c.err));
    }
    EXPECT_TRUE(ends_fatally(
        [] {
            std::list<int> l;
            stringtolist(",0", l);
        },
        "Invalid string ,0 in function stringtolist\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            std::list<int> l;
            stringtolist("0,a", l);
        },
        "Cannot scan from string 0,a\n"));
}

TEST(Firstword, PrintableNonBlankRun) {
    struct Case {
        const char* text;
        const char* word;
    } cases[] = {
        {" my sequences.fa", "my"},
        {"\t\tseq.fa\r", "seq.fa"},
        {"x\r", "x"},
        {"", ""},
        {"   ", ""},
        {"\x01\x7f"
         "a\x7f"
         "b",
         "a"},
        {"\xc3\xa9t\xc3\xa9.fa", "t"},
    };
    for (const Case& c : cases) EXPECT_EQ(firstword(c.text), c.word) << c.text;
}

TEST(Oatostring, Words) {
    EXPECT_EQ(oatostring(option_arg::NONE), "NONE");
    EXPECT_EQ(oatostring(option_arg::DEFAULT), "DEFAULT");
    EXPECT_EQ(oatostring(option_arg::ESTIMATE), "ESTIMATE");
    EXPECT_EQ(oatostring(option_arg::VALUE), "VALUE");
    EXPECT_EQ(oatostring(option_arg::VECTOR), "VECTOR");
    EXPECT_EQ(oatostring(option_arg::INTERVAL), "INTERVAL");
    EXPECT_EQ(oatostring(option_arg::ALL), "ALL");
    EXPECT_FATAL(oatostring(static_cast<option_arg>(7)), "Unknown value of oa\n");
}

TEST(ModelKeywords, TestOrderDecides) {
    struct Case {
        const char* value;
        subarch kind;
    } subs[] = {
        {" hky85", HKY},        {"jtt hky", HKY},       {"Genrev", GENREV},
        {"TAMNEI", TAMNEI},     {"kimura2p", KIMURA2P}, {"KIMURA3P", KIMURA3P},
        {"fel81", FEL81},       {"JC69", JC69},         {"mv2000", MV2000},
        {"JTT", JTT},           {"dayhoff", DAYHOFF},   {"MtRev24", MTREV24},
        {"blosum62", BLOSUM62}, {"SH94", SH94},         {"JC69 GENREV", GENREV},
    };
    for (const Case& c : subs) EXPECT_EQ(stringtosubarch(c.value), c.kind) << c.value;
    EXPECT_EQ(stringtoidarch(" tkf2"), TKF2);
    EXPECT_EQ(stringtoidarch("TKF2 TKF1"), TKF1);
    EXPECT_EQ(stringtoidarch("fid"), FID);
    EXPECT_FATAL(stringtosubarch(" GTR"),
                 "No key word was found where the name of\n"
                 "the substitution model was expected.\n");
    EXPECT_FATAL(stringtoidarch(" TKF"),
                 "No key word was found where the name of the\n"
                 "insertion-deletion model was expected.\n");
}

TEST(OptionLines, KeysValuesAndTestOrder) {
    std::string v;
    option_arg k = option_arg::NONE;
    EXPECT_EQ(whichsubstoption("freqsmodel = JC69", v, k), subst_option::MODEL);
    EXPECT_EQ(v, " JC69");
    EXPECT_EQ(k, option_arg::VALUE);
    EXPECT_EQ(whichsubstoption("Parameter=(1, 2) # (x", v, k), subst_option::PARAMETER);
    EXPECT_EQ(v, "1, 2");
    EXPECT_EQ(k, option_arg::VECTOR);
    EXPECT_EQ(whichsubstoption(" freqs = estimate", v, k), subst_option::FREQS);
    EXPECT_EQ(k, option_arg::ESTIMATE);

    // Value and kind are written also when the key names no option.
    v = "old";
    EXPECT_EQ(whichsubstoption("freq = (1)", v, k), subst_option::NONE);
    EXPECT_EQ(v, "1");
    EXPECT_EQ(k, option_arg::VECTOR);
    // No split character, or nothing before the "#": nothing is written.
    v = "old";
    k = option_arg::NONE;
    EXPECT_EQ(whichsubstoption("model HKY", v, k), subst_option::NONE);
    EXPECT_EQ(whichsubstoption("# model = HKY", v, k), subst_option::NONE);
    EXPECT_EQ(whichsubstoption("model # = HKY", v, k), subst_option::NONE);
    EXPECT_EQ(v, "old");
    EXPECT_EQ(k, option_arg::NONE);
    // Only the first "=" splits.
    EXPECT_EQ(whichindeloption("model = a=b", v, k), indel_option::MODEL);
    EXPECT_EQ(v, " a=b");
    EXPECT_EQ(whichindeloption("PARAMETER=default", v, k), indel_option::PARAMETER);
    EXPECT_EQ(k, option_arg::DEFAULT);

    struct FileCase {
        const char* line;
        files_option opt;
        const char* value;
    } files[] = {
        {"infile = my sequences.fa", files_option::INFILE, "my"},
        {"infile = (seqs).fa", files_option::INFILE, "seqs"},
        {"infile = default", files_option::INFILE, "default"},
        {"GuideTree=tree.nwk\r", files_option::GUIDETREE, "tree.nwk"},
        {"outtree = t", files_option::OUTTREE, "t"},
        {"outalign = a", files_option::OUTALIGN, "a"},
        {"outparam = p", files_option::OUTPARAM, "p"},
        {"logfile = l", files_option::LOGFILE, "l"},
        {"format = 1", files_option::FORMAT, "1"},
        {"logfileformat = x", files_option::LOGFILE, "x"},
        {"outparamformat = x", files_option::FORMAT, "x"},
        {"infiles = x y", files_option::INFILE, "x"},
        {"outfile = x", files_option::NONE, "x"},
    };
    for (const FileCase& c : files) {
        EXPECT_EQ(whichfilesoption(c.line, v, k), c.opt) << c.line;
        EXPECT_EQ(v, c.value) << c.line;
    }

    EXPECT_EQ(whichkeepoption("substmod [0, 2] = x", v, k), keep_option::SUBSTMOD);
    EXPECT_EQ(v, "0, 2");
    EXPECT_EQ(k, option_arg::INTERVAL);
    EXPECT_EQ(whichkeepoption("INDMOD[all]", v, k), keep_option::INDMOD);
    EXPECT_EQ(k, option_arg::ALL);
    EXPECT_EQ(whichkeepoption("substmod = all", v, k), keep_option::NONE);

    struct CoolCase {
        const char* key;
        cool_option opt;
    } cool[] = {
        {"delta", cool_option::DELTA},
        {"coolali", cool_option::COOLALI},
        {"ctree", cool_option::CTREE},
        {"cparam", cool_option::CPARAM},
        {"alphatree", cool_option::ALPHATREE},
        {"alphaparam", cool_option::ALPHAPARAM},
        {"burnin", cool_option::BURNIN},
        {"maxsteps", cool_option::MAXSTEPS},
        {"reportafter", cool_option::REPORTAFTER},
        {"resamprange", cool_option::RESAMPRANGE},
        {"burnin_maxsteps", cool_option::MAXSTEPS},
        {"alphatree_burnin", cool_option::BURNIN},
        {"burn_in", cool_option::NONE},
        {"maxstep", cool_option::NONE},
    };
    for (const CoolCase& c : cool)
        EXPECT_EQ(whichcooloption(std::string(c.key) + " = 3", v, k), c.opt) << c.key;
}

TEST(OptionLines, BadBracketsAreFatalForUnknownKeys) {
    EXPECT_TRUE(ends_fatally(
        [] {
            std::string v;
            option_arg k;
            whichsubstoption("foo = [3", v, k);
        },
        "Invalid string  [3 in control file\n"));
    EXPECT_TRUE(ends_fatally(
        [] {
            std::string v;
            option_arg k;
            whichkeepoption("bar [1) # x", v, k);
        },
        "Invalid string [1)  in control file\n"));
}
